"""corvane_report: what people read and use of a corvane Output.

    entries(out, ignore=..., only=..., float_tolerance=..., a=doc_a, b=doc_b)
        the five lists as one list of Entry records in walk order, filtered
    is_same(out, ...)           whether the filters leave nothing
    compile_filter(...)/Filter  the same filters compiled once, for many Outputs
    assert_same(a, b, ...)      AssertionError with a report when a and b differ
    compare(a, b)               corvane(a, b) whose failure says where (CompareError)
    json_patch(out, a, b, ...)  RFC 6902 operations that turn a into b
    report(entries)             the entries as text, a line each (report_lines: the lines)
    dumps_strict(value)         strict JSON: NaN and infinities tagged without loss
    diff_rows(a_rows, b_rows, key="/id", ...)
                                two collections of records matched by key: rows only in a,
                                only in b, changed (with their entries), duplicate keys

Paths are tuples of steps (mapping keys and positions); `Entry.pointer` is the RFC 6901 JSON
pointer. Patterns are JSON pointers in which "*" matches one step and "**" any number.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._compare import CompareError, assert_same, compare, locate_failure
from ._entries import KINDS, WORDS, Entry, Kind
from ._filters import Filter, Patterns, Tolerance, ToleranceSpec, compile_filter
from ._patch import Operation, json_patch, patch_operations
from ._paths import MISSING, Missing, json_pointer, split_pointer, value_at
from ._rows import (
    ROW_KINDS,
    RowAt,
    RowDiff,
    RowDiffs,
    RowKey,
    RowKind,
    RowsError,
    RowSummary,
    compare_key,
    diff_rows,
    field_pattern,
    key_order,
    key_text,
    sort_found,
)
from ._report import Paint, count_text, plain, report, report_lines, tail_lines
from ._strict import dumps_strict, from_strict_json, to_strict_json
from ._text import shorten

if TYPE_CHECKING:
    from corvane import Output

__all__ = [
    "KINDS", "MISSING", "ROW_KINDS", "WORDS", "CompareError", "Entry", "Filter", "Kind", "Missing",
    "Operation", "Paint", "Patterns", "RowAt", "RowDiff", "RowDiffs", "RowKey", "RowKind", "RowSummary",
    "RowsError", "Tolerance", "ToleranceSpec", "assert_same", "compare", "compare_key", "compile_filter",
    "count_text", "diff_rows", "dumps_strict", "entries", "field_pattern", "from_strict_json", "is_same",
    "json_patch", "json_pointer", "key_order", "key_text", "locate_failure", "patch_operations", "plain",
    "report", "report_lines", "shorten", "sort_found", "split_pointer", "tail_lines", "to_strict_json", "value_at",
]


def entries(
    out: Output,
    *,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    a: object = MISSING,
    b: object = MISSING,
) -> list[Entry]:
    """The differences in `out` that the filters keep, as one list in walk order.

    Walk order is the order in which corvane meets the differences: mapping items in a's
    order with b's added items after them, sequences by position, a length change after
    everything inside its sequences. Pass the two compared documents as `a` and `b` to get
    that order exactly and the tail items of length changes; without them, where no list of
    `out` tells which of two keys of one mapping comes first, integer steps go by value and
    other keys in the order the lists first name them.
    """
    return compile_filter(ignore, only, float_tolerance).entries(out, a=a, b=b)


def is_same(out: Output, *, ignore: Patterns = (), only: Patterns = (), float_tolerance: ToleranceSpec = None) -> bool:
    """Whether nothing of `out` remains after the filters."""
    return compile_filter(ignore, only, float_tolerance).is_same(out)
