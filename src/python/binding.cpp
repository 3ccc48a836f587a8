// Argument binding, conversion of the argument kinds, NumPy access and the
// two result forms.
#include "python/binding.hpp"
#include "python/conversion.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "python/numpy_abi.hpp"
#include "runtime/pool.hpp"

namespace corvane {

[[noreturn]] void pending() { throw PythonErrorPending{}; }

std::string type_qualname(PyObject* obj) {
    PyRef name(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
        if (s) return std::string(s, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

[[noreturn]] void type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    pending();
}

namespace {

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    type_error("'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

// A conversion of argument i failed with a Python error set. A TypeError is
// replaced by one naming the parameter; other exception types pass as they are.
[[noreturn]] void conversion_failed(const Args& args, std::size_t i) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "conversion failed without setting an error");
        pending();
    }
    PyRef exc(PyErr_GetRaisedException());
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc.release());
        pending();
    }
    PyRef text(PyObject_Str(exc.get()));
    if (!text) pending();
    PyRef wrapped(PyUnicode_FromFormat("argument '%s': %U", args.name(i), text.get()));
    if (!wrapped) pending();
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, wrapped.get()));
    if (!replacement) pending();
    PyException_SetCause(replacement.get(), PyException_GetCause(exc.get()));  // steals the new cause ref
    PyErr_SetRaisedException(replacement.release());
    pending();
}

// Shared front of the sequence kinds: refuses str and non-sequences and
// returns the length hint for the first reservation.
std::size_t sequence_hint(PyObject* obj) {
    if (PyUnicode_Check(obj)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // The reported length only sizes the first reservation: a sequence may
    // claim more items than it yields, so vectors grow past this cap as the
    // items actually arrive.
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
    return static_cast<std::size_t>(hint < kMaxReserve ? hint : kMaxReserve);
}

// Calls fn(item) and drops item, a reference the caller owns. Written out
// rather than with PyRef: this runs once per item, and the normal path
// needs no check of the lock.
template <class F>
inline void consume_item(PyObject* item, F& fn) {
    try {
        fn(item);
    } catch (...) {
        if (holds_lock()) Py_DECREF(item);
        throw;
    }
    Py_DECREF(item);
}

// Calls fn(item) for every item the iterator protocol yields. Exact lists
// and tuples are walked by index, which yields the same items (a list is
// re-measured at every step, as its iterator does) without the iterator.
template <class F>
void for_each_item(PyObject* obj, F&& fn) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(obj); ++k) {
            PyObject* item = PyList_GET_ITEM(obj, k);
            Py_INCREF(item);  // fn may run code that shrinks the list
            consume_item(item, fn);
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(obj); ++k) fn(PyTuple_GET_ITEM(obj, k));
        return;
    }
    PyRef it(PyObject_GetIter(obj));
    if (!it) pending();
    while (PyObject* item = PyIter_Next(it.get())) consume_item(item, fn);
    if (PyErr_Occurred()) pending();
}

// ---- the list path -----------------------------------------------------------
//
// Each str is read from its own storage (1, 2 or 4 bytes per character) and
// written as UTF-8 straight into the call's buffer. Nothing is cached on the
// caller's objects: PyUnicode_AsUTF8AndSize would attach a UTF-8 copy to
// every non-ASCII str for the rest of its life.

