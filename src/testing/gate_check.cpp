// Debug and sanitizer builds only (CORVANE_GATE_CHECKS): the run-time checks of the walk's
// gate. A sys.monitoring tool sees every Python function start or resume, and a reference
// tracer every object destroyed; either, while a walk borrows outside its gate, stops the
// process with a message naming what happened.
#include "gate_check.h"

#include "ref.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace corvane::gate_check {
namespace {

thread_local const Borrowing* t_walk = nullptr;

bool borrowing_outside_gate() noexcept {
    const Borrowing* walk = t_walk;
    return walk != nullptr && *walk->innermost != nullptr && std::uncaught_exceptions() <= walk->uncaught_at_start;
}

[[noreturn]] void stop(const char* what, PyObject* obj) noexcept {
    std::fprintf(stderr, "corvane gate check: %s (object of type %s)\n", what,
                 obj != nullptr ? Py_TYPE(obj)->tp_name : "-");
    std::fflush(stderr);
    std::abort();
}

// The monitoring callback: (code, instruction offset) for PY_START, PY_RESUME and PY_THROW.
PyObject* on_python_code(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (borrowing_outside_gate()) {
        stop("Python code started while a view borrows outside the gate", nargs > 0 ? args[0] : nullptr);
    }
    Py_RETURN_NONE;
}

PyMethodDef g_callback = {"corvane_gate_check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_python_code)),
                          METH_FASTCALL, nullptr};

// The reference tracer, chained to the one installed before it.
PyRefTracer g_previous = nullptr;
void* g_previous_data = nullptr;

int on_reference_event(PyObject* obj, PyRefTracerEvent event, void* data) {
    if (event == PyRefTracer_DESTROY && !quiet_by_type(obj) && borrowing_outside_gate()) {
        stop("an object that could run Python code was destroyed while a view borrows outside the gate", obj);
    }
    return g_previous != nullptr ? g_previous(obj, event, g_previous_data) : (static_cast<void>(data), 0);
}

}  // namespace

void require(bool holds, const char* what) noexcept {
    if (!holds) {
        stop(what, nullptr);
    }
}

Scope::Scope(const Borrowing* walk) noexcept : outer_(t_walk) { t_walk = walk; }
Scope::~Scope() { t_walk = outer_; }

// By type, whatever the count: a release that happens not to be the last one today is the same
// code as one that is, and the walk's releases that may be last go through Walk::release.
void on_release(PyObject* obj) noexcept {
    if (!quiet_by_type(obj) && borrowing_outside_gate()) {
        stop("a reference that could run Python code was released outside the gate while a view borrows", obj);
    }
}

namespace {

// sys.monitoring.<method>(*args), checked.
bool call(PyObject* monitoring, const char* method, const char* format, long tool, PyObject* arg) {
    Ref done = Ref::steal(PyObject_CallMethod(monitoring, method, format, tool, arg));
    return static_cast<bool>(done);
}

}  // namespace

int install() noexcept {
    static bool installed = false;
    if (installed) {
        return 0;
    }
    PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
    if (monitoring == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "corvane gate check: sys.monitoring is missing");
        return -1;
    }
    Ref callback = Ref::steal(PyCFunction_New(&g_callback, nullptr));
    Ref events = Ref::steal(PyObject_GetAttrString(monitoring, "events"));
    Ref name = Ref::steal(PyUnicode_FromString("corvane gate check"));
    if (!callback || !events || !name || !call(monitoring, "use_tool_id", "lO", kOwnTool, name.get())) {
        return -1;
    }
    long mask = 0;
    for (const char* event_name : {"PY_START", "PY_RESUME", "PY_THROW"}) {
        Ref event = Ref::steal(PyObject_GetAttrString(events.get(), event_name));
        Ref registered = event ? Ref::steal(PyObject_CallMethod(monitoring, "register_callback", "lOO", long{kOwnTool},
                                                                 event.get(), callback.get()))
                               : Ref();
        if (!registered) {
            return -1;
        }
        mask |= PyLong_AsLong(event.get());
    }
    Ref mask_obj = Ref::steal(PyLong_FromLong(mask));
    if (!mask_obj || !call(monitoring, "set_events", "lO", kOwnTool, mask_obj.get())) {
        return -1;
    }
    g_previous = PyRefTracer_GetTracer(&g_previous_data);
    if (PyRefTracer_SetTracer(on_reference_event, nullptr) < 0) {
        return -1;
    }
    installed = true;
    return 0;
}

}  // namespace corvane::gate_check
