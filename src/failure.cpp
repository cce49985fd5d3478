// The internal-failure channel: describing a Python exception, passing on a PanicException
// met inside a comparison, and the process-wide PanicException class. All of it is cold code.
#include "boundary.h"

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

Ref text_or(PyObject* text, const char* fallback) {
    if (text != nullptr) {
        return Ref::steal(text);
    }
    discard_error();
    return Ref::steal(PyUnicode_FromString(fallback));
}

// Each step below gives up at the first failure to make a text at all (no memory), with its
// error pending: no interpreter call is made while an error is pending.
Ref format_traceback(PyObject* exc) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb || tb.get() == Py_None) {
        return Ref::steal(PyUnicode_FromString("none"));
    }
    Ref module = Ref::steal(PyImport_ImportModule("traceback"));
    Ref lines = module ? Ref::steal(PyObject_CallMethod(module.get(), "format_tb", "O", tb.get())) : Ref();
    Ref empty = lines ? Ref::steal(PyUnicode_FromString("")) : Ref();
    Ref joined = empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
    if (!joined) {
        return text_or(nullptr, "<traceback unavailable>");
    }
    return Ref::steal(PyUnicode_FromFormat("\n%U", joined.get()));
}

// The message of a failure that an exception caused: its type, value and traceback.
Ref describe(PyObject* exc) {
    Ref type = text_or(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(exc))), "<unknown type>");
    Ref value = type ? text_or(PyObject_Repr(exc), "<repr failed>") : Ref();
    Ref traceback = value ? format_traceback(exc) : Ref();
    if (!traceback) {
        return Ref();
    }
    return Ref::steal(PyUnicode_FromFormat("%s: type: %U, value: %U, traceback: %U", kCausedBy, type.get(),
                                           value.get(), traceback.get()));
}

bool is_panic(PyObject* exc) {
    PyObject* panic = g_panic_type.load(std::memory_order_acquire);
    return panic != nullptr && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(panic));
}

// A PanicException raised inside the comparison: print it, and return its message.
Ref pass_on(PyObject* exc) {
    Ref message = text_or(PyObject_Str(exc), kUnprintable);
    if (!message) {
        return message;
    }
    PySys_WriteStderr("corvane: a PanicException was raised inside the comparison; passing it on\n");
    PySys_WriteStderr("corvane: the PanicException and its traceback follow\n");
    PyErr_SetRaisedException(Py_NewRef(exc));
    PyErr_PrintEx(0);
    return message;
}

// The message that the raised PanicException carries; the diagnostic written on the way.
Ref panic_message(const Failure& failure) {
    if (failure.passed_on) {
        return pass_on(failure.exception.get());
    }
    Ref message = failure.exception
                      ? describe(failure.exception.get())
                      : Ref::steal(PyUnicode_DecodeUTF8(failure.message.data(),
                                                        static_cast<Py_ssize_t>(failure.message.size()), "replace"));
    if (message) {
        PySys_FormatStderr("corvane: internal failure, raising PanicException: %U\n", message.get());
    }
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

void discard_error() noexcept { Ref::steal(PyErr_GetRaisedException()).reset(); }

void fail(std::string message) { throw Failure(std::move(message)); }

Ref take_absorbable_exception() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        return exc;
    }
    if (is_panic(exc.get())) {
        throw Failure(std::move(exc), true);
    }
    // A Ctrl-C or an exit, and memory running out, are no answer of the call that met them.
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception) ||
        PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError)) {
        throw Failure(std::move(exc), false);
    }
    return exc;
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
    } catch (...) {  // MakeFailed, or the guard itself failing: no class, its error pending
    }
    PyEval_RestoreThread(state);
    return g_panic_type.load(std::memory_order_acquire);
}

// Nothing here allocates outside the interpreter's own objects, whose failures leave
// MemoryError pending instead.
void raise_panic(const Failure& failure) noexcept {
    Ref message = panic_message(failure);
    if (!message) {
        return;  // its error (as a rule MemoryError) is pending
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the class could not be made; its error is pending
    }
    PyErr_SetObject(type, message.get());
}

}  // namespace corvane
