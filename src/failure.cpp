// The internal-failure channel: describing a Python exception, passing on a PanicException
// met inside a comparison, and the process-wide PanicException class. All of it is cold code.
#include "ref.h"

#include <atomic>
#include <mutex>

namespace corvane {
namespace {

constexpr const char* kPanicName = "corvane_panic.PanicException";
constexpr const char* kPanicDoc =
    "Raised when corvane's native code meets an internal failure.\n"
    "\n"
    "It derives from BaseException, as SystemExit does, and not from Exception,\n"
    "so an ordinary `except Exception` clause does not catch it: left alone it\n"
    "travels all the way up the stack and ends the interpreter.";
constexpr const char* kCausedBy = "the comparison was abandoned because a Python call failed";
constexpr const char* kNoException = "an interpreter call failed without setting an exception";
constexpr const char* kUnprintable = "<PanicException whose message cannot be read>";

std::atomic<PyObject*> g_panic_type{nullptr};
std::once_flag g_panic_once;

struct MakeFailed {};

// UTF-8 text of a str; characters UTF-8 cannot carry are written as escapes.
std::string utf8_text(PyObject* str) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

// repr() or str() of an object as text, or `fallback` if that raises.
std::string text_of(PyObject* obj, bool use_repr, const char* fallback) {
    Ref text = Ref::steal(use_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
    if (!text) {
        PyErr_Clear();
        return fallback;
    }
    return utf8_text(text.get());
}

std::string format_traceback(PyObject* exc) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb || tb.get() == Py_None) {
        return "none";
    }
    Ref module = Ref::steal(PyImport_ImportModule("traceback"));
    Ref lines = module ? Ref::steal(PyObject_CallMethod(module.get(), "format_tb", "O", tb.get()))
                       : Ref();
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref joined = (lines && empty) ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
    if (!joined) {
        PyErr_Clear();
        return "<traceback unavailable>";
    }
    return "\n" + utf8_text(joined.get());
}

std::string describe(PyObject* exc) {
    std::string text = kCausedBy;
    text += ": type: " + text_of(reinterpret_cast<PyObject*>(Py_TYPE(exc)), true, "<unknown type>");
    text += ", value: " + text_of(exc, true, "<repr failed>");
    text += ", traceback: " + format_traceback(exc);
    return text;
}

bool is_panic(PyObject* exc) {
    PyObject* panic = g_panic_type.load(std::memory_order_acquire);
    return panic != nullptr && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(panic));
}

// A PanicException raised inside the comparison: print it, and return its message.
std::string pass_on(PyObject* exc) {
    std::string message = text_of(exc, false, kUnprintable);
    PySys_WriteStderr("corvane: a PanicException was raised inside the comparison; passing it on\n");
    PySys_WriteStderr("corvane: the PanicException and its traceback follow\n");
    PyErr_SetRaisedException(Py_NewRef(exc));
    PyErr_PrintEx(0);
    return message;
}

}  // namespace

void fail_with_pending() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        throw Failure(kNoException);
    }
    bool panic = is_panic(exc.get());
    throw Failure(std::move(exc), panic);
}

void fail(std::string message) { throw Failure(std::move(message)); }

Ref take_exception_or_resume() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (exc && is_panic(exc.get())) {
        throw Failure(std::move(exc), true);
    }
    return exc;
}

void report_unraisable(PyObject* obj) {
    Ref exc = take_exception_or_resume();
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(obj);
}

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) {
        return type;
    }
    // Wait for the guard detached from the interpreter; the maker attaches to build it.
    PyThreadState* state = PyEval_SaveThread();
    try {
        std::call_once(g_panic_once, [state] {
            PyEval_RestoreThread(state);
            PyObject* type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException,
                                                       nullptr);
            g_panic_type.store(type, std::memory_order_release);
            PyEval_SaveThread();
            if (type == nullptr) {
                throw MakeFailed{};  // leaves the guard open for a later attempt
            }
        });
    } catch (const MakeFailed&) {
    }
    PyEval_RestoreThread(state);
    return g_panic_type.load(std::memory_order_acquire);
}

void raise_panic(const Failure& failure) noexcept {
    std::string message;
    if (failure.passed_on) {
        message = pass_on(failure.exception.get());
    } else {
        message = failure.exception ? describe(failure.exception.get()) : failure.message;
        PySys_FormatStderr("corvane: internal failure, raising PanicException: %s\n", message.c_str());
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the class could not be made; its error is pending
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

}  // namespace corvane
