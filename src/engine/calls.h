// Checked wrappers over the interpreter calls that the walks make, so that the walks read as
// the algorithm. Each returns an owned result or ends in a Failure; absorbed errors are named.
// A wrapper that can run Python code says so to the walk.
#pragma once

#include "engine/engine.h"

#include <optional>

namespace corvane {

// The mapping, sequence and iterator tests: flags first, then the collections.abc classes.
bool is_mapping(Walk& walk, PyObject* x);
bool is_sequence(Walk& walk, PyObject* x);
bool is_iterator(Walk& walk, PyObject* x);

// Keys whose hashing and equality are the interpreter's own: looking them up runs no Python.
inline bool is_plain_key(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

// A list or tuple itself, read directly: walking it through its iterator runs no Python code.
inline bool is_plain_sequence(PyObject* x) { return PyList_CheckExact(x) || PyTuple_CheckExact(x); }

inline Ref mapping_items(Walk& walk, PyObject* mapping) {
    walk.may_run_python();
    return check(PyMapping_Items(mapping));
}

inline Ref get_iter(Walk& walk, PyObject* obj) {
    walk.may_run_python();
    return check(PyObject_GetIter(obj));
}

// The next item of an iterator, or nothing at its end.
inline std::optional<Ref> next_item(Walk& walk, PyObject* iter) {
    walk.may_run_python();
    PyObject* item = nullptr;
    int r = PyIter_NextItem(iter, &item);
    if (r < 0) {
        fail_with_pending();
    }
    if (r == 0) {
        return std::nullopt;
    }
    return Ref::steal(item);
}

// mapping[key], or nothing when the lookup raises: any exception there means a missing key,
// except running out of stack, which ends the walk rather than report a false removal.
// An exact dict is asked without making a KeyError for every missing key.
inline Ref lookup_or_missing(Walk& walk, PyObject* mapping, PyObject* key, bool runs_no_python) {
    if (!runs_no_python) {
        walk.may_run_python();
    }
    PyObject* value = nullptr;
    int found = PyDict_CheckExact(mapping) ? PyDict_GetItemRef(mapping, key, &value)
                                            : ((value = PyObject_GetItem(mapping, key)) ? 1 : -1);
    if (found < 0) {
        if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
            fail_with_pending();
        }
        take_exception_or_resume();
    }
    return Ref::steal(value);
}

inline bool contains(Walk& walk, PyObject* container, PyObject* key, bool runs_no_python) {
    if (!runs_no_python) {
        walk.may_run_python();
    }
    int r = PyDict_CheckExact(container) ? PyDict_Contains(container, key)
                                         : PySequence_Contains(container, key);
    if (r < 0) {
        fail_with_pending();
    }
    return r == 1;
}

// The iterator's length hint; a failing hint is reported as unraisable and counts as 0.
inline size_t length_hint_or_zero(Walk& walk, PyObject* iter) {
    walk.may_run_python();
    Py_ssize_t hint = PyObject_LengthHint(iter, 0);
    if (hint < 0) {
        report_unraisable(iter);
        return 0;
    }
    return static_cast<size_t>(hint);
}

// Lets Ctrl-C end a long drain: a signal handler that raises ends the walk.
inline void check_signals(Walk& walk) {
    walk.may_run_python();
    if (PyErr_CheckSignals() < 0) {
        fail_with_pending();
    }
}

// Holds one level of the interpreter's recursion check for the walk below it.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while comparing nested objects") != 0) {
            fail_with_pending();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

// Releases the element stack above the point where the scope began.
class StackScope {
public:
    explicit StackScope(ElementStack& stack) noexcept : stack_(stack), start_(stack.size()) {}
    StackScope(const StackScope&) = delete;
    StackScope& operator=(const StackScope&) = delete;
    ~StackScope() { stack_.release_from(start_); }

    size_t start() const noexcept { return start_; }

private:
    ElementStack& stack_;
    size_t start_;
};

}  // namespace corvane
