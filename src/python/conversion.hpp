// Pieces of argument conversion shared by binding.cpp and the column
// readers (columns.cpp, arrow.cpp). Internal to src/python.
#pragma once

#include "python/binding.hpp"

namespace corvane {

[[noreturn]] void pending();
std::string type_qualname(PyObject* obj);
[[noreturn]] void type_error(const std::string& msg);

// Leading fields of NumPy's array object; this layout is part of NumPy's
// ABI and is the same in NumPy 1.x and 2.x.
struct NpArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// NumPy's C function table, loaded on first use (internal failure when
// NumPy cannot be loaded).
void** numpy_api();
// The same, but only when NumPy is already imported (nullptr otherwise):
// an object can only be a NumPy array once NumPy is loaded, so the string
// and float column kinds ask this one and never import NumPy themselves.
void** numpy_api_if_imported();
int numpy_major_version();  // after numpy_api() succeeded

// Where a column sits in the call, for messages: the parameter, and the
// column's index when the parameter is a table of columns.
struct ColumnContext {
    const char* arg;
    long column = -1;
    // Where nulls go instead of failing the call: one byte per element, 1
    // for a null (an Arrow null, a null in the dictionary, a None item, a
    // StringDType missing value); left empty when the column has none.
    // String columns put an empty string in a null's place, float columns
    // NaN. Null: nulls are refused as the batch functions refuse them.
    std::vector<std::uint8_t>* missing = nullptr;
    // "argument 'left': " or "argument 'string_columns_left': column 2: "
    std::string prefix() const;
    // "" or "column 2: " (TypeErrors get the argument name added later)
    std::string where() const;
};

// An Arrow column of a type the kind does not read. A sequence is then
// iterated item by item as before (a polars Object series exports as
// fixed-size binary but holds str); when that fails with a TypeError, this
// message (naming the Arrow format) is raised instead.
struct UnsupportedArrowFormat {
    std::string message;
};

// String columns held in memory the call can read in place: Arrow arrays
// and streams, NumPy unicode and StringDType arrays. Returns false, having
// done nothing, when obj is none of these (the caller then iterates it).
// On success the column is checked and ready for the kernels; on failure
// throws (PythonErrorPending with a TypeError set, or ValueError).
bool read_string_column_in_place(PyObject* obj, const ColumnContext& ctx, StringColumn& out);

// The same for float columns: Arrow float and integer arrays, NumPy
// float64 and integer arrays.
bool read_float_column_in_place(PyObject* obj, const ColumnContext& ctx, FloatColumn& out);

// Number key columns (blocking): Arrow integers, floats, booleans, dates
// and timestamps, read where they lie, nulls left to the validity bits.
bool read_number_keys_in_place(PyObject* obj, const ColumnContext& ctx, NumberKeyColumn& out);

}  // namespace corvane
