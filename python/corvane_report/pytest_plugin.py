"""pytest plugin (entry point "corvane"; disable with -p no:corvane).

When `assert x == y` fails and both sides are dicts, lists, tuples, sets or dataclass instances,
pytest's explanation gains the differences corvane finds, by JSON pointer: lists aligned (an item
inserted into a long list is one line), sets compared as sets (the members one side lacks),
dataclasses of one class field by field. The section comes after
pytest's own findings ("At index 10 diff: ...", "Right contains one more item: ...") and, at the
default verbosity, takes only the room pytest's cut leaves them, so that all pytest would show
stays in view (when pytest's own lines fill it, the section is a heading, or shows with -vv);
with -vv (or on CI, where pytest cuts nothing) it lists every difference. A difference that `==`
does not count (1 against 1.0, True against 1) is never named as the cause. Anything else, and
any comparison corvane cannot make, is left to pytest as it is.

For a strict comparison, by corvane's own rules, call `assert_same(x, y, ...)`.
"""

from __future__ import annotations

import dataclasses
import os
import sys
from collections.abc import Generator, Sequence, Set

import pytest

from .report import Entry, count_text, equality_differences, report_lines

_CONTAINERS = (dict, list, tuple, Set)
# pytest's cut below -vv: an explanation of more than _LINES + 2 lines keeps its first _LINES,
# one of more than _CHARS characters (and some slack) its first _CHARS; both can be configured.
_LINES, _CHARS = 8, 640
_LATER = ("Full diff:", "Use -v")  # pytest's lines that may follow the section
_SHORT_WIDTH = 30  # values shortened to this below -vv
_SHORT_TAIL = 2  # items of a length change listed under it
_FOOTER = 40  # the characters pytest allows past its limit for its own closing line


def _compared(value: object) -> bool:
    return isinstance(value, _CONTAINERS) or (dataclasses.is_dataclass(value) and not isinstance(value, type))


def section(found: Sequence[Entry], verbosity: int, lines: int = 6, chars: int = 480) -> list[str]:
    """The lines added to pytest's explanation: all of them with -vv, else at most `lines`
    lines of at most `chars` characters in all (none when not even the heading fits)."""
    heading = f"corvane: {count_text(len(found))} by JSON pointer"
    if verbosity >= 2:
        return [heading + ":", *report_lines(found, width=sys.maxsize, tail_limit=sys.maxsize)]
    shown_lines: list[str] = []
    shown = size = 0  # entries shown, and the characters of their lines
    for entry in found:
        block = list(report_lines([entry], width=_SHORT_WIDTH, tail_limit=_SHORT_TAIL))
        size += sum(map(len, block))
        if len(shown_lines) + len(block) > lines - 1 or size > chars - len(heading) - 30:
            break
        shown_lines += block
        shown += 1
    if shown < len(found):
        heading += f" ({shown} shown, -vv shows all)" if shown else " (-vv shows them)"
    if lines < 1 or len(heading) + 1 > chars:
        return []
    return [heading + ":", *shown_lines]


def _limit(config: pytest.Config, name: str, default: int) -> int:
    value = config.getini(name)
    return default if value is None else int(value)


def _cuts(config: pytest.Config) -> bool:
    verbose = config.get_verbosity(pytest.Config.VERBOSITY_ASSERTIONS)
    return verbose < 2 and not (os.environ.get("CI") or os.environ.get("BUILD_NUMBER"))


def explained(config: pytest.Config, lines: list[str], found: Sequence[Entry]) -> list[str]:
    """pytest's explanation `lines` with the section after its own findings (before its "Full
    diff:" or "Use -v" lines), in the room pytest's cut leaves them, so that everything pytest
    would show stays in view."""
    end = next((i for i, line in enumerate(lines) if i and line.startswith(_LATER)), len(lines))
    before, after = lines[:end], lines[end:]
    if not _cuts(config):
        return [*before, *section(found, 2), *after]
    max_lines, max_chars = _limit(config, "truncation_limit_lines", _LINES), _limit(config, "truncation_limit_chars", _CHARS)
    # What pytest keeps of a cut explanation, or all that keeps it from cutting.
    room = max(max_lines - len(before), max_lines + 2 - len(lines)) if max_lines > 0 else sys.maxsize
    size, size_before = sum(map(len, lines)), sum(map(len, before))
    chars = max(max_chars - size_before, max_chars + _FOOTER - size) if max_chars > 0 else sys.maxsize
    return [*before, *section(found, 0, room, chars), *after]


@pytest.hookimpl(wrapper=True)
def pytest_assertrepr_compare(
    config: pytest.Config, op: str, left: object, right: object
) -> Generator[None, list[list[str]], list[list[str]]]:
    results = yield
    if op != "==" or not (_compared(left) and _compared(right)):
        return results
    found = equality_differences(left, right)
    if not found:
        return results
    for i, lines in enumerate(results):
        if lines:  # pytest uses the first explanation
            return [*results[:i], explained(config, lines, found), *results[i + 1 :]]
    return [[f"{type(left).__name__} == {type(right).__name__}", *section(found, 2 if not _cuts(config) else 0)], *results]
