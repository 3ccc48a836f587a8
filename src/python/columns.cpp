// Column arguments read in place: Arrow arrays and streams (through the
// Arrow PyCapsule interface) and NumPy string and number arrays.
//
// What is borrowed. An Arrow producer hands over ArrowArray/ArrowSchema/
// ArrowArrayStream structs in capsules. They are moved out of the capsules
// (the capsule's copy is marked released, so its destructor frees only the
// struct memory) into one ArrowImport, which calls every release callback
// exactly once when it is destroyed: on success when the column dies at the
// end of the call, on failure as soon as the conversion unwinds (a Python
// error being raised is set aside while the callbacks run, then restored:
// a callback written in Python cannot run, or be judged, with it set). Columns
// point straight into the producer's buffers and hold the ArrowImport
// through a type-erased shared_ptr; the import is always destroyed with the
// interpreter lock held (columns live in the body's scope), so producers
// whose release touches Python objects are safe. A NumPy float array read in
// place is held by a reference in the FloatColumn.
//
// What is validated, and where. Under the lock: the capsule protocol, the
// Arrow format, the struct's shape (buffer counts, lengths, offsets) — work
// per array, never per string. Then, with the lock released: nulls, offsets
// (non-negative, non-decreasing), views inside their buffers, dictionary
// indices inside the dictionary, UTF-8 of every string that is not null
// (a null value's bytes mean nothing, in a dictionary too); NumPy unicode arrays
// are transcoded and StringDType arrays copied into the call's buffer. The
// first problem (lowest element index) is raised after the lock is back.
// The C Data Interface gives no size for a utf8 data buffer: its extent is
// what the last offset says, so an offset past the producer's buffer cannot
// be detected here (views carry their buffer sizes and are checked).
//
// Not read in place (iterated item by item as before): NumPy subclasses,
// objects whose dtype is a NumPy dtype (pandas Series backed by NumPy: an
// object Series holds Python objects, and the Arrow export of a float
// Series would turn NaN into nulls), sequences whose Arrow export raises
// an ordinary Exception (not MemoryError or RecursionError, which propagate),
// float columns of Arrow types other than floats and integers (decimals),
// NumPy arrays of other dtypes or shapes or of non-native byte order, and
// StringDType arrays whose missing value is a string.
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "blocking/keys.hpp"
#include "python/conversion.hpp"
#include "python/numpy_abi.hpp"

namespace corvane {

namespace {

// ---- Arrow C Data Interface (a stable ABI, defined here) -------------------

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// Everything taken from one producer. Structs whose release is null are
// not held (never received, or already released).
struct ArrowImport {
    ArrowSchema schema{};
    std::vector<ArrowArray> chunks;
    ArrowArrayStream stream{};

    ArrowImport() = default;
    ArrowImport(const ArrowImport&) = delete;
    ArrowImport& operator=(const ArrowImport&) = delete;
    ~ArrowImport() {
        PyObject* raised = PyErr_GetRaisedException();
        for (ArrowArray& a : chunks)
            if (a.release) a.release(&a);
        if (schema.release) schema.release(&schema);
        if (stream.release) stream.release(&stream);
        // A callback has no way to report an error: one it left set is not
        // the call's, and must not replace (or be taken for) the call's own.
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        if (raised) PyErr_SetRaisedException(raised);
    }
};

[[noreturn]] void malformed(const ColumnContext& ctx, const std::string& what) {
    throw ValueError(ctx.prefix() + "malformed Arrow data (" + what + ")");
}

// Moves the struct out of a capsule of the given name, which `method`
// returned.
template <class T>
void take_from_capsule(PyObject* capsule, const char* name, T& into, const char* method, const ColumnContext& ctx) {
    if (!PyCapsule_IsValid(capsule, name)) {
        std::string got;
        if (!PyCapsule_CheckExact(capsule)) {
            got = "a '" + type_qualname(capsule) + "' object";
        } else {
            const char* found = PyCapsule_GetName(capsule);
            got = found ? "a capsule named '" + std::string(found) + "'" : std::string("a capsule with no name");
        }
        PyErr_Clear();
        throw ValueError(ctx.prefix() + method + " returned " + got + " where an '" + name + "' capsule belongs");
    }
    T* src = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (!src) pending();
    if (!src->release) throw ValueError(ctx.prefix() + "the '" + name + "' capsule holds a released struct");
    into = *src;
    src->release = nullptr;
}

[[noreturn]] void stream_failed(ArrowImport& imp, int rc, const ColumnContext& ctx);

// True when the error set is an ordinary Exception, which an object may
// raise to decline a protocol; KeyboardInterrupt, SystemExit and the like
// (not Exceptions), MemoryError and RecursionError are the caller's.
bool ordinary_error() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError) &&
           !PyErr_ExceptionMatches(PyExc_RecursionError);
}