// UTF-8 of 2- or 4-byte code units at p (room for 3 or 4 bytes a unit);
// false at a surrogate, which has no UTF-8 form.
template <class Unit>
bool encode_units(const Unit* src, std::size_t len, char*& out) {
    char* p = out;
    for (std::size_t k = 0; k < len; ++k) {
        const Py_UCS4 c = src[k];
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            p[0] = static_cast<char>(0xC0 | (c >> 6));
            p[1] = static_cast<char>(0x80 | (c & 0x3F));
            p += 2;
        } else if (sizeof(Unit) == 2 || c < 0x10000) {
            if (c - 0xD800u < 0x800u) return false;
            p[0] = static_cast<char>(0xE0 | (c >> 12));
            p[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            p[2] = static_cast<char>(0x80 | (c & 0x3F));
            p += 3;
        } else {
            p[0] = static_cast<char>(0xF0 | (c >> 18));
            p[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            p[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            p[3] = static_cast<char>(0x80 | (c & 0x3F));
            p += 4;
        }
    }
    out = p;
    return true;
}

// Most UTF-8 bytes a str that is not compact ASCII can take.
inline std::size_t encoded_bound(PyObject* item) {
    const auto len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
    const int kind = PyUnicode_KIND(item);
    return (kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4) * len;
}

// Writes the UTF-8 form of a str at p (room for encoded_bound bytes) and
// moves p past it; false, p unchanged, at a surrogate (no UTF-8 form).
// Reads only the string's own storage and calls nothing: a thread without
// the interpreter lock may run it while the lock's holder keeps the str
// alive and unchanged.
bool encode_str(PyObject* item, char*& out) {
    const auto len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
    const void* data = PyUnicode_DATA(item);
    const int kind = PyUnicode_KIND(item);
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* src = static_cast<const Py_UCS1*>(data);
        char* p = out;
        for (std::size_t k = 0; k < len;) {
            if (k + 8 <= len) {
                // Eight ASCII characters at once: they are their own UTF-8.
                std::uint64_t w;
                std::memcpy(&w, src + k, 8);
                if ((w & 0x8080808080808080ULL) == 0) {
                    std::memcpy(p, &w, 8);
                    p += 8;
                    k += 8;
                    continue;
                }
            }
            Py_UCS1 c = src[k++];
            if (c < 0x80) {
                *p++ = static_cast<char>(c);
            } else {
                *p++ = static_cast<char>(0xC0 | (c >> 6));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        out = p;
        return true;
    }
    return kind == PyUnicode_2BYTE_KIND ? encode_units(static_cast<const Py_UCS2*>(data), len, out)
                                        : encode_units(static_cast<const Py_UCS4*>(data), len, out);
}

// Encodes a str that is not compact ASCII. A surrogate cannot be encoded:
// the interpreter's own encoder then raises its UnicodeEncodeError.
void append_encoded(OwnedStrings& out, PyObject* item) {
    char* const start = out.room(encoded_bound(item));
    char* p = start;
    if (encode_str(item, p)) {
        out.commit(static_cast<std::size_t>(p - start));
        return;
    }
    PyRef encoded(PyUnicode_AsUTF8String(item));  // raises UnicodeEncodeError
    if (!encoded) pending();
    out.push(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// Appends the UTF-8 form of one str item.
inline void append_str(OwnedStrings& out, PyObject* item) {
    if (!PyUnicode_Check(item)) cannot_convert(item, "PyString");
    if (PyUnicode_IS_COMPACT_ASCII(item)) {
        // A compact ASCII string is its own UTF-8 form, right after the header.
        const auto len = static_cast<std::size_t>(reinterpret_cast<PyASCIIObject*>(item)->length);
        std::memcpy(out.room(len), reinterpret_cast<PyASCIIObject*>(item) + 1, len);
        out.commit(len);
        return;
    }
    append_encoded(out, item);
}

[[noreturn]] void unsupported_format_or_pending(const std::string& format_problem);
OwnedStrings convert_str_items(PyObject* obj);

// Converts one sequence of str; throws PythonErrorPending with the error
// set (or ValueError for a malformed column read in place).
StringColumn convert_string_column(PyObject* obj, const ColumnContext& ctx) {
    StringColumn col;
    if (PyUnicode_Check(obj)) type_error("Can't extract `str` to `Vec`");
    std::string format_problem;
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
        try {
            if (read_string_column_in_place(obj, ctx, col)) return col;
        } catch (const UnsupportedArrowFormat& e) {
            if (!PySequence_Check(obj)) type_error(e.message);
            format_problem = e.message;
        }
    }
    try {
        if (ctx.missing) {
            // None items are missing values (an empty string in their place).
            OwnedStrings strings;
            strings.reserve_strings(sequence_hint(obj));
            std::size_t k = 0;
            for_each_item(obj, [&](PyObject* item) {
                if (item == Py_None) {
                    if (ctx.missing->empty()) ctx.missing->assign(k, 0);
                    ctx.missing->push_back(1);
                    strings.commit(0);
                } else {
                    if (!ctx.missing->empty()) ctx.missing->push_back(0);
                    append_str(strings, item);
                }
                ++k;
            });
            col.adopt(std::move(strings));
        } else {
            col.adopt(convert_str_items(obj));
        }
    } catch (const PythonErrorPending&) {
        unsupported_format_or_pending(format_problem);
    }
    return col;
}

// After an item path taken for an Arrow column of an unsupported format:
// a TypeError becomes the message naming the format.
[[noreturn]] void unsupported_format_or_pending(const std::string& format_problem) {
    if (!format_problem.empty() && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        type_error(format_problem);
    }
    pending();
}

// Copies n bytes (at most 16) without a call: two overlapping loads and
// stores of the widest size that fits, reading only [src, src + n).
inline void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// The items of an exact list or tuple, which no Python code can change
// while this runs (nothing here calls back into the interpreter except
// append_str's error paths, which end the loop). Bound by loading the str
// objects, so items well ahead are fetched early; exact compact ASCII str
// (their characters are their UTF-8 bytes) are copied inline, everything
// else goes through append_str.
void append_sequence_items(OwnedStrings& strings, PyObject* obj) {
    PyObject** items = PySequence_Fast_ITEMS(obj);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    strings.reserve_strings(static_cast<std::size_t>(n));
    // Room for the bytes at once, as the first items suggest (a quarter
    // more), so a long list is not copied again and again as it grows. The
    // guess is capped: a few long strings first must not reserve far more
    // than the list holds (past the cap the buffer grows as it fills).
    constexpr Py_ssize_t kSample = 64;
    constexpr std::size_t kReserveCap = std::size_t{1} << 26;
    std::size_t sampled = 0;
    for (Py_ssize_t k = 0; k < n && k < kSample; ++k)
        if (PyUnicode_Check(items[k])) sampled += static_cast<std::size_t>(PyUnicode_GET_LENGTH(items[k]));
    if (n > kSample) {
        const std::size_t per_item = (sampled * 5 / 4 + kSample - 1) / kSample;
        const std::size_t items_n = static_cast<std::size_t>(n);
        const std::size_t guess = per_item > (kReserveCap - 64) / items_n ? kReserveCap : per_item * items_n + 64;
        strings.reserve_bytes(guess);
    }
    constexpr Py_ssize_t kAhead = 16;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (k + kAhead < n) __builtin_prefetch(items[k + kAhead]);
        PyObject* item = items[k];
        if (Py_IS_TYPE(item, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(item)) {
            const auto len = static_cast<std::size_t>(reinterpret_cast<PyASCIIObject*>(item)->length);
            const char* src = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(item) + 1);
            if (len <= 16) {
                copy_short(strings.room(len), src, len);
                strings.commit(len);
            } else {
                strings.push(src, len);
            }
        } else {
            append_str(strings, item);
        }
    }
}

// Whether n bytes at a and b are the same; strings of at most 16 bytes are
// compared without a call (two overlapping words, reading only [0, n)).
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) {
        std::uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 8), std::memcpy(&a1, a + n - 8, 8);
        std::memcpy(&b0, b, 8), std::memcpy(&b1, b + n - 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (n >= 4) {
        std::uint32_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 4), std::memcpy(&a1, a + n - 4, 4);
        std::memcpy(&b0, b, 4), std::memcpy(&b1, b + n - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

OwnedStrings convert_str_items(PyObject* obj) {
    OwnedStrings strings;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        append_sequence_items(strings, obj);
    } else {
        strings.reserve_strings(sequence_hint(obj));
        for_each_item(obj, [&](PyObject* item) { append_str(strings, item); });
    }
    return strings;
}

double convert_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) pending();
    return v;
}

// ---- NumPy C interface, loaded once from the _ARRAY_API capsule ----------

using namespace numpy_abi;

void** g_numpy_api = nullptr;  // written once under the interpreter lock
int g_numpy_major = 0;

std::string describe_pending_error() {
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) return "no Python error was set";
    std::string out = type_qualname(exc.get());
    PyRef text(PyObject_Str(exc.get()));
    if (text) {
        const char* s = PyUnicode_AsUTF8(text.get());
        if (s && *s) out += std::string(": ") + s;
    }
    PyErr_Clear();
    return out;
}

}  // namespace

