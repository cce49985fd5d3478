// The datasets' native helpers in corvane_report._native: the line reader of the spilling pass and
// the byte comparison of the comparing pass. Each borrows its arguments and returns a new
// reference, or nullptr with an exception set.
#pragma once

#include "ref.h"

namespace corvane {

// (consumed, lines, parts, unsure numbers, unsure payloads) of the whole lines of `data`, where
// `number` lines came before it: `parts` a list of (part, key texts, numbers, sizes, blob) of the
// keyed rows by partition (numbers and sizes as native int64 arrays' bytes, blob the lines
// themselves, each part in the chunk's order), the unsure lines left to the general reader.
PyObject* native_key_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// identical_spans(blob_a, offsets_a, positions_a, blob_b, offsets_b, positions_b, short, nan): for
// each pair of positions, 0 when the two rows' bytes differ, 2 when they are identical but want a
// closer look (`short` bytes or longer, or, when `nan`, holding NaN), else 1; row i of a side is
// blob[offsets[i]:offsets[i + 1]] (offsets as an int64 buffer, positions as lists of int). As
// bytes, one per pair.
PyObject* native_identical_spans(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane
