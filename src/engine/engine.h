// The comparison engine: the recursive comparison of two object trees, the mapping walk and
// the sequence walk. It borrows both roots; the records it returns own what they report, and a
// failure leaves as a Failure with everything released on the way.
#pragma once

#include "records/records.h"

namespace corvane {

// The differences between a and b in discovery order.
DiffList compare(PyObject* a, PyObject* b);

}  // namespace corvane
