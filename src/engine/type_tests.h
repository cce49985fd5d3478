// The type tests of the decision table that can run Python code: the mapping and sequence
// tests (flags, then collections.abc) and the iterator test.
#pragma once

#include "engine/walk.h"

namespace corvane {

bool is_mapping(Walk& walk, PyObject* x);
bool is_sequence(Walk& walk, PyObject* x);
bool is_iterator(Walk& walk, PyObject* x);

// Fetches the abstract classes and the abc cache token function if they are not yet fetched:
// called before the walk borrows anything, so that the import (Python code) normally happens
// with nothing to pin. A failed import fails the call.
void fetch_abc(Walk& walk);

// Whether collections.abc.Iterator has been fetched, which a failed iterator test needs.
bool iterator_class_fetched() noexcept;

// The remembered answer of a test for a built-in type in this epoch: 0, 1, or -1 for none.
inline int known_answer(Walk& walk, PyTypeObject* type, AbcTest test) noexcept {
    return walk.memo().find(type, test, walk.answers_epoch());
}

}  // namespace corvane
