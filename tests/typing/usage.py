"""Typed use of corvane: mypy --strict must accept this file as it stands."""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

from corvane import Output, corvane

# The record classes exist for type checkers only: import them under TYPE_CHECKING and
# name them in quotes (or under `from __future__ import annotations`) where the code runs.

if TYPE_CHECKING:
    from corvane import DictDiff, IterLenMismatch, TypeAndValChange, ValChange


def describe(out: Output) -> list[str]:
    lines: list[str] = []
    for change in out.val_changes:
        assert_type(change, "ValChange")
        lines.append(f"{change.path}: {change.a!r} -> {change.b!r}")
    for other in out.type_and_val_changes:
        assert_type(other, "TypeAndValChange")
        lines.append(f"{other.path}: {type(other.a).__name__} -> {type(other.b).__name__}")
    item: DictDiff
    for item in out.dict_items_added + out.dict_items_removed:
        lines.append(f"{[*item.path, item.key]}: {item.val!r}")
    for mismatch in out.iter_len_mismatch:
        assert_type(mismatch, "IterLenMismatch")
        grown: int = mismatch.b_len - mismatch.a_len
        lines.append(f"{mismatch.path}: {grown:+d} items")
    return lines


def count(a: object, b: object) -> int:
    out = corvane(a, b=b)
    assert_type(out, Output)
    path: list[object] = out.val_changes[0].path if out.val_changes else []
    return len(path) + len(out.val_changes) + len(out.type_and_val_changes) + len(out.iter_len_mismatch)


def compare_or_none(a: object, b: object) -> Output | None:
    try:
        return corvane(a, b)
    except BaseException as exc:  # PanicException derives from BaseException
        if type(exc).__name__ != "PanicException":
            raise
        return None


print("\n".join(describe(corvane({"x": [1, 2]}, {"x": [1, 3, 4], "y": None}))), count(1, 2.0))
print(compare_or_none(2**200, 0))
