"""Typed use of corvane and of corvane_report's public names: mypy --strict must accept this file
as it stands."""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, assert_type

from corvane import Output, corvane
from corvane_report import Entry, Filter, Tolerance, compile_filter, diff_rows, entries, report_text

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


def drifted(a: object, b: object) -> str:
    found = entries(corvane(a, b), ignore="/at", float_tolerance=Tolerance(rel=1e-9), a=a, b=b)
    assert_type(found, list[Entry])
    kept: Filter = compile_filter(only=["/x/**"])
    assert_type(kept.is_same(corvane(a, b)), bool)
    return report_text(found)


def changed_rows() -> int:
    found = diff_rows([{"id": 1, "v": 1}], [{"id": 1, "v": 2}], key="/id")
    assert_type([diff.kind for diff in found], list[Literal["only_in_a", "only_in_b", "changed", "duplicate_key", "error"]])
    return found.summary.changed


print("\n".join(describe(corvane({"x": [1, 2]}, {"x": [1, 3, 4], "y": None}))), count(1, 2.0))
print(drifted({"x": [1.0], "at": 1}, {"x": [1.0 + 1e-12], "at": 2}), changed_rows())
print(compare_or_none(2**200, 0))


def data_differences(a: object, b: object) -> list[str]:
    from corvane_report import diff, json_patch

    found = diff(a, b, list_keys=["/users=/id"], ignore="/meta")
    notes: list[str] = [note.text() for note in found.notes]
    patch: list[dict[str, object]] = json_patch(found, a, b)
    return [entry.text(40) for entry in found if entry.kind in ("inserted", "deleted")] + notes + [str(len(patch))]
