// The type tests of the decision table that can run Python code: the mapping and sequence
// tests (flags, then collections.abc) and the iterator test.
#pragma once

#include "engine/walk.h"

namespace corvane {

bool is_mapping(Walk& walk, PyObject* x);
bool is_sequence(Walk& walk, PyObject* x);
bool is_iterator(Walk& walk, PyObject* x);

// Whether collections.abc.Iterator has been fetched, which a failed iterator test needs.
bool iterator_class_fetched() noexcept;

// The answer of a test for a built-in type remembered in this epoch: 0, 1, or -1 for none.
inline int known_answer(Walk& walk, PyTypeObject* type, AbcTest test) noexcept {
    return walk.abc().find(type, test, walk.epoch());
}

}  // namespace corvane
