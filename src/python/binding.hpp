// Argument binding, conversion and result construction: the only layer
// that touches Python objects. Bodies of module functions are written as
//
//     PyObject* body_foo(const Args& args) {
//         auto left = to_string_column(args, 0);
//         ...
//         std::vector<double> out;
//         { ReleasedSection released; out = parallel_map(...); }
//         return result_list(std::move(out));
//     }
//
// and may throw ValueError / InternalFailure / PythonErrorPending (errors.hpp)
// or std::bad_alloc; the entry wrapper turns them into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "blocking/keys.hpp"
#include "runtime/errors.hpp"
#include "runtime/string_column.hpp"
#include "runtime/views.hpp"

// Thread exit during interpreter finalisation. CPython ends a thread that
// asks for the interpreter lock once finalisation has begun (a daemon
// thread, typically) with pthread_exit, which unwinds the thread's stack
// like an exception (abi::__forced_unwind with libstdc++). The unwinding
// may start inside any C API call that can run Python code. It must pass
// handlers that catch everything (CORVANE_LET_THREAD_EXIT_PASS goes before
// them), must not cross a noexcept frame, and runs destructors without the
// lock, so PyRef leaves its reference alone then.
//
// The forced unwind carries no C++ exception object, so the handler's
// reference is bound to null; UndefinedBehaviorSanitizer's null check
// would report that in every function with such a handler, which
// CORVANE_CATCHES_THREAD_EXIT therefore leaves out of that one check. It
// also keeps the function out of line: inlined into a caller without the
// attribute, the handler would be checked there after all.
#if defined(__GLIBCXX__)
#define CORVANE_LET_THREAD_EXIT_PASS \
    catch (abi::__forced_unwind&) {  \
        throw;                       \
    }
#define CORVANE_CATCHES_THREAD_EXIT __attribute__((no_sanitize("null"), noinline))
#else
#define CORVANE_LET_THREAD_EXIT_PASS
#define CORVANE_CATCHES_THREAD_EXIT
#endif