void** numpy_api() {
    if (g_numpy_api) return g_numpy_api;
    auto fail = []() -> void** {
        throw InternalFailure("Failed to access NumPy array API capsule: " + describe_pending_error());
    };
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return fail();
    PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return fail();
    PyRef lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return fail();
    PyRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return fail();
    PyRef major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return fail();
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return fail();
    PyRef multiarray(PyImport_ImportModule(major < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray"));
    if (!multiarray) return fail();
    PyRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return fail();
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return fail();
    }
    void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    if (!table) return fail();
    g_numpy_api = static_cast<void**>(table);
    g_numpy_major = static_cast<int>(major);
    return g_numpy_api;
}

void** numpy_api_if_imported() {
    if (g_numpy_api) return g_numpy_api;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* numpy = PyDict_GetItemString(modules, "numpy");  // borrowed; never raises
    if (!numpy) return nullptr;
    return numpy_api();
}

int numpy_major_version() { return g_numpy_major; }

std::string ColumnContext::prefix() const { return "argument '" + std::string(arg) + "': " + where(); }

std::string ColumnContext::where() const {
    return column < 0 ? std::string() : "column " + std::to_string(column) + ": ";
}

namespace {

PyTypeObject* np_array_type() { return static_cast<PyTypeObject*>(numpy_api()[kApiArrayType]); }

PyObject* np_descr_from_type(int type_num) {
    auto fn = reinterpret_cast<PyObject* (*)(int)>(numpy_api()[kApiDescrFromType]);
    return fn(type_num);
}

bool np_equiv_types(PyObject* a, PyObject* b) {
    auto fn = reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(numpy_api()[kApiEquivTypes]);
    return fn(a, b) != 0;
}

template <class T>
ArrayView<T> convert_array(const Args& args, std::size_t i, int ndim, int type_num) {
    PyObject* obj = args[i];
    PyTypeObject* array_type = np_array_type();
    bool ok = PyObject_TypeCheck(obj, array_type);
    auto* arr = reinterpret_cast<NpArrayObject*>(obj);
    if (ok) ok = arr->nd == ndim;
    if (ok) {
        PyRef want(np_descr_from_type(type_num));
        if (!want) conversion_failed(args, i);
        ok = arr->descr == want.get() || np_equiv_types(arr->descr, want.get());
    }
    if (!ok) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyArray<T, D>'", type_qualname(obj).c_str());
        conversion_failed(args, i);
    }
    ArrayView<T> v;
    v.owner = PyRef::borrow(obj);
    v.ndim = ndim;
    v.view.data = arr->data;
    v.view.rows = static_cast<std::size_t>(arr->dimensions[0]);
    v.view.rs = arr->strides[0];
    if (ndim == 2) {
        v.view.cols = static_cast<std::size_t>(arr->dimensions[1]);
        v.view.cs = arr->strides[1];
    }
    v.c_contiguous = (arr->flags & kFlagCContiguous) != 0;
    v.f_contiguous = (arr->flags & kFlagFContiguous) != 0;
    return v;
}

// ---- result array owner ----------------------------------------------------

struct SliceContainer {
    PyObject_HEAD
    void* values;
    std::size_t size;  // for drop
    void (*drop)(void*, std::size_t);
};

void drop_vector(void* v, std::size_t) { delete static_cast<std::vector<double>*>(v); }
void drop_i64_vector(void* v, std::size_t) { delete static_cast<std::vector<std::int64_t>*>(v); }
void drop_i64_new(void* v, std::size_t) { delete[] static_cast<std::int64_t*>(v); }
void drop_buffer(void* v, std::size_t size) { bulk_free(v, size); }

void slice_container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->values) c->drop(c->values, c->size);
    c->values = nullptr;
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the buffer behind a result array.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

PyObject* g_slice_container_type = nullptr;  // created once under the interpreter lock

}  // namespace

// ---- released section ------------------------------------------------------

namespace {

// Stops the calling thread for good: it waits, with every signal blocked,
// until the process exits.
[[noreturn]] void stop_this_thread() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) pause();
}

// Takes the interpreter lock back. A thread that CPython ends here during
// finalisation (see binding.hpp) could not unwind from the section's
// destructor or from the pool's hook, so the unwinding is caught right
// here and the thread stops instead: the process is about to exit, and
// nothing waits for this thread.
CORVANE_CATCHES_THREAD_EXIT void take_lock_back(PyThreadState* state) noexcept {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        stop_this_thread();
    }
#else
    PyEval_RestoreThread(state);
#endif
}

}  // namespace

// 3.13 moved the main-thread test out of the public headers; the function
// is still exported under the same name and signature.
#if PY_VERSION_HEX >= 0x030D0000
extern "C" int _PyOS_IsMainThread(void);
#endif

// Only the main thread runs signal handlers, so only it polls; other
// threads keep the lock released for the whole section.
ReleasedSection::ReleasedSection() noexcept : polls_(_PyOS_IsMainThread() != 0), state_(PyEval_SaveThread()) {
    if (!polls_) return;
    pool::get_wait_poll(outer_poll_, outer_ctx_);
    pool::set_wait_poll(&ReleasedSection::poll_signals, this);
}

ReleasedSection::~ReleasedSection() {
    if (polls_) pool::set_wait_poll(outer_poll_, outer_ctx_);
    take_lock_back(state_);
}

