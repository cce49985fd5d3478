"""The report library: what people read and use of a corvane Output.

    entries, is_same            the five lists as one list of Entry records in walk order, filtered
    Filter, compile_filter      the filters (ignore, only, float_tolerance) compiled once
    compare, assert_same        corvane(a, b) whose failure says where; the assertion built on it
    equality_differences        the differences == counts too (sets as sets, dataclasses by field)
    json_patch                  RFC 6902 operations that turn a into b
    report_text, report_lines   entries as text for people
    dumps_strict                strict JSON, NaN, infinities, dates and bytes tagged without loss
    shorten, printable          values as short JSON text; surrogates as escapes, for any output
    json_pointer, value_at      key paths as RFC 6901 pointers, and the value a path leads to

The package's other parts (inputs, rows, the command line, the plugin) build on these names
and on nothing else of this folder.
"""

from ._compare import CompareError, assert_same, compare, cycle_path, locate_failure
from ._entries import KINDS, WORDS, Entry, Kind
from ._equality import MemberEntry, equality_differences
from ._filters import Filter, Patterns, Tolerance, ToleranceSpec, compile_filter, entries, is_same
from ._lines import Paint, count_text, plain, report_lines, report_text, tail_lines
from ._patch import Operation, json_patch, patch_operations
from ._paths import MISSING, Missing, json_pointer, split_pointer, value_at
from ._strict import dumps_strict, from_strict_json, to_strict_json
from ._text import SCALAR_TEXT, printable, shorten, shorten_pair

__all__ = [
    "KINDS", "MISSING", "SCALAR_TEXT", "WORDS", "CompareError", "Entry", "Filter", "Kind", "MemberEntry", "Missing",
    "Operation",
    "Paint", "Patterns", "Tolerance", "ToleranceSpec", "assert_same", "compare", "compile_filter", "count_text", "cycle_path",
    "dumps_strict", "entries", "equality_differences", "from_strict_json", "is_same", "json_patch", "json_pointer", "locate_failure",
    "patch_operations", "plain", "printable", "report_lines", "report_text", "shorten", "shorten_pair", "split_pointer",
    "tail_lines",
    "to_strict_json", "value_at",
]
