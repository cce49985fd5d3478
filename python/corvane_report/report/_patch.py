"""RFC 6902 JSON Patch from the records and the two documents."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from ._entries import Entry
from ._filters import Patterns, ToleranceSpec, compile_filter
from ._paths import child, json_pointer, value_at

if TYPE_CHECKING:
    from corvane import Output

Operation = dict[str, object]


def _string_boundary(entry: Entry, a: object, b: object) -> tuple[object, ...] | None:
    """The path of a string that the entry lies inside (or is, for a length change), if any.

    corvane walks a string against a sequence character by character; a patch cannot edit
    characters, so it replaces the whole value there instead.
    """
    path = entry.path
    depth = len(path) + (entry.kind == "length_changed")
    va, vb = a, b
    for i in range(depth):
        if isinstance(va, str) or isinstance(vb, str):
            return path[:i]
        if i < len(path):
            va, vb = child(va, path[i]), child(vb, path[i])
    return None


def _length_operations(entry: Entry, b: object) -> list[Operation]:
    a_len, b_len = entry.lengths
    if entry.tail is None:  # the items cannot be read: replace the whole sequence
        return [{"op": "replace", "path": json_pointer(entry.path), "value": value_at(b, entry.path)}]
    if b_len > a_len:
        # Each added item goes to the end of what is there: an item the filters left out is not
        # added, and those after it take its place.
        return [{"op": "add", "path": json_pointer((*entry.path, a_len + i)), "value": item}
                for i, item in enumerate(entry.tail)]
    # From the end, so that each position is still the one meant when its turn comes.
    return [{"op": "remove", "path": json_pointer((*entry.path, at))} for at in reversed(entry.tail_positions())]


def patch_operations(found: Sequence[Entry], a: object, b: object) -> list[Operation]:
    """RFC 6902 operations making the entries' differences, in their order.

    The entries must come from `entries(..., a=a, b=b)` (walk order, with tail items).
    """
    operations: list[Operation] = []
    replaced: set[str] = set()
    for entry in found:
        boundary = _string_boundary(entry, a, b)
        if boundary is not None:
            pointer = json_pointer(boundary)
            if pointer not in replaced:
                replaced.add(pointer)
                operations.append({"op": "replace", "path": pointer, "value": value_at(b, boundary)})
        elif entry.kind == "added":
            operations.append({"op": "add", "path": json_pointer(entry.path), "value": entry.b})
        elif entry.kind == "removed":
            operations.append({"op": "remove", "path": json_pointer(entry.path)})
        elif entry.kind == "length_changed":
            operations.extend(_length_operations(entry, b))
        else:
            operations.append({"op": "replace", "path": json_pointer(entry.path), "value": entry.b})
    return operations


def json_patch(
    out: Output,
    a: object,
    b: object,
    *,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
) -> list[Operation]:
    """RFC 6902 operations that turn `a` into a document equal to `b` under corvane.

    `out` is corvane(a, b). Values are the very objects of `b`, not copies. With filters, the
    patch makes only the differences they keep (an item of a list they leave out is neither
    added nor removed). Keys that are not strings are written as their text (a JSON document
    has no others), not as the ~(KEY) of the reports. A NaN stays a difference after the patch, as it differs
    from itself.
    """
    return patch_operations(compile_filter(ignore, only, float_tolerance).entries(out, a=a, b=b), a, b)