// Interrupt support: while its job runs, the main thread briefly takes the
// lock back to run pending signal handlers (the pool calls this with no
// compute slot held, so a handler may call the module again). A handler
// that raises cancels the job; its exception stays set.
bool ReleasedSection::poll_signals(void* self) noexcept {
    auto* section = static_cast<ReleasedSection*>(self);
    take_lock_back(section->state_);
    int rc = PyErr_CheckSignals();
    section->state_ = PyEval_SaveThread();
    return rc != 0;
}

// ---- binding ---------------------------------------------------------------

void bind_arguments(const FunctionDesc& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::vector<PyObject*>& slots) {
    const std::size_t nparams = desc.params.size();
    slots.assign(nparams, nullptr);
    if (static_cast<std::size_t>(nargs) > nparams) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", desc.name, nparams,
                     nargs, nargs == 1 ? "was" : "were");
        pending();
    }
    for (Py_ssize_t k = 0; k < nargs; ++k) slots[static_cast<std::size_t>(k)] = args[k];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t len = 0;
            const char* name = PyUnicode_AsUTF8AndSize(key, &len);
            if (!name) pending();
            std::string_view key_view(name, static_cast<std::size_t>(len));
            std::size_t match = nparams;
            for (std::size_t p = 0; p < nparams; ++p)
                if (key_view == desc.params[p]) {
                    match = p;
                    break;
                }
            if (match == nparams) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", desc.name, key);
                pending();
            }
            if (slots[match]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", desc.name, key);
                pending();
            }
            slots[match] = args[nargs + k];
        }
    }
    std::vector<const char*> missing;
    for (std::size_t p = 0; p < nparams; ++p)
        if (!slots[p]) missing.push_back(desc.params[p]);
    if (!missing.empty()) {
        std::string list;
        for (std::size_t m = 0; m < missing.size(); ++m) {
            if (m > 0) {
                if (missing.size() > 2) list += ",";
                list += m + 1 == missing.size() ? " and " : " ";
            }
            list.push_back('\'');
            list.append(missing[m]);
            list.push_back('\'');
        }
        type_error(std::string(desc.name) + "() missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
    }
}

// ---- argument kinds ----------------------------------------------------------