// An exporter that raises an ordinary Exception (a polars Object series
// cannot be exported) may still be a sequence whose items convert as
// before: it is then iterated. Any other error propagates.
bool export_failed(PyObject* obj) {
    if (!ordinary_error() || !PySequence_Check(obj)) pending();
    PyErr_Clear();
    return false;
}

// Imports obj through __arrow_c_array__ (schema and array) or
// __arrow_c_stream__ (schema; read_chunks takes the arrays once the schema
// is accepted); false when it has neither.
bool import_arrow(PyObject* obj, ArrowImport& imp, const ColumnContext& ctx) {
    PyRef method(PyObject_GetAttrString(obj, "__arrow_c_array__"));
    if (method) {
        PyRef pair(PyObject_CallNoArgs(method.get()));
        if (!pair) return export_failed(obj);
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) tuple of capsules");
            pending();
        }
        take_from_capsule(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema", imp.schema, "__arrow_c_array__", ctx);
        imp.chunks.push_back(ArrowArray{});
        take_from_capsule(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array", imp.chunks.back(), "__arrow_c_array__", ctx);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) pending();
    PyErr_Clear();
    method = PyRef(PyObject_GetAttrString(obj, "__arrow_c_stream__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) pending();
        PyErr_Clear();
        return false;
    }
    PyRef capsule(PyObject_CallNoArgs(method.get()));
    if (!capsule) return export_failed(obj);
    take_from_capsule(capsule.get(), "arrow_array_stream", imp.stream, "__arrow_c_stream__", ctx);
    if (int rc = imp.stream.get_schema(&imp.stream, &imp.schema)) stream_failed(imp, rc, ctx);
    return true;
}

[[noreturn]] void stream_failed(ArrowImport& imp, int rc, const ColumnContext& ctx) {
    const char* text = imp.stream.get_last_error ? imp.stream.get_last_error(&imp.stream) : nullptr;
    throw ValueError(ctx.prefix() + "the Arrow stream failed: " + (text ? text : std::strerror(rc)));
}

// Reads the rest of a stream (after its schema was accepted) into chunks.
void read_chunks(ArrowImport& imp, const ColumnContext& ctx) {
    if (!imp.stream.release) return;
    for (;;) {
        ArrowArray next{};
        if (int rc = imp.stream.get_next(&imp.stream, &next)) stream_failed(imp, rc, ctx);
        if (!next.release) break;  // end of stream
        imp.chunks.push_back(next);
    }
}

// ---- Arrow arrays to string runs ---------------------------------------------

// Byte width and signedness of an Arrow integer format, or 0.
int integer_width(const char* f, bool& is_signed) {
    if (!f[0] || f[1]) return 0;
    switch (f[0]) {
        case 'c': is_signed = true; return 1;
        case 'C': is_signed = false; return 1;
        case 's': is_signed = true; return 2;
        case 'S': is_signed = false; return 2;
        case 'i': is_signed = true; return 4;
        case 'I': is_signed = false; return 4;
        case 'l': is_signed = true; return 8;
        case 'L': is_signed = false; return 8;
        default: return 0;
    }
}

bool is_string_format(const char* f) {
    return std::strcmp(f, "u") == 0 || std::strcmp(f, "U") == 0 || std::strcmp(f, "vu") == 0;
}

[[noreturn]] void not_strings(const ColumnContext& ctx, const char* format, bool dictionary_values) {
    throw UnsupportedArrowFormat{ctx.where() + "Arrow format '" + format + "'" + (dictionary_values ? " of the dictionary values" : "") +
               " is not a string type (expected utf8 'u', large_utf8 'U' or utf8_view 'vu')"};
}

void check_shape(const ArrowArray& a, std::int64_t min_buffers, const ColumnContext& ctx) {
    if (a.length < 0 || a.offset < 0 || a.n_buffers < min_buffers || !a.buffers)
        malformed(ctx, "negative length or offset, or missing buffers");
}

// A validity bitmap to read (null_count -1, unknown, counts as may).
bool may_hold_nulls(const ArrowArray& a) { return a.null_count != 0 && a.n_buffers > 0 && a.buffers[0]; }

// A run over a string array (format u, U or vu), pointing into its buffers.
StringRun string_run(const char* format, const ArrowArray& a, const ColumnContext& ctx) {
    StringRun run;
    run.length = static_cast<std::size_t>(a.length);
    if (format[0] == 'v') {
        check_shape(a, 3, ctx);
        if (a.length > 0 && !a.buffers[1]) malformed(ctx, "missing views buffer");
        run.layout = StringRun::Layout::kViews;
        run.offsets = static_cast<const char*>(a.buffers[1]) + 16 * a.offset;
        run.n_buffers = static_cast<std::size_t>(a.n_buffers - 3);
        run.buffers = reinterpret_cast<const char* const*>(a.buffers + 2);
        run.buffer_sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
        if (run.n_buffers > 0 && !run.buffer_sizes) malformed(ctx, "missing buffer sizes");
        if (may_hold_nulls(a)) {
            run.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
            run.validity_offset = static_cast<std::size_t>(a.offset);
        }
        return run;
    }
    check_shape(a, 3, ctx);
    if (!a.buffers[1]) malformed(ctx, "missing offsets buffer");
    if (may_hold_nulls(a)) {
        run.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
        run.validity_offset = static_cast<std::size_t>(a.offset);
    }
    run.bytes = static_cast<const char*>(a.buffers[2]);
    if (format[0] == 'u') {
        run.layout = StringRun::Layout::kOffsets32;
        run.offsets = static_cast<const std::int32_t*>(a.buffers[1]) + a.offset;
    } else {
        run.layout = StringRun::Layout::kOffsets64;
        run.offsets = static_cast<const std::int64_t*>(a.buffers[1]) + a.offset;
    }
    if (!run.bytes) {
        // No data buffer: only an array of empty strings may omit it, which
        // the run's check makes sure of.
        static const char kEmpty[1] = {0};
        run.bytes = kEmpty;
        run.has_data = false;
    }
    return run;
}

// Validity of element i of an Arrow array (its own bitmap only).
inline bool valid_at(const ArrowArray& a, std::size_t i) {
    const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
    const std::size_t k = static_cast<std::size_t>(a.offset) + i;
    return (bits[k >> 3] >> (k & 7)) & 1;
}


// First element of a chunk that is null, or whose dictionary index is out
// of range (*bad_index set), or SIZE_MAX. A null slot's index may hold any
// value, so indices are checked together with the validity bits.
std::size_t first_null(const ArrowArray& a, const StringRun& run, bool* bad_index) {
    const bool own = may_hold_nulls(a);
    if (run.layout != StringRun::Layout::kDictionary) {
        if (own)
            for (std::size_t i = 0; i < run.length; ++i)
                if (!valid_at(a, i)) return i;
        return SIZE_MAX;
    }
    const ArrowArray& dict = *a.dictionary;
    const bool through = may_hold_nulls(dict);
    const auto size = static_cast<std::int64_t>(run.dictionary->length);
    for (std::size_t i = 0; i < run.length; ++i) {
        if (own && !valid_at(a, i)) return i;
        const std::int64_t k = run.index(i);
        if (k < 0 || k >= size) {
            *bad_index = true;
            return i;
        }
        if (through && !valid_at(dict, static_cast<std::size_t>(k))) return i;
    }
    return SIZE_MAX;
}

// Marks the chunk's nulls in mask (1 = null: its own, or through a null in
// the dictionary) and sets any when it marks one. Returns the first
// non-null element whose dictionary index is out of range, or SIZE_MAX.
std::size_t mark_nulls(const ArrowArray& a, const StringRun& run, std::uint8_t* mask, bool& any) {
    const bool own = may_hold_nulls(a);
    if (run.layout != StringRun::Layout::kDictionary) {
        if (own) {
            // Every element written, without a branch on the bits.
            std::uint8_t seen = 0;
            for (std::size_t i = 0; i < run.length; ++i) {
                const auto gone = static_cast<std::uint8_t>(!valid_at(a, i));
                mask[i] = gone;
                seen |= gone;
            }
            any |= seen != 0;
        }
        return SIZE_MAX;
    }
    const ArrowArray& dict = *a.dictionary;
    const bool through = may_hold_nulls(dict);
    const auto size = static_cast<std::int64_t>(run.dictionary->length);
    for (std::size_t i = 0; i < run.length; ++i) {
        if (own && !valid_at(a, i)) {
            mask[i] = 1, any = true;
            continue;
        }
        const std::int64_t k = run.index(i);
        if (k < 0 || k >= size) return i;
        if (through && !valid_at(dict, static_cast<std::size_t>(k))) mask[i] = 1, any = true;
    }
    return SIZE_MAX;
}

std::string problem_text(const RunProblem& p, std::size_t element) {
    const std::string at = p.in_dictionary ? "dictionary entry " + std::to_string(p.index)
                                           : "element " + std::to_string(element);
    switch (p.kind) {
        case RunProblem::Kind::kInvalidUtf8: return at + " is not valid UTF-8";
        case RunProblem::Kind::kBadOffsets: return "Arrow offsets decrease (or are negative) at " + at;
        case RunProblem::Kind::kNoData: return at + " is not empty but the Arrow array has no data buffer";
        case RunProblem::Kind::kViewOutOfBounds: return at + " points outside its Arrow data buffers";
        case RunProblem::Kind::kIndexOutOfRange: return "dictionary index of " + at + " is out of range";
        case RunProblem::Kind::kNone: break;
    }
    return at;
}

[[noreturn]] void null_element(const ColumnContext& ctx, std::size_t element) {
    type_error(ctx.where() + "element " + std::to_string(element) +
               " is null (missing); fill or drop missing values before the call");
}

bool read_arrow_strings(PyObject* obj, const ColumnContext& ctx, StringColumn& out) {
    auto imp = std::make_shared<ArrowImport>();
    if (!import_arrow(obj, *imp, ctx)) return false;
    const ArrowSchema& schema = imp->schema;
    if (!schema.format) malformed(ctx, "schema without format");
    const char* values_format = schema.format;
    bool index_signed = true;
    int index_width = 0;
    if (schema.dictionary) {
        index_width = integer_width(schema.format, index_signed);
        if (!index_width || !schema.dictionary->format) malformed(ctx, "dictionary with a non-integer index");
        values_format = schema.dictionary->format;
        if (!is_string_format(values_format))
            not_strings(ctx, values_format, true);
    } else if (std::strcmp(schema.format, "n") == 0) {
        // The null type: every element is missing.
        std::size_t total = 0;
        read_chunks(*imp, ctx);
        for (const ArrowArray& a : imp->chunks) total += a.length > 0 ? static_cast<std::size_t>(a.length) : 0;
        if (total > 0 && !ctx.missing) null_element(ctx, 0);
        if (total > 0) {
            OwnedStrings empty;
            empty.reserve_strings(total);
            for (std::size_t i = 0; i < total; ++i) empty.commit(0);
            out.adopt(std::move(empty));
            ctx.missing->assign(total, 1);
        }
        return true;
    } else if (!is_string_format(values_format)) {
        not_strings(ctx, values_format, false);
    }

    read_chunks(*imp, ctx);
    std::vector<const ArrowArray*> chunk_of_run;
    for (const ArrowArray& a : imp->chunks) {
        if (a.length < 0) malformed(ctx, "negative length");
        if (a.length == 0) continue;
        if (index_width) {
            check_shape(a, 2, ctx);
            if (!a.buffers[1] || !a.dictionary) malformed(ctx, "dictionary array without indices or dictionary");
            StringRun run;
            run.layout = StringRun::Layout::kDictionary;
            run.length = static_cast<std::size_t>(a.length);
            run.indices = static_cast<const char*>(a.buffers[1]) + index_width * a.offset;
            run.index_bytes = static_cast<std::uint8_t>(index_width);
            run.index_signed = index_signed;
            run.dictionary = out.own_run(string_run(values_format, *a.dictionary, ctx));
            out.add_run(run);
        } else {
            out.add_run(string_run(values_format, a, ctx));
        }
        chunk_of_run.push_back(&a);
    }
    out.keep(std::move(imp));

    // Per-string checks without the lock; the first problem by element wins.
    std::size_t null_at = SIZE_MAX, problem_at = SIZE_MAX;
    RunProblem problem;
    if (ctx.missing) {
        // Nulls are recorded, not refused: every run is checked whole.
        ctx.missing->assign(out.size(), 0);
        bool any = false;
        {
            ReleasedSection released;
            const auto& runs = out.runs();
            for (std::size_t k = 0; k < runs.size() && !problem; ++k) {
                const std::size_t bad_index =
                    mark_nulls(*chunk_of_run[k], runs[k], ctx.missing->data() + out.run_start(k), any);
                RunProblem p = check_run(runs[k]);
                if (bad_index != SIZE_MAX && !(p && (p.in_dictionary || p.index < bad_index))) {
                    p = RunProblem{};
                    p.kind = RunProblem::Kind::kIndexOutOfRange;
                    p.index = bad_index;
                }
                if (p) {
                    problem = p;
                    problem_at = out.run_start(k) + (p.in_dictionary ? 0 : p.index);
                }
            }
        }
        if (problem) throw ValueError(ctx.prefix() + problem_text(problem, problem_at));
        if (!any) ctx.missing->clear();
        return true;
    }
    {
        ReleasedSection released;
        const auto& runs = out.runs();
        for (std::size_t k = 0; k < runs.size() && null_at == SIZE_MAX && !problem; ++k) {
            bool bad_index = false;
            const std::size_t null_in_run = first_null(*chunk_of_run[k], runs[k], &bad_index);
            RunProblem p = check_run(runs[k]);
            if (bad_index && !(p && p.in_dictionary)) {
                p = RunProblem{};
                p.kind = RunProblem::Kind::kIndexOutOfRange;
                p.index = null_in_run;
            } else if (null_in_run != SIZE_MAX) {
                null_at = out.run_start(k) + null_in_run;
            }
            // A problem in a dictionary is reported before its column's nulls;
            // otherwise whichever comes first.
            if (p && (p.in_dictionary || p.index < null_in_run || bad_index)) {
                problem = p;
                problem_at = out.run_start(k) + (p.in_dictionary ? 0 : p.index);
            }
        }
    }
    if (problem && problem_at <= null_at) throw ValueError(ctx.prefix() + problem_text(problem, problem_at));
    if (null_at != SIZE_MAX) null_element(ctx, null_at);
    return true;
}

// ---- Arrow arrays to doubles ---------------------------------------------------

bool read_arrow_floats(PyObject* obj, const ColumnContext& ctx, FloatColumn& out) {
    auto imp = std::make_shared<ArrowImport>();
    if (!import_arrow(obj, *imp, ctx)) return false;
    const char* format = imp->schema.format;
    if (!format) malformed(ctx, "schema without format");
    bool is_signed = true;
    const int width = integer_width(format, is_signed);
    const bool f64 = std::strcmp(format, "g") == 0, f32 = std::strcmp(format, "f") == 0;
    if (const ArrowSchema* dict = imp->schema.dictionary)
        throw UnsupportedArrowFormat{ctx.where() + "dictionary-encoded Arrow column (indices '" + format +
                                     "', values '" + (dict->format ? dict->format : "") +
                                     "'): number columns are not read through a dictionary; decode it first "
                                     "(pyarrow: .dictionary_decode())"};
    if (!width && !f64 && !f32)
        throw UnsupportedArrowFormat{ctx.where() + "Arrow format '" + format +
                                     "' is not a number type (expected float64 'g', float32 'f' or an integer type)"};
    read_chunks(*imp, ctx);
    std::size_t total = 0;
    for (const ArrowArray& a : imp->chunks) {
        check_shape(a, 2, ctx);
        if (a.length > 0 && !a.buffers[1]) malformed(ctx, "missing values buffer");
        total += static_cast<std::size_t>(a.length);
    }
    // One aligned float64 chunk is read where it lies; anything else is
    // converted into the call's vector, each value exactly as float() would.
    bool nulls = false;
    for (const ArrowArray& a : imp->chunks) nulls |= may_hold_nulls(a);
    if (f64 && imp->chunks.size() == 1 && !(nulls && ctx.missing)) {
        const ArrowArray& a = imp->chunks[0];
        const auto* p = static_cast<const double*>(a.buffers[1]) + a.offset;
        if (a.length == 0 || reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0) {
            out.borrowed = a.length ? p : out.values.data();
            out.borrowed_size = static_cast<std::size_t>(a.length);
        }
    }
    std::size_t null_at = SIZE_MAX;
    {
        ReleasedSection released;
        std::size_t start = 0;
        if (!out.borrowed) out.values.resize(total);
        for (const ArrowArray& a : imp->chunks) {
            const auto n = static_cast<std::size_t>(a.length);
            if (null_at == SIZE_MAX && may_hold_nulls(a) && !ctx.missing)
                for (std::size_t i = 0; i < n; ++i)
                    if (!valid_at(a, i)) {
                        null_at = start + i;
                        break;
                    }
            if (!out.borrowed) {
                const char* base = static_cast<const char*>(a.buffers[1]);
                double* dst = out.values.data() + start;
                const std::size_t size = f64 ? 8 : f32 ? 4 : static_cast<std::size_t>(width);
                for (std::size_t i = 0; i < n; ++i) {
                    const char* v = base + size * (static_cast<std::size_t>(a.offset) + i);
                    double d;
                    if (f64) {
                        std::memcpy(&d, v, 8);
                    } else if (f32) {
                        float f;
                        std::memcpy(&f, v, 4);
                        d = f;
                    } else if (is_signed) {
                        std::int64_t x = 0;
                        if (width == 1) { std::int8_t t; std::memcpy(&t, v, 1); x = t; }
                        else if (width == 2) { std::int16_t t; std::memcpy(&t, v, 2); x = t; }
                        else if (width == 4) { std::int32_t t; std::memcpy(&t, v, 4); x = t; }
                        else std::memcpy(&x, v, 8);
                        d = static_cast<double>(x);  // round half to even, as float(int)
                    } else {
                        std::uint64_t x = 0;
                        std::memcpy(&x, v, static_cast<std::size_t>(width));  // little-endian
                        d = static_cast<double>(x);
                    }
                    dst[i] = d;
                }
                if (ctx.missing && may_hold_nulls(a))
                    for (std::size_t i = 0; i < n; ++i)
                        if (!valid_at(a, i)) dst[i] = std::numeric_limits<double>::quiet_NaN();
            }
            start += n;
        }
    }
    if (null_at != SIZE_MAX)
        type_error(ctx.where() + "element " + std::to_string(null_at) +
                   " is null (missing); fill or drop missing values before the call");
    out.keep = std::move(imp);
    return true;
}

// ---- Arrow arrays to number keys ---------------------------------------------

// The key type of an Arrow format: integers, floats, booleans, dates and
// timestamps (their integer counts), the null type; kNull with *known
// false for anything else.
blocking::NumberType key_number_type(const char* f, bool* known) {
    using T = blocking::NumberType;
    *known = true;
    bool is_signed = true;
    switch (integer_width(f, is_signed)) {
        case 1: return is_signed ? T::kI8 : T::kU8;
        case 2: return is_signed ? T::kI16 : T::kU16;
        case 4: return is_signed ? T::kI32 : T::kU32;
        case 8: return is_signed ? T::kI64 : T::kU64;
        default: break;
    }
    if (std::strcmp(f, "n") == 0) return T::kNull;
    if (std::strcmp(f, "b") == 0) return T::kBool;
    if (std::strcmp(f, "f") == 0) return T::kF32;
    if (std::strcmp(f, "g") == 0) return T::kF64;
    if (std::strcmp(f, "tdD") == 0) return T::kI32;
    if (std::strcmp(f, "tdm") == 0) return T::kI64;
    if (std::strncmp(f, "ts", 2) == 0 && f[2] && std::strchr("smun", f[2]) && f[3] == ':') return T::kI64;
    *known = false;
    return T::kNull;
}

// ---- NumPy -------------------------------------------------------------------

// Leading fields of a NumPy 2 descriptor, and of the StringDType descriptor
// that extends it (both public in NumPy >= 2).
struct NpDescr {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
    std::uint64_t flags;
    Py_ssize_t elsize;
    Py_ssize_t alignment;
    PyObject* metadata;
    Py_hash_t hash;
    void* reserved_null[2];
};

struct NpStringDescr {
    NpDescr base;
    PyObject* na_object;
    char coerce;
    char has_nan_na;
    char has_string_na;
    char array_owned;
};

struct NpStaticString {
    std::size_t size;
    const char* buf;
};

using namespace numpy_abi;

bool native_order(char byteorder) {
    if (byteorder == '=' || byteorder == '|') return true;
    return byteorder == (std::endian::native == std::endian::little ? '<' : '>');
}

// A NumPy array the column kinds may read in place: 1-D, NumPy >= 2.
NpArrayObject* numpy_vector(PyObject* obj, void**& api) {
    api = numpy_api_if_imported();
    if (!api || numpy_major_version() < 2) return nullptr;
    // Exactly ndarray: subclasses may change what their items are (a
    // chararray strips trailing blanks, a masked array hides masked values).
    if (Py_TYPE(obj) != static_cast<PyTypeObject*>(api[kApiArrayType])) return nullptr;
    auto* arr = reinterpret_cast<NpArrayObject*>(obj);
    return arr->nd == 1 ? arr : nullptr;
}

// An object whose `dtype` is a NumPy dtype (a pandas Series backed by
// NumPy) is iterated as before, even though it has an Arrow export: its
// items may be Python objects, and the export would turn NaN into nulls.
bool has_numpy_dtype(PyObject* obj) {
    void** api = numpy_api_if_imported();
    if (!api || numpy_major_version() < 2) return false;
    PyRef dtype(PyObject_GetAttrString(obj, "dtype"));
    if (!dtype) {
        if (!ordinary_error()) pending();
        PyErr_Clear();
        return false;
    }
    if (!PyObject_TypeCheck(dtype.get(), static_cast<PyTypeObject*>(api[kApiDescrType]))) return false;
    return true;
}

bool read_numpy_strings(PyObject* obj, const ColumnContext& ctx, StringColumn& out) {
    void** api = nullptr;
    NpArrayObject* arr = numpy_vector(obj, api);
    if (!arr) return false;
    auto* descr = reinterpret_cast<NpDescr*>(arr->descr);
    const auto n = static_cast<std::size_t>(arr->dimensions[0]);
    const char* data = arr->data;
    const Py_ssize_t stride = arr->strides[0];
    OwnedStrings strings;

    if (descr->type_num == kNpyUnicode && native_order(descr->byteorder)) {
        // Fixed-width UCS-4, trailing NULs not part of the string (as numpy.str_).
        const std::size_t width = static_cast<std::size_t>(descr->elsize) / 4;
        std::size_t bad = SIZE_MAX;
        {
            ReleasedSection released;
            strings.reserve_strings(n);
            for (std::size_t i = 0; i < n && bad == SIZE_MAX; ++i) {
                const char* item = data + static_cast<Py_ssize_t>(i) * stride;
                std::size_t len = width;
                while (len > 0) {
                    std::uint32_t c;
                    std::memcpy(&c, item + 4 * (len - 1), 4);
                    if (c != 0) break;
                    --len;
                }
                if (!append_ucs4(strings, item, len)) bad = i;
            }
        }
        if (bad != SIZE_MAX) {
            // A surrogate or a unit above U+10FFFF: the item fails exactly as
            // it would have item by item.
            PyRef item(PySequence_GetItem(obj, static_cast<Py_ssize_t>(bad)));
            if (!item) pending();
            if (!PyUnicode_Check(item.get())) type_error("'str_' item could not be read");
            PyRef encoded(PyUnicode_AsUTF8String(item.get()));
            if (!encoded) pending();
            throw ValueError(ctx.prefix() + "element " + std::to_string(bad) + " is not valid unicode");
        }
        out.adopt(std::move(strings));
        return true;
    }

    if (descr->type_num == kNpyVString) {
        auto* sdescr = reinterpret_cast<NpStringDescr*>(descr);
        if (sdescr->has_string_na) return false;
        using Load = int (*)(void*, const void*, NpStaticString*);
        using Acquire = void* (*)(const void*);
        using Release = void (*)(void*);
        auto load = reinterpret_cast<Load>(api[kApiStringLoad]);
        auto acquire = reinterpret_cast<Acquire>(api[kApiAcquireAllocator]);
        auto release = reinterpret_cast<Release>(api[kApiReleaseAllocator]);
        std::size_t null_at = SIZE_MAX, bad = SIZE_MAX;
        void* allocator = acquire(sdescr);
        {
            // The allocator is given back before the lock is taken again, so
            // a thread holding the lock and waiting for it cannot deadlock us.
            ReleasedSection released;
            struct Give {
                Release release;
                void* allocator;
                ~Give() { release(allocator); }
            } give{release, allocator};
            strings.reserve_strings(n);
            for (std::size_t i = 0; i < n; ++i) {
                NpStaticString s{};
                int rc = load(allocator, data + static_cast<Py_ssize_t>(i) * stride, &s);
                if (rc == 1 && ctx.missing) {
                    if (ctx.missing->empty()) ctx.missing->assign(n, 0);
                    (*ctx.missing)[i] = 1;
                    strings.commit(0);
                    continue;
                }
                if (rc != 0) {
                    (rc == 1 ? null_at : bad) = i;
                    break;
                }
                strings.push(s.buf, s.size);
            }
        }
        if (null_at != SIZE_MAX) null_element(ctx, null_at);
        if (bad != SIZE_MAX) throw ValueError(ctx.prefix() + "element " + std::to_string(bad) + " could not be read");
        out.adopt(std::move(strings));
        return true;
    }
    return false;
}

bool read_numpy_floats(PyObject* obj, FloatColumn& out) {
    void** api = nullptr;
    NpArrayObject* arr = numpy_vector(obj, api);
    if (!arr) return false;
    auto* descr = reinterpret_cast<NpDescr*>(arr->descr);
    if (!native_order(descr->byteorder)) return false;
    const char kind = descr->kind;
    const auto size = static_cast<std::size_t>(descr->elsize);
    const bool f64 = descr->type_num == kNpyDouble;
    if (!f64 && !((kind == 'i' || kind == 'u') && (size == 1 || size == 2 || size == 4 || size == 8)) &&
        !(kind == 'f' && size == 4))
        return false;
    const auto n = static_cast<std::size_t>(arr->dimensions[0]);
    const char* data = arr->data;
    const Py_ssize_t stride = arr->strides[0];
    if (n == 0) return true;
    if (f64 && (n < 2 || stride == 8) && reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0) {
        out.owner = PyRef::borrow(obj);
        out.borrowed = reinterpret_cast<const double*>(data);
        out.borrowed_size = n;
        return true;
    }
    ReleasedSection released;
    out.values.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const char* v = data + static_cast<Py_ssize_t>(i) * stride;
        double d;
        if (kind == 'f') {
            if (size == 8) {
                std::memcpy(&d, v, 8);
            } else {
                float f;
                std::memcpy(&f, v, 4);
                d = f;
            }
        } else if (kind == 'i') {
            std::int64_t x = 0;
            if (size == 1) { std::int8_t t; std::memcpy(&t, v, 1); x = t; }
            else if (size == 2) { std::int16_t t; std::memcpy(&t, v, 2); x = t; }
            else if (size == 4) { std::int32_t t; std::memcpy(&t, v, 4); x = t; }
            else std::memcpy(&x, v, 8);
            d = static_cast<double>(x);
        } else {
            std::uint64_t x = 0;
            std::memcpy(&x, v, size);
            d = static_cast<double>(x);
        }
        out.values[i] = d;
    }
    return true;
}

}  // namespace

