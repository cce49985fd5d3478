// The interpreter calls of the walks that may run Python code, each made through the walk's
// gate and checked: an owned result or a Failure. The errors that the rules absorb are taken
// by the named helpers here, never by a stray PyErr_Clear().
#pragma once

#include "engine/walk.h"

#include <optional>

namespace corvane {

// Whether the pending exception is a RecursionError raised because this thread's stack is
// nearly used up (the walk's own depth), rather than one that Python code raised at a depth
// that has nothing to do with it. Only the first ends the walk where the rules absorb errors.
bool stack_exhausted();

// Discards the pending exception on purpose (through the gate: releasing it can run its
// finalizers), except an exact PanicException, which resumes its internal failure.
void discard_exception(Walk& walk);

// Reports the pending exception through the unraisable hook with `obj` as the object.
void report_unraisable(Walk& walk, PyObject* obj);

inline Held mapping_items(Walk& walk, Operand mapping) {
    return Held(walk, walk.python([&] { return check(PyMapping_Items(mapping.get())); }));
}

inline Held get_iter(Walk& walk, Operand obj) {
    return Held(walk, walk.python([&] { return check(PyObject_GetIter(obj.get())); }));
}

// The next item of an iterator, or nothing at its end.
inline std::optional<Ref> next_item(Walk& walk, PyObject* iter) {
    PyObject* item = nullptr;
    int r = walk.python([&] { return PyIter_NextItem(iter, &item); });
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
inline std::optional<Held> lookup_or_missing(Walk& walk, Operand mapping, Operand key) {
    PyObject* value = nullptr;
    int found = walk.python([&] {
        PyObject* m = mapping.get();
        if (PyDict_CheckExact(m)) {
            return PyDict_GetItemRef(m, key.get(), &value);
        }
        value = PyObject_GetItem(m, key.get());
        return value != nullptr ? 1 : -1;
    });
    if (found > 0) {
        return Held(walk, Ref::steal(value));
    }
    if (found < 0) {
        if (stack_exhausted()) {
            fail_with_pending();
        }
        discard_exception(walk);
    }
    return std::nullopt;
}

// `key in container`; a failing test is an internal failure.
inline bool contains(Walk& walk, Operand container, Operand key) {
    int r = walk.python([&] {
        PyObject* c = container.get();
        return PyDict_CheckExact(c) ? PyDict_Contains(c, key.get()) : PySequence_Contains(c, key.get());
    });
    if (r < 0) {
        fail_with_pending();
    }
    return r == 1;
}

// The iterator's length hint; a failing hint is reported as unraisable and counts as 0.
inline size_t length_hint_or_zero(Walk& walk, PyObject* iter) {
    Py_ssize_t hint = walk.python([&] { return PyObject_LengthHint(iter, 0); });
    if (hint < 0) {
        report_unraisable(walk, iter);
        return 0;
    }
    return static_cast<size_t>(hint);
}

// Lets Ctrl-C end a long drain: a signal handler that raises ends the walk. (This also runs
// the garbage collector and debugger scripts when they are due.)
inline void check_signals(Walk& walk) {
    if (walk.python([] { return PyErr_CheckSignals(); }) < 0) {
        fail_with_pending();
    }
}

}  // namespace corvane
