// Errors absorbed outside any walk: by the entry point's argument binding, the module's exec
// step and the result classes. The engine never sees these; inside a walk, absorbing an error
// releases it, and releases go through the walk's gate (engine/python_calls.h).
#pragma once

#include "ref.h"

namespace corvane {

// Drops the pending exception where the caller has a fallback of its own.
void discard_error() noexcept;

}  // namespace corvane
