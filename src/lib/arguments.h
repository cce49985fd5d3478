// What the companion package's native functions share at their boundary: a bad argument raised as
// TypeError, and a new reference taken or the pending exception passed on to the caller as it is.
#pragma once

#include "ref.h"

namespace corvane {

[[noreturn]] inline void bad_argument(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    throw PythonError{};
}

// Owns the new reference `p`; nullptr means an exception is pending (PythonError).
inline Ref or_pending(PyObject* p) {
    if (p == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(p);
}

}  // namespace corvane
