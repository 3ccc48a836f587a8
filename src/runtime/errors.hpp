// Failure types shared by kernels, the worker pool and the binding layer.
// Pure C++: kernels throw these without knowing about Python; the entry
// wrapper in module.cpp is the single place that turns them into exceptions.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {

// A broken internal invariant (bad index, malformed tree layout, ...).
// Surfaces in Python as pyo3_runtime.PanicException carrying what().
struct InternalFailure : std::runtime_error {
    explicit InternalFailure(const std::string& message,
                             std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// Input validation failure; surfaces as ValueError(what()).
// The full message is kept (it may echo user text holding NUL characters).
struct ValueError : std::runtime_error {
    explicit ValueError(std::string message) : std::runtime_error(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// A Python exception is already set on the calling thread (conversion
// failures, signals observed while waiting); the wrapper just returns NULL.
struct PythonErrorPending {};

}  // namespace corvane
