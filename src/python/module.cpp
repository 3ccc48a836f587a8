// Module definition: PyInit__corvane_rs, the entry wrapper every function
// goes through, and the PanicException that internal failures become.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <sstream>
#include <string>
#include <thread>

#include "python/registry.hpp"
#include "similarity/simd_level.hpp"

namespace corvane {

namespace {

const char* const kPanicDoc =
    "\n"
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_type = nullptr;  // created once, under the interpreter lock

PyObject* panic_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (!g_panic_type) Py_FatalError("Failed to initialize new exception type.");
    }
    return g_panic_type;
}

void report_failure(const char* message, const std::source_location* where) {
    std::ostringstream thread;
    thread << std::this_thread::get_id();
    if (where)
        std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", thread.str().c_str(), where->file_name(),
                     static_cast<unsigned>(where->line()), static_cast<unsigned>(where->column()), message);
    else
        std::fprintf(stderr, "thread '%s' panicked:\n%s\n", thread.str().c_str(), message);
    std::fflush(stderr);
}

// Sets PanicException(message) as the current exception.
CORVANE_CATCHES_THREAD_EXIT void raise_panic(const char* message, const std::source_location* where) {
    try {
        report_failure(message, where);
        PyObject* type = panic_type();
        PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
        if (!text) return;  // MemoryError is set instead
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    CORVANE_LET_THREAD_EXIT_PASS
    catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvane_rs",  // m_name
    "",             // m_doc: an empty string, not None
    0,              // m_size
    nullptr,        // m_methods: attached after creation
    nullptr,        // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;  // set once under the interpreter lock, never cleared

// Creates the module and attaches the functions; returns NULL with an
// error set on failure.
PyObject* create_module() {
    PyRef module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    PyRef module_name(PyUnicode_FromString(g_module_def.m_name));
    if (!module_name) return nullptr;
    std::size_t count = 0;
    PyMethodDef* table = function_table(count);
    for (std::size_t k = 0; k < count; ++k) {
        PyRef fn(PyCMethod_New(&table[k], module.get(), module_name.get(), nullptr));
        if (!fn) return nullptr;
        PyRef name(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!name) return nullptr;
        if (!PyUnicode_Check(name.get())) {
            PyRef tname(PyType_GetQualName(Py_TYPE(name.get())));
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", tname.get());
            return nullptr;
        }
        PyRef all(PyObject_GetAttrString(module.get(), "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            all = PyRef(PyList_New(0));
            if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
        }
        if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            raise_panic("could not append __name__ to __all__", nullptr);
            return nullptr;
        }
        if (PyObject_SetAttr(module.get(), name.get(), fn.get()) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace

CORVANE_CATCHES_THREAD_EXIT PyObject* call_body(const FunctionEntry& entry, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    try {
        std::vector<PyObject*> slots;
        bind_arguments(entry.desc, args, nargs, kwnames, slots);
        return entry.body(Args(entry.desc, slots.data()));
    } catch (const PythonErrorPending&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const ValueError& e) {
        const std::string& text = e.message();
        PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& e) {
        raise_panic(e.what(), &e.where());
    } catch (const std::exception& e) {
        raise_panic(e.what(), nullptr);
    }
    CORVANE_LET_THREAD_EXIT_PASS
    catch (...) {
        raise_panic("native code failed with an unknown exception", nullptr);
    }
    return nullptr;
}

}  // namespace corvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__corvane_rs() {
    using namespace corvane;
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_corvane_rs does not yet support subinterpreters, "
                        "see https://github.com/python/cpython/issues");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    // CORVANE_SIMD is read here, with the interpreter lock held, so no
    // os.environ change from another thread can race with getenv.
    similarity::simd_level();
    PyObject* module = create_module();
    if (!module) return nullptr;
    g_module = Py_NewRef(module);
    return module;
}
