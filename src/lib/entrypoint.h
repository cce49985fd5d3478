// The module surface: the function `corvane(a, b)` and its definition record.
// Arguments are borrowed; the result is a new Output or NULL with an exception set.
#pragma once

#include "ref.h"

namespace corvane {

// The definition record of `corvane`, kept for the life of every function object made from it.
extern PyMethodDef corvane_method;

}  // namespace corvane
