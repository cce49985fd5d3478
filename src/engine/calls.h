// Checked wrappers over the interpreter calls that the walks make, so that the walks read as
// the algorithm. Each returns an owned result or ends in a Failure; absorbed errors are named.
#pragma once

#include "ref.h"

#include <optional>

namespace corvane {

// The cached classes of collections.abc, imported on first need.
bool is_mapping(PyObject* x);
bool is_sequence(PyObject* x);
bool is_iterator(PyObject* x);

inline Ref mapping_items(PyObject* mapping) { return check(PyMapping_Items(mapping)); }

inline Ref get_iter(PyObject* obj) { return check(PyObject_GetIter(obj)); }

// The next item of an iterator, or nothing at its end.
inline std::optional<Ref> next_item(PyObject* iter) {
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

// mapping[key], or nothing when the lookup raises: any exception there means a missing key.
inline Ref lookup_or_missing(PyObject* mapping, PyObject* key) {
    Ref value = Ref::steal(PyObject_GetItem(mapping, key));
    if (!value) {
        take_exception_or_resume();
    }
    return value;
}

inline bool contains(PyObject* container, PyObject* key) {
    int r = PySequence_Contains(container, key);
    if (r < 0) {
        fail_with_pending();
    }
    return r == 1;
}

// The iterator's length hint; a failing hint is reported as unraisable and counts as 0.
inline size_t length_hint_or_zero(PyObject* iter) {
    Py_ssize_t hint = PyObject_LengthHint(iter, 0);
    if (hint < 0) {
        report_unraisable(iter);
        return 0;
    }
    return static_cast<size_t>(hint);
}

// Lets Ctrl-C end a long drain: a pending signal handler that raises is a failure.
inline void check_signals() {
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

}  // namespace corvane
