"""The report library: what people read and use of a corvane Output.

    diff, assert_same           two values compared in one call (the data rules, or corvane's own),
                                as a list of Entry records in walk order; the assertion built on it
    DataRules, differences      the data rules as one value, and a comparison under them (or
                                corvane's own) with a compiled Filter: Differences, with its notes
    entries, is_same            the five lists of an Output as one list of Entry records, filtered
    Filter, compile_filter      the filters (ignore, only, float_tolerance) compiled once
    compare                     corvane(a, b) whose failure says where
    equality_differences        the differences == counts too (sets as sets, dataclasses by field)
    json_patch                  RFC 6902 operations that turn a into b
    report_text, report_lines   entries as text for people
    dumps_strict                strict JSON, NaN, infinities, dates and bytes tagged without loss
    shorten, printable          values as short JSON text; surrogates as escapes, for any output
    json_pointer, value_at      key paths as RFC 6901 pointers, and the value a path leads to

The package's other parts (inputs, rows, the command line, the plugin) build on these names
and on nothing else of this folder.
"""

from ._compare import CompareError, compare, cycle_path, locate_failure
from ._data import DataRules, native_module
from ._diff import assert_same, diff, differences
from ._entries import KINDS, WORDS, Differences, Entry, Kind, Note
from ._equality import MemberEntry, equality_differences
from ._filters import Filter, Patterns, Tolerance, ToleranceSpec, compile_filter, entries, is_same
from ._lines import Paint, count_text, plain, report_lines, report_text, tail_lines
from ._patch import Operation, json_patch, patch_operations
from ._paths import MISSING, Missing, json_pointer, position_of, split_pointer, value_at
from ._strict import dumps_strict, from_strict_json, to_strict_json
from ._text import SCALAR_TEXT, printable, shorten, shorten_pair

__all__ = [
    "KINDS", "MISSING", "SCALAR_TEXT", "WORDS", "CompareError", "DataRules", "Differences", "Entry", "Filter", "Kind",
    "MemberEntry", "Missing", "Note", "Operation", "diff", "differences", "native_module",
    "Paint", "Patterns", "Tolerance", "ToleranceSpec", "assert_same", "compare", "compile_filter", "count_text", "cycle_path",
    "dumps_strict", "entries", "equality_differences", "from_strict_json", "is_same", "json_patch", "json_pointer", "locate_failure",
    "patch_operations", "plain", "position_of", "printable", "report_lines", "report_text", "shorten", "shorten_pair", "split_pointer",
    "tail_lines",
    "to_strict_json", "value_at",
]
