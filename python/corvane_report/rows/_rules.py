"""How two rows are compared: every pair of rows goes through `compare_rows`, and `same_unread`
says when two byte-identical lines may be taken as equal without decoding them.

The two belong together: a line is equal to itself unread only if decoding and comparing it
could neither report a difference (NaN differs from itself) nor fail (an integer beyond 128
bits, a lone surrogate). Otherwise whether a bad row fails would depend on whether the other
side's line happens to be byte-identical. Changing the comparison means changing both here.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Final

from ..report import Entry, compare

if TYPE_CHECKING:
    from corvane import Output

# Digits mapped to "0", so that one substring search finds a run of them: 2**127 has 39 digits.
_DIGITS_AS_ZERO: Final = bytes(0x30 if 0x30 <= i <= 0x39 else i for i in range(256))
_LONG_INT: Final = b"0" * 39
_SURROGATE: Final = re.compile(rb"\\u[dD][89a-fA-F]")  # the escape of a surrogate: half a pair, or a lone one


def compare_rows(a: object, b: object) -> Output:
    """corvane(a, b) on two decoded rows; CompareError when the comparison itself fails."""
    return compare(a, b, quiet=True)


def same_unread(line: bytes) -> bool:
    """Whether a JSON line compared with an identical copy of itself is equal, with no error."""
    if b"NaN" in line:  # NaN differs from itself
        return False
    if b"\\u" in line and _SURROGATE.search(line):
        return False
    return _LONG_INT not in line.translate(_DIGITS_AS_ZERO)


def same_unread_all(lines: list[bytes], chunk: int = 1024) -> list[bool]:
    """same_unread of each line, searched a chunk of lines at a time (nearly always all of them
    pass): one call instead of one per line, and a copy of a chunk at most."""
    found: list[bool] = []
    for start in range(0, len(lines), chunk):
        some = lines[start:start + chunk]
        if same_unread(b"\n".join(some)):  # a NaN, an escape or a run of digits is not cut across lines
            found += [True] * len(some)
        else:
            found += map(same_unread, some)
    return found


def absent_as_null(found: list[Entry]) -> list[Entry]:
    """The entries less the fields present as null on one side and absent on the other."""
    return [entry for entry in found
            if not (entry.kind == "added" and entry.b is None or entry.kind == "removed" and entry.a is None)]
