// The interpreter calls of the walks that may run Python code. Each is made through the walk's
// gate (python_calls.cpp is the only engine file that calls such interpreter functions, which
// the build checks) and checked: an owned result or a Failure. The errors that the rules absorb
// are taken by the named helpers here; an absorbed error that is not an Exception (a Ctrl-C)
// ends the walk instead.
#pragma once

#include "engine/walk.h"

#include <optional>

namespace corvane {

// Whether the pending exception is a RecursionError raised because this thread's stack is
// nearly used up (the walk's own depth), rather than one that Python code raised at a depth
// that has nothing to do with it. Only the first ends the walk where the rules absorb errors.
bool stack_exhausted();

// Discards the pending exception on purpose (through the gate: releasing it can run its
// finalizers). An exact PanicException resumes its internal failure, and an exception that is
// not an Exception ends the walk carrying it.
void discard_exception(Walk& walk);

// Reports the pending exception through the unraisable hook with `obj` as the object, with
// the same two exceptions.
void report_unraisable(Walk& walk, PyObject* obj);

Held mapping_items(Walk& walk, Operand mapping);
Held get_iter(Walk& walk, Operand obj);

// The next item of an iterator, or nothing at its end.
std::optional<Ref> next_item(Walk& walk, PyObject* iter);

// mapping[key], or nothing when the lookup raises: any Exception there means a missing key,
// except running out of stack, which ends the walk rather than report a false removal.
std::optional<Held> lookup_or_missing(Walk& walk, Operand mapping, Operand key);

// `key in container`; a failing test is an internal failure.
bool contains(Walk& walk, Operand container, Operand key);

// The iterator's length hint; a failing hint is reported as unraisable and counts as 0.
size_t length_hint_or_zero(Walk& walk, PyObject* iter);

// Lets Ctrl-C end a long drain: a signal handler that raises ends the walk. (This also runs
// the garbage collector and debugger scripts when they are due.)
void check_signals(Walk& walk);

// isinstance(x, cls), or -1 with the exception pending.
int is_instance(Walk& walk, PyObject* x, PyObject* cls);

// `module.name`, imported; the new reference, or a Failure.
Ref import_attr(Walk& walk, const char* module, const char* name);

// value.utcoffset() of a datetime or time, or a Failure.
Ref utc_offset(Walk& walk, PyObject* value);

// The code object of `source` compiled as a module (compiling raises an audit event), or null
// when it cannot be compiled: the caller then does without it.
Ref compile_module(Walk& walk, const char* source);

}  // namespace corvane
