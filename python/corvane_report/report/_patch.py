"""RFC 6902 JSON Patch from the records and the two documents."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ._entries import Differences, Entry
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


def _data_operations(found: Sequence[Entry], b: object) -> list[Operation]:
    """The operations of entries found under the data rules, in walk order: each list's items
    were paired in the order of both lists, so a running count of what was inserted and deleted
    in it so far turns a's positions into those of the document being patched."""
    operations: list[Operation] = []
    shifts: dict[tuple[object, ...], int] = {}  # a list's path (a's steps) -> inserted less deleted so far

    def now(path: tuple[object, ...], keyed: frozenset[int]) -> tuple[object, ...]:
        if not shifts:
            return path
        return tuple(step + shifts.get(path[:i], 0) if type(step) is int and i not in keyed else step
                     for i, step in enumerate(path))

    for entry in found:
        path, kind = entry.path, entry.kind
        if kind in ("inserted", "deleted"):
            where = path[:-1]
            shift = shifts.get(where, 0)
            assert type(path[-1]) is int
            if kind == "inserted":
                at = path[-1] if entry.at_a is None else entry.at_a + shift
                operations.append({"op": "add", "path": json_pointer((*now(where, entry.keyed), at)), "value": entry.b})
            else:
                operations.append({"op": "remove", "path": json_pointer((*now(where, entry.keyed), path[-1] + shift))})
            shifts[where] = shift + (1 if kind == "inserted" else -1)
        elif kind == "added":
            operations.append({"op": "add", "path": json_pointer((*now(path[:-1], entry.keyed), path[-1])), "value": entry.b})
        elif kind == "removed":
            operations.append({"op": "remove", "path": json_pointer(now(path, entry.keyed))})
        elif kind == "length_changed":
            operations.extend(_length_operations(dataclasses.replace(entry, path=now(path, entry.keyed)), b))
        else:
            operations.append({"op": "replace", "path": json_pointer(now(path, entry.keyed)), "value": entry.b})
    return operations


def patch_operations(found: Sequence[Entry], a: object, b: object) -> list[Operation]:
    """RFC 6902 operations making the entries' differences, in their order.

    The entries must come from `entries(..., a=a, b=b)` (walk order, with tail items), or be the
    Differences of `diff` or `differences` for a and b.
    """
    if isinstance(found, Differences) and found.rules is not None:
        return _data_operations(found, b)
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
    out: Output | Differences,
    a: object,
    b: object,
    *,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
) -> list[Operation]:
    """RFC 6902 operations that turn `a` into a document equal to `b` under the rules compared by.

    `out` is corvane(a, b), or what diff(a, b, ...) returned. Values are the very objects of `b`,
    not copies. With filters, the patch makes only the differences they keep (an item of a list
    they leave out is neither added nor removed, nor inserted or deleted). Keys that are not
    strings are written as their text (a JSON document has no others), not as the ~(KEY) of the
    reports. Under corvane's own rules a NaN stays a difference after the patch, as it differs
    from itself. Under the data rules an inserted item is one `add` and a deleted one one
    `remove`; the items of keyed and unordered lists keep a's order, which those lists do not
    compare, the inserted ones coming after them.
    """
    kept = compile_filter(ignore, only, float_tolerance)
    if isinstance(out, Differences):
        chosen = [left for entry in out if (left := kept.kept(entry)) is not None]
        return patch_operations(Differences(chosen, out.notes, out.rules), a, b)
    return patch_operations(kept.entries(out, a=a, b=b), a, b)
