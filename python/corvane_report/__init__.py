"""corvane_report: what people read and use of corvane's differences.

    diff(a, b, rules="data", lists="align", list_keys=..., ignore=..., ...)
                                a and b compared in one call, as data documents mean them (or by
                                corvane's own rules): a list of Entry records in walk order
    entries(out, ignore=..., only=..., float_tolerance=..., a=doc_a, b=doc_b)
        the five lists of a corvane Output as one list of Entry records in walk order, filtered
    is_same(out, ...)           whether the filters leave nothing
    compile_filter(...)/Filter  the same filters compiled once, for many Outputs
    assert_same(a, b, ...)      AssertionError with a report when a and b differ (the rules of diff)
    compare(a, b)               corvane(a, b) whose failure says where (CompareError)
    json_patch(out, a, b, ...)  RFC 6902 operations that turn a into b (out: corvane(a, b) or diff(a, b))
    report_text(entries)        the entries as text, a line each, then their count
    dumps_strict(value)         strict JSON: NaN, infinities, dates and bytes tagged without loss (from_strict_json)
    diff_rows(a_rows, b_rows, key="/id", ...)
                                two collections of records matched by key

Paths are tuples of steps (mapping keys and positions); `Entry.pointer` is the RFC 6901 JSON
pointer, a mapping key that is not a string written ~(KEY) (~(1), ~(true)). Patterns are JSON
pointers in which "*" matches one step and "**" any number, anywhere.

The rest lives in the subpackages: corvane_report.report (the whole report library),
corvane_report.inputs (document readers), corvane_report.rows (datasets of any size, on every
core or on a Dask cluster), corvane_report.cli (corvane-diff) and corvane_report.pytest_plugin.
"""

from typing import TYPE_CHECKING

from .report import (
    MISSING,
    CompareError,
    Entry,
    Filter,
    Tolerance,
    assert_same,
    compare,
    compile_filter,
    diff,
    dumps_strict,
    entries,
    from_strict_json,
    is_same,
    json_patch,
    report_text,
)

if TYPE_CHECKING:
    from .rows import diff_rows

__all__ = [
    "MISSING", "CompareError", "Entry", "Filter", "Tolerance", "assert_same", "compare", "compile_filter",
    "diff", "diff_rows", "dumps_strict", "entries", "from_strict_json", "is_same", "json_patch", "report_text",
]


def __getattr__(name: str) -> object:
    # diff_rows loads corvane_report.rows on first use: the datasets engine beside it doubles
    # the import time, and the pytest plugin, loaded by every test session, needs none of it.
    if name == "diff_rows":
        from .rows import diff_rows

        return diff_rows
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