StringColumn to_string_column(const Args& args, std::size_t i) {
    try {
        return convert_string_column(args[i], ColumnContext{args.name(i)});
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

std::vector<StringColumn> to_string_table(const Args& args, std::size_t i, std::vector<StringColumn>* given) {
    try {
        std::vector<StringColumn> table;
        table.reserve(sequence_hint(args[i]));
        long column = 0;
        for_each_item(args[i], [&](PyObject* item) {
            const auto c = static_cast<std::size_t>(column);
            if (given && c < given->size() && !(*given)[c].empty())
                table.push_back(std::move((*given)[c])), ++column;
            else
                table.push_back(convert_string_column(item, ColumnContext{args.name(i), column++}));
        });
        return table;
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

namespace {

// True when a str of 2- or 4-byte units holds a surrogate (no UTF-8 form).
template <class Unit>
bool has_surrogate(const Unit* units, std::size_t n) noexcept {
    Unit any = 0;
    for (std::size_t k = 0; k < n; ++k) any |= static_cast<Unit>((units[k] & 0xFFFFF800u) == 0xD800u);
    return any != 0;
}

// Exact match of two exact str that are not both compact ASCII: 1 or 0,
// or -1 when either is not compact or has no UTF-8 form (a surrogate),
// which conversion must see. Equal UTF-8 means equal characters: the same
// units when both strings have units of one size, else a character-wise
// look (a str built with a wider unit than its characters need).
int match_other_strs(PyObject* x, PyObject* y) noexcept {
    if (!PyUnicode_IS_COMPACT(x) || !PyUnicode_IS_COMPACT(y)) return -1;
    const int kx = PyUnicode_KIND(x), ky = PyUnicode_KIND(y);
    const void* dx = PyUnicode_DATA(x);
    const void* dy = PyUnicode_DATA(y);
    const auto nx = static_cast<std::size_t>(PyUnicode_GET_LENGTH(x));
    const auto ny = static_cast<std::size_t>(PyUnicode_GET_LENGTH(y));
    auto unencodable = [](int kind, const void* d, std::size_t n) {
        return kind == PyUnicode_2BYTE_KIND   ? has_surrogate(static_cast<const Py_UCS2*>(d), n)
               : kind == PyUnicode_4BYTE_KIND ? has_surrogate(static_cast<const Py_UCS4*>(d), n)
                                              : false;
    };
    if (unencodable(kx, dx, nx) || unencodable(ky, dy, ny)) return -1;
    if (nx != ny) return 0;
    if (kx == ky) return std::memcmp(dx, dy, nx * static_cast<std::size_t>(kx)) == 0;
    for (std::size_t k = 0; k < nx; ++k)
        if (PyUnicode_READ(kx, dx, k) != PyUnicode_READ(ky, dy, k)) return 0;
    return 1;
}

}  // namespace

bool match_str_items(PyObject* left, PyObject* right, std::uint8_t* out) noexcept {
    PyObject** a = PySequence_Fast_ITEMS(left);
    PyObject** b = PySequence_Fast_ITEMS(right);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(left);
    constexpr Py_ssize_t kAhead = 16;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (k + kAhead < n) {
            __builtin_prefetch(a[k + kAhead]);
            __builtin_prefetch(b[k + kAhead]);
        }
        PyObject* x = a[k];
        PyObject* y = b[k];
        if (!Py_IS_TYPE(x, &PyUnicode_Type) || !Py_IS_TYPE(y, &PyUnicode_Type)) return false;
        if (PyUnicode_IS_COMPACT_ASCII(x) && PyUnicode_IS_COMPACT_ASCII(y)) {
            // Characters that are their own UTF-8 bytes, right after the header.
            const auto* s = reinterpret_cast<const PyASCIIObject*>(x);
            const auto* t = reinterpret_cast<const PyASCIIObject*>(y);
            out[k] = x == y || (s->length == t->length && same_bytes(reinterpret_cast<const char*>(s + 1),
                                                                     reinterpret_cast<const char*>(t + 1),
                                                                     static_cast<std::size_t>(s->length)));
            continue;
        }
        const int same = match_other_strs(x, y);
        if (same < 0) return false;
        out[k] = static_cast<std::uint8_t>(same);
    }
    return true;
}

namespace {

FloatColumn convert_float_column(PyObject* obj, const ColumnContext& ctx) {
    FloatColumn out;
    std::string format_problem;
    if (!PyUnicode_Check(obj) && !PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
        try {
            if (read_float_column_in_place(obj, ctx, out)) return out;
        } catch (const UnsupportedArrowFormat& e) {
            if (!PySequence_Check(obj)) type_error(e.message);
            format_problem = e.message;
        }
    }
    try {
        out.values.reserve(sequence_hint(obj));
        if (ctx.missing)
            for_each_item(obj, [&](PyObject* item) {
                out.values.push_back(item == Py_None ? std::numeric_limits<double>::quiet_NaN() : convert_float(item));
            });
        else
            for_each_item(obj, [&](PyObject* item) { out.values.push_back(convert_float(item)); });
    } catch (const PythonErrorPending&) {
        unsupported_format_or_pending(format_problem);
    }
    return out;
}

}  // namespace

FloatColumn to_float_column(const Args& args, std::size_t i) {
    try {
        return convert_float_column(args[i], ColumnContext{args.name(i)});
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

std::vector<PyRef> to_items(const Args& args, std::size_t i) {
    try {
        std::vector<PyRef> items;
        items.reserve(sequence_hint(args[i]));
        for_each_item(args[i], [&](PyObject* item) { items.push_back(PyRef::borrow(item)); });
        return items;
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

StringColumn to_string_item(const Args& args, std::size_t i, PyObject* item, long column,
                            std::vector<std::uint8_t>& missing) {
    try {
        return convert_string_column(item, ColumnContext{args.name(i), column, &missing});
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

FloatColumn to_float_item(const Args& args, std::size_t i, PyObject* item, long column) {
    std::vector<std::uint8_t> unused;
    try {
        return convert_float_column(item, ColumnContext{args.name(i), column, &unused});
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

NumberKeyColumn to_number_key_item(const Args& args, std::size_t i, PyObject* item, long column) {
    try {
        NumberKeyColumn out;
        const ColumnContext ctx{args.name(i), column};
        try {
            if (read_number_keys_in_place(item, ctx, out)) return out;
        } catch (const UnsupportedArrowFormat& e) {
            type_error(e.message);
        }
        type_error(ctx.where() + "expected an Arrow array of numbers, not '" + type_qualname(item) + "'");
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

double to_float(const Args& args, std::size_t i) {
    try {
        return convert_float(args[i]);
    } catch (const PythonErrorPending&) {
        conversion_failed(args, i);
    }
}

std::uint64_t to_count(const Args& args, std::size_t i) {
    PyObject* obj = args[i];
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef(PyNumber_Index(obj));
        if (!index) conversion_failed(args, i);
        obj = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) conversion_failed(args, i);
    return v;
}

ArrayView<double> to_f64_array(const Args& args, std::size_t i, int ndim) {
    return convert_array<double>(args, i, ndim, kNpyDouble);
}

ArrayView<std::int64_t> to_i64_array(const Args& args, std::size_t i) {
    return convert_array<std::int64_t>(args, i, 1, kNpyLong);
}

// ---- results -----------------------------------------------------------------

ScoreBuffer::ScoreBuffer(std::size_t n) {
    if (n > SIZE_MAX / sizeof(double) - 1) throw std::bad_alloc();
    size_ = n ? n * sizeof(double) : sizeof(double);
    p_ = static_cast<double*>(bulk_alloc(size_));
}

namespace {

// The float objects of one result list, by value: scores repeat (a
// similarity of short strings takes only a few thousand values), and a
// float is immutable, so items of equal bits share one object. That saves
// an allocation per item here, a free per item when the list goes, and the
// memory between. Direct-mapped by the bits (so 0.0 and -0.0, and NaNs of
// different payloads, stay apart); an entry holds a reference until the
// table goes, with the interpreter lock held as the whole result step is.
class FloatCache {
public:
    // Room for up to 4096 values, fewer for a short list (on the heap: the
    // caller's thread may have a small stack).
    explicit FloatCache(std::size_t n) {
        while (bits_ < 12 && (std::size_t{1} << bits_) < n) ++bits_;
        entries_.reset(new Entry[std::size_t{1} << bits_]);
    }
    FloatCache(const FloatCache&) = delete;
    FloatCache& operator=(const FloatCache&) = delete;
    ~FloatCache() {
        for (std::size_t k = 0; k < (std::size_t{1} << bits_); ++k) Py_XDECREF(entries_[k].obj);
    }

    // A new reference to a float of exactly these bits; nullptr with the
    // error set when a float cannot be made.
    PyObject* get(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        Entry& e = entries_[(bits * 0x9E3779B97F4A7C15ULL) >> (64 - bits_)];
        if (e.obj != nullptr && e.bits == bits) {
            ++hits_;
            Py_INCREF(e.obj);
            return e.obj;
        }
        PyObject* f = PyFloat_FromDouble(v);
        if (f == nullptr) return nullptr;
        Py_INCREF(f);
        Py_XDECREF(e.obj);
        e = Entry{bits, f};
        return f;
    }

    std::size_t hits() const noexcept { return hits_; }

private:
    struct Entry {
        std::uint64_t bits = 0;
        PyObject* obj = nullptr;
    };
    int bits_ = 4;
    std::unique_ptr<Entry[]> entries_;
    std::size_t hits_ = 0;
};

}  // namespace

PyObject* result_list(const double* values, std::size_t n) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) pending();
    // Values that seldom repeat (distances between measurements) skip the
    // table once its first items show it rarely finds one.
    constexpr std::size_t kTrial = 4096;
    std::size_t k = 0;
    {
        FloatCache cache(n);
        for (; k < n; ++k) {
            if (k == kTrial && cache.hits() < kTrial / 4) break;
            PyObject* f = cache.get(values[k]);
            if (!f) pending();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), f);
        }
    }
    for (; k < n; ++k) {
        PyObject* f = PyFloat_FromDouble(values[k]);
        if (!f) pending();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), f);
    }
    return list.release();
}

PyObject* result_list(std::vector<double>&& values) {
    std::vector<double> owned = std::move(values);
    return result_list(owned.data(), owned.size());
}

namespace {

// A float64 array over data, owned by a new container that frees it with
// drop (which the container owns from the start, on failure too).
PyObject* array_over(void* owned, std::size_t size, void (*drop)(void*, std::size_t), void* data, int type_num, int nd,
                     const Py_ssize_t* dims, const Py_ssize_t* strides) {
    if (!g_slice_container_type) {
        g_slice_container_type = PyType_FromSpec(&slice_container_spec);
        if (!g_slice_container_type) {
            drop(owned, size);
            throw InternalFailure("Failed to create slice container: " + describe_pending_error());
        }
    }
    auto* container = PyObject_New(SliceContainer, reinterpret_cast<PyTypeObject*>(g_slice_container_type));
    if (!container) {
        drop(owned, size);
        throw InternalFailure("Failed to create slice container: " + describe_pending_error());
    }
    container->values = owned;
    container->size = size;
    container->drop = drop;
    PyRef owner(reinterpret_cast<PyObject*>(container));
    void** api = numpy_api();
    using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*,
                                       int, PyObject*);
    using SetBase = int (*)(PyObject*, PyObject*);
    PyObject* descr = np_descr_from_type(type_num);
    if (!descr) pending();
    // NewFromDescr steals the descriptor reference.
    PyRef array(reinterpret_cast<NewFromDescr>(api[kApiNewFromDescr])(
        np_array_type(), descr, nd, dims, strides, data, kFlagWriteable, nullptr));
    if (!array) throw InternalFailure("Failed to create result array: " + describe_pending_error());
    // SetBaseObject steals the owner reference, on failure too.
    if (reinterpret_cast<SetBase>(api[kApiSetBaseObject])(array.get(), owner.release()) < 0)
        throw InternalFailure("Failed to set result array base: " + describe_pending_error());
    return array.release();
}

}  // namespace

PyObject* result_flags(const double* values, std::size_t n) {
    // Two float objects for the whole list: items are immutable, so sharing
    // them is invisible except in the memory it saves.
    PyRef zero(PyFloat_FromDouble(0.0)), one(PyFloat_FromDouble(1.0));
    if (!zero || !one) pending();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) pending();
    PyObject* const shared[2] = {zero.get(), one.get()};
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* f = shared[values[k] != 0.0];
        Py_INCREF(f);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), f);
    }
    return list.release();
}

PyObject* result_flags(std::vector<double>&& values) {
    std::vector<double> owned = std::move(values);
    return result_flags(owned.data(), owned.size());
}

PyObject* result_array(std::vector<double>&& values) {
    auto* owner_vec = new std::vector<double>(std::move(values));
    if (owner_vec->data() == nullptr) owner_vec->reserve(1);  // NumPy must not allocate its own buffer
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(owner_vec->size())};
    Py_ssize_t strides[1] = {sizeof(double)};
    return array_over(owner_vec, 0, drop_vector, owner_vec->data(), kNpyDouble, 1, dims, strides);
}

