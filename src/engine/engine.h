// The comparison engine: the recursive comparison of two object trees, the mapping walk and
// the sequence walk, under the corvane module's rules or the rules of data documents. It borrows both roots; the records it returns own what they report, and a
// failure leaves as a Failure with everything released on the way.
#pragma once

#include "engine/rules.h"
#include "records/records.h"

namespace corvane {

// The differences between a and b in discovery order.
DiffList compare(PyObject* a, PyObject* b);

// The same under the rules of data documents, with their options.
DiffList compare_data(PyObject* a, PyObject* b, const DataOptions& options);

}  // namespace corvane