bool read_string_column_in_place(PyObject* obj, const ColumnContext& ctx, StringColumn& out) {
    if (read_numpy_strings(obj, ctx, out)) return true;
    if (has_numpy_dtype(obj)) return false;
    return read_arrow_strings(obj, ctx, out);
}

bool read_float_column_in_place(PyObject* obj, const ColumnContext& ctx, FloatColumn& out) {
    if (read_numpy_floats(obj, out)) return true;
    if (has_numpy_dtype(obj)) return false;
    return read_arrow_floats(obj, ctx, out);
}

bool read_number_keys_in_place(PyObject* obj, const ColumnContext& ctx, NumberKeyColumn& out) {
    auto imp = std::make_shared<ArrowImport>();
    if (!import_arrow(obj, *imp, ctx)) return false;
    const char* format = imp->schema.format;
    if (!format) malformed(ctx, "schema without format");
    bool known = false;
    const blocking::NumberType type = key_number_type(format, &known);
    if (imp->schema.dictionary || !known)
        throw UnsupportedArrowFormat{ctx.where() + "Arrow format '" + format +
                                     "' is not a number key type (integers, floats, booleans, dates, timestamps)"};
    read_chunks(*imp, ctx);
    for (const ArrowArray& a : imp->chunks) {
        if (a.length < 0 || a.offset < 0) malformed(ctx, "negative length or offset");
        if (a.length == 0) continue;
        blocking::NumberChunk c;
        c.type = type;
        c.offset = static_cast<std::size_t>(a.offset);
        c.length = static_cast<std::size_t>(a.length);
        if (type != blocking::NumberType::kNull) {
            check_shape(a, 2, ctx);
            if (!a.buffers[1]) malformed(ctx, "missing values buffer");
            c.values = a.buffers[1];
            if (may_hold_nulls(a)) c.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
        }
        out.chunks.push_back(c);
    }
    out.keep = std::move(imp);
    return true;
}

}  // namespace corvane
