// The module's function table.
#pragma once

#include <cstddef>

#include "python/bodies.hpp"

namespace corvane {

struct FunctionEntry {
    FunctionDesc desc;
    const char* doc;  // text signature, "\n--\n\n", body
    Body body;
};

// Entry records in registration order; they live for the whole process.
PyMethodDef* function_table(std::size_t& count);

// Runs a body behind the entry wrapper: binds, converts, computes, and maps
// every C++ failure to a Python exception. Lets no exception escape, except
// the unwinding of a thread that the interpreter ends (see binding.hpp).
PyObject* call_body(const FunctionEntry& entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvane
