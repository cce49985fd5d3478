// The comparison engine: the recursive comparison of two object trees, the mapping walk and
// the sequence walk. Operands are borrowed, path frames are borrowed, records are appended to
// `out` in discovery order, and every failure leaves as a Failure with everything released.
#pragma once

#include "records/records.h"

namespace corvane {

// Compares a with b at `path` and appends the differences found there and below.
void corvane_dispatch(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out);

// Walks two mappings by key: removed items and common keys first, then added items.
void corvane_map(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out);

// Drains two iterators, a first, and compares them by position; a length mismatch comes last.
void corvane_iter(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out);

}  // namespace corvane