PyObject* result_array(ScoreBuffer&& values, std::size_t n) {
    ScoreBuffer owned = std::move(values);
    const std::size_t size = owned.size();
    double* data = owned.data();
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
    Py_ssize_t strides[1] = {sizeof(double)};
    return array_over(owned.release(), size, drop_buffer, data, kNpyDouble, 1, dims, strides);
}

PyObject* result_matrix(ScoreBuffer&& values, std::size_t rows, std::size_t cols) {
    ScoreBuffer owned = std::move(values);
    const std::size_t size = owned.size();
    double* data = owned.data();
    Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(cols * sizeof(double)), sizeof(double)};
    return array_over(owned.release(), size, drop_buffer, data, kNpyDouble, 2, dims, strides);
}

PyObject* result_i64_array(std::vector<std::int64_t>&& values) {
    auto* owner_vec = new std::vector<std::int64_t>(std::move(values));
    if (owner_vec->data() == nullptr) owner_vec->reserve(1);  // NumPy must not allocate its own buffer
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(owner_vec->size())};
    Py_ssize_t strides[1] = {sizeof(std::int64_t)};
    return array_over(owner_vec, 0, drop_i64_vector, owner_vec->data(), kNpyLong, 1, dims, strides);}

PyObject* result_u8_matrix(std::vector<std::uint8_t>&& values, std::size_t rows, std::size_t cols) {
    constexpr int kNpyUByte = 2;
    auto* owner_vec = new std::vector<std::uint8_t>(std::move(values));
    if (owner_vec->data() == nullptr) owner_vec->reserve(1);  // NumPy must not allocate its own buffer
    Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(cols), 1};
    const auto drop = [](void* v, std::size_t) { delete static_cast<std::vector<std::uint8_t>*>(v); };
    return array_over(owner_vec, 0, drop, owner_vec->data(), kNpyUByte, 2, dims, strides);
}

PyObject* result_i64_array(std::unique_ptr<std::int64_t[]>&& values, std::size_t n) {
    if (!values) values.reset(new std::int64_t[1]);  // NumPy must not allocate its own buffer
    std::int64_t* data = values.get();
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
    Py_ssize_t strides[1] = {sizeof(std::int64_t)};
    return array_over(values.release(), 0, drop_i64_new, data, kNpyLong, 1, dims, strides);
}

PyObject* result_i64_array(BulkBuffer<std::int64_t>&& values, std::size_t n) {
    BulkBuffer<std::int64_t> owned = std::move(values);
    if (!owned) owned.grow(1, 0);  // NumPy must not allocate its own buffer
    const std::size_t size = owned.bytes();
    std::int64_t* data = owned.get();
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
    Py_ssize_t strides[1] = {sizeof(std::int64_t)};
    return array_over(owned.release(), size, drop_buffer, data, kNpyLong, 1, dims, strides);
}

}  // namespace corvane
