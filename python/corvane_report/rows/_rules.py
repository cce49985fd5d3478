"""How two rows are compared: every pair of rows goes through `compare_rows`, and `same_unread`
(`unread_pairs` for many pairs) says when two byte-identical lines may be taken as equal without
decoding them.

Rows are compared under the data rules (corvane_report.DataRules): true against 1 is a change of
kind, a string is a value, ints of any size and strings of any code points compared exactly, NaN
equal to NaN unless the rules say otherwise. The two functions belong together: a line is equal
to itself unread only if decoding and comparing it could neither report a difference (NaN, where
it differs from itself) nor fail (a value nested deeper than the comparison's stack allows).
Otherwise whether a bad row fails would depend on whether the other side's line happens to be
byte-identical. Changing the comparison means changing both here.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Final

from ..report import DataRules, Entry, Filter, differences

ROW_RULES: Final = DataRules()

# Lines with fewer opening brackets than this are nested too shallowly to fail a comparison (which
# holds thousands of levels); a line shorter than SHORT_LINE cannot have that many.
_DEEP: Final = 2000
SHORT_LINE: Final = 2 * _DEEP


def compare_rows(a: object, b: object, rules: DataRules = ROW_RULES, kept: Filter | None = None) -> list[Entry]:
    """The differences of two decoded rows under the data rules that `kept` keeps, in walk order;
    CompareError when the comparison itself fails."""
    return list(differences(a, b, rules, kept, quiet=True))


def same_unread(line: bytes, nan_equal: bool = True) -> bool:
    """Whether a JSON line compared with an identical copy of itself is equal, with no error."""
    if not nan_equal and b"NaN" in line:
        return False
    return len(line) < SHORT_LINE or line.count(b"[") + line.count(b"{") < _DEEP


def unread_pairs(codes: bytes, line: Callable[[int], bytes], nan_equal: bool = True) -> list[bool]:
    """Which pairs of lines are equal unread, by their codes from identical_spans asked to look
    for NaN where it differs (0: the lines differ; 1: identical, nothing to look at; 2: identical,
    but SHORT_LINE long or more, or holding NaN); `line(k)`, the line of the k-th pair, is asked
    for only for a 2 (nearly never)."""
    if 2 not in codes:
        return list(map(bool, codes))
    return [code == 1 or code == 2 and same_unread(line(k), nan_equal) for k, code in enumerate(codes)]


def absent_as_null(found: list[Entry]) -> list[Entry]:
    """The entries less the fields present as null on one side and absent on the other."""
    return [entry for entry in found
            if not (entry.kind == "added" and entry.b is None or entry.kind == "removed" and entry.a is None)]