namespace corvane {

// True when the calling thread holds the interpreter lock.
inline bool holds_lock() noexcept { return _PyThreadState_UncheckedGet() != nullptr; }

// Owning reference to a Python object (new reference in, DECREF on exit;
// none while a thread ended by the interpreter unwinds without the lock).
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* o) noexcept : o_(o) {}
    static PyRef borrow(PyObject* o) noexcept { Py_XINCREF(o); return PyRef(o); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : o_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept { if (this != &other) { Py_XDECREF(o_); o_ = other.release(); } return *this; }
    ~PyRef() {
        if (o_ && holds_lock()) Py_DECREF(o_);
    }
    PyObject* get() const noexcept { return o_; }
    PyObject* release() noexcept { PyObject* o = o_; o_ = nullptr; return o; }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, exceptions included. While released, the main thread polls for
// pending signals so long calls can be interrupted. Sections nest (a signal
// handler run while polling may call the module again): each restores the
// hook of the section around it. A thread that would take the lock back
// while the interpreter is being finalised stops instead (see binding.cpp).
class ReleasedSection {
public:
    ReleasedSection() noexcept;
    ~ReleasedSection();
    ReleasedSection(const ReleasedSection&) = delete;
    ReleasedSection& operator=(const ReleasedSection&) = delete;

private:
    static bool poll_signals(void* self) noexcept;

    bool polls_;  // main thread: runs signal handlers while the job runs
    PyThreadState* state_;
    bool (*outer_poll_)(void*) = nullptr;
    void* outer_ctx_ = nullptr;
};

// Static description of one module function (parameters all
// positional-or-keyword and required).
struct FunctionDesc {
    const char* name;
    std::vector<const char*> params;
};

// Bound argument slots (borrowed references), in parameter order.
class Args {
public:
    Args(const FunctionDesc& desc, PyObject* const* slots) : desc_(desc), slots_(slots) {}
    PyObject* operator[](std::size_t i) const { return slots_[i]; }
    const char* name(std::size_t i) const { return desc_.params[i]; }
    const FunctionDesc& desc() const { return desc_; }

private:
    const FunctionDesc& desc_;
    PyObject* const* slots_;
};

// Binds a fast call's arguments to desc's parameters; on failure sets
// TypeError and throws PythonErrorPending.
void bind_arguments(const FunctionDesc& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::vector<PyObject*>& slots);

// A float column: values the call converted itself, or a run of doubles
// read in place from an argument's buffer, kept alive by `owner`/`keep`.
struct FloatColumn {
    std::vector<double> values;
    const double* borrowed = nullptr;
    std::size_t borrowed_size = 0;
    PyRef owner;                      // a NumPy array read in place
    std::shared_ptr<const void> keep;  // an imported Arrow array read in place

    const double* data() const noexcept { return borrowed ? borrowed : values.data(); }
    std::size_t size() const noexcept { return borrowed ? borrowed_size : values.size(); }
};

// Argument kinds. Each converts slot i; on failure the Python error is set
// (TypeErrors prefixed with "argument '<name>': ") and PythonErrorPending
// is thrown.
StringColumn to_string_column(const Args& args, std::size_t i);
// A table of string columns; where `given` holds a non-empty column at an
// index, that column stands for the item there, which is not read (the
// caller has read it already).
std::vector<StringColumn> to_string_table(const Args& args, std::size_t i, std::vector<StringColumn>* given = nullptr);
FloatColumn to_float_column(const Args& args, std::size_t i);
double to_float(const Args& args, std::size_t i);

// Exact match of two exact lists or tuples of the same length whose items
// are all exact str, compared where the characters lie (equal characters
// are equal UTF-8 bytes): out[k] is 1 when item k of both has the same
// characters, else 0. Returns false at the first item that is anything
// else, or a str with no UTF-8 form (out then holds nothing of use; a
// conversion of the items reports or handles it). Calls nothing: with the
// lock held, no Python code can change either sequence meanwhile.
bool match_str_items(PyObject* left, PyObject* right, std::uint8_t* out) noexcept;

// Table arguments whose columns differ in kind: the items of sequence
// argument i, then each item converted on its own (column = its index, for
// messages). Nulls in these columns are missing values, not errors: a
// string column records them in `missing` (one byte per element, empty
// when there are none), a float column holds NaN in their place.
std::vector<PyRef> to_items(const Args& args, std::size_t i);
StringColumn to_string_item(const Args& args, std::size_t i, PyObject* item, long column,
                            std::vector<std::uint8_t>& missing);
FloatColumn to_float_item(const Args& args, std::size_t i, PyObject* item, long column);
std::uint64_t to_count(const Args& args, std::size_t i);

// A number key column (blocking): the Arrow chunks as they lie, kept alive
// by `keep` (held until the call's end, released with the lock held).
struct NumberKeyColumn {
    std::vector<blocking::NumberChunk> chunks;
    std::shared_ptr<const void> keep;
};
NumberKeyColumn to_number_key_item(const Args& args, std::size_t i, PyObject* item, long column);

// Read-only view of a NumPy array argument; holds a reference to the array
// for as long as the view lives.
template <class T>
struct ArrayView {
    PyRef owner;
    StridedView<T> view;
    int ndim = 0;
    bool c_contiguous = false;
    bool f_contiguous = false;
    std::size_t len() const { return view.rows; }
};
ArrayView<double> to_f64_array(const Args& args, std::size_t i, int ndim);
ArrayView<std::int64_t> to_i64_array(const Args& args, std::size_t i);

// Doubles in memory that nothing has written yet (no zero fill), from
// bulk_alloc (string_column.hpp): large buffers get transparent huge pages
// where the system offers them, so the workers that first write them take
// few page faults, or a block a previous call gave back, already mapped.
class ScoreBuffer {
public:
    ScoreBuffer() = default;
    explicit ScoreBuffer(std::size_t n);  // throws std::bad_alloc
    ScoreBuffer(ScoreBuffer&& o) noexcept : p_(o.p_), size_(o.size_) { o.p_ = nullptr; }
    ScoreBuffer& operator=(ScoreBuffer&&) = delete;
    ScoreBuffer(const ScoreBuffer&) = delete;
    ~ScoreBuffer() { bulk_free(p_, size_); }
    double* data() const noexcept { return p_; }
    std::size_t size() const noexcept { return size_; }  // bytes, for bulk_free
    void* release() noexcept { void* p = p_; p_ = nullptr; return p; }

private:
    double* p_ = nullptr;
    std::size_t size_ = 0;
};

// Result forms. Each consumes its buffer.
PyObject* result_list(std::vector<double>&& values);
PyObject* result_list(const double* values, std::size_t n);
PyObject* result_array(std::vector<double>&& values);
PyObject* result_array(ScoreBuffer&& values, std::size_t n);
// A list of scores that are all 0.0 or 1.0 (exact match, Soundex): every
// item is one of two shared float objects.
PyObject* result_flags(std::vector<double>&& values);
PyObject* result_flags(const double* values, std::size_t n);
// A C-contiguous rows x cols float64 array over the buffer.
PyObject* result_matrix(ScoreBuffer&& values, std::size_t rows, std::size_t cols);
PyObject* result_i64_array(std::vector<std::int64_t>&& values);
// A C-contiguous rows x cols uint8 array over the vector.
PyObject* result_u8_matrix(std::vector<std::uint8_t>&& values, std::size_t rows, std::size_t cols);
// n int64 values from new[] (left as written: large results are not zeroed first).
PyObject* result_i64_array(std::unique_ptr<std::int64_t[]>&& values, std::size_t n);
// The first n int64 values of a bulk block (left as written).
PyObject* result_i64_array(BulkBuffer<std::int64_t>&& values, std::size_t n);

}  // namespace corvane
