// Run-time checks of the walk's gate, built into the debug and sanitizer builds only
// (CORVANE_GATE_CHECKS): they stop the process the moment Python code starts, or an object
// that could run Python code is released, while a walk borrows outside its gate.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane {
class LazyView;
}

namespace corvane::gate_check {

// What a walk tells the checks: where it keeps its innermost unpinned view (null when nothing
// borrows, as inside the gate), and the exceptions in flight when it began (one more: its own
// failure unwinds, and what it releases then is never read again).
struct Borrowing {
    LazyView* const* innermost;
    int uncaught_at_start;
};

// Whether releasing `obj` can run no Python code by its type alone: a built-in type without a
// finalizer (its contents, released in turn, are checked on their own).
inline bool quiet_by_type(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_finalize == nullptr && type->tp_del == nullptr;
}

#ifdef CORVANE_GATE_CHECKS

// The sys.monitoring tool through which the checks see Python code start; the walk's reading of
// the abstract classes' caches disregards it (any other tool stops that reading).
constexpr int kOwnTool = 5;
constexpr unsigned kOwnToolMask = 1u << kOwnTool;

// Stops the process with `what` when `holds` is false.
void require(bool holds, const char* what) noexcept;

// The walk now running on this thread, if any: installed for its lifetime, nested walks stacked.
class Scope {
public:
    explicit Scope(const Borrowing* walk) noexcept;
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    const Borrowing* outer_;
};

// A plain release of one reference (Ref::reset): an object that could run Python code may not
// be released so while a walk borrows outside its gate, whatever its reference count.
void on_release(PyObject* obj) noexcept;

// Installs the interpreter hooks of the checks (Python code starting, objects destroyed); made
// by the module's exec step. 0, or -1 with an exception set.
int install() noexcept;

#else

constexpr unsigned kOwnToolMask = 0;
inline void require(bool, const char*) noexcept {}
class Scope {
public:
    explicit Scope(const Borrowing*) noexcept {}
};
inline void on_release(PyObject*) noexcept {}
inline int install() noexcept { return 0; }

#endif

}  // namespace corvane::gate_check
