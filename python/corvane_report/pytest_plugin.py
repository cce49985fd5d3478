"""pytest plugin (entry point "corvane"; disable with -p no:corvane).

When `assert x == y` fails and both sides are dicts, lists or tuples, pytest's explanation
gains the differences corvane finds, by JSON pointer, right under its first line: as many as
fit pytest's default length at the default verbosity, all of them with -vv. A difference that
`==` does not count (1 against 1.0, True against 1) is never named as the cause. Anything
else, and any comparison corvane cannot make, is left to pytest as it is.

For a strict comparison, by corvane's own rules, call `assert_same(x, y, ...)`.
"""

from __future__ import annotations

import sys
from collections.abc import Generator, Sequence

import pytest

from .report import CompareError, Entry, compare, count_text, entries, report_lines

_CONTAINERS = (dict, list, tuple)
# pytest cuts an explanation at 8 lines or 640 characters below -vv; the section stays within
# that beside pytest's own first line.
_SHORT_LINES = 5
_SHORT_CHARS = 480
_SHORT_WIDTH = 30
_SHORT_TAIL = 2  # items of a length change listed under it


def _equal_to_python(entry: Entry) -> bool:
    """Whether `==` (as a container comparison makes it) counts the two values equal."""
    if entry.kind not in ("changed", "type_changed"):
        return False
    try:
        return entry.a is entry.b or bool(entry.a == entry.b)
    except Exception:  # noqa: BLE001 - an __eq__ or __bool__ that raises: not equal
        return False


def differences(left: object, right: object) -> list[Entry]:
    """The differences of corvane that `==` counts too, in walk order ([] when it cannot compare)."""
    try:
        out = compare(left, right, quiet=True)
    except CompareError:
        return []
    return [entry for entry in entries(out, a=left, b=right) if not _equal_to_python(entry)]


def section(found: Sequence[Entry], verbosity: int) -> list[str]:
    """The lines added to pytest's explanation: all of them with -vv, else what fits."""
    heading = f"corvane: {count_text(len(found))} by JSON pointer"
    if verbosity >= 2:
        return [heading + ":", *report_lines(found, width=sys.maxsize, tail_limit=sys.maxsize)]
    lines: list[str] = []
    shown = 0
    for entry in found:
        block = list(report_lines([entry], width=_SHORT_WIDTH, tail_limit=_SHORT_TAIL))
        if len(lines) + len(block) > _SHORT_LINES or sum(map(len, lines + block)) > _SHORT_CHARS:
            break
        lines += block
        shown += 1
    if shown < len(found):
        heading += f" ({shown} shown, -vv shows all)"
    return [heading + ":", *lines]


@pytest.hookimpl(wrapper=True)
def pytest_assertrepr_compare(
    config: pytest.Config, op: str, left: object, right: object
) -> Generator[None, list[list[str]], list[list[str]]]:
    results = yield
    if op != "==" or not (isinstance(left, _CONTAINERS) and isinstance(right, _CONTAINERS)):
        return results
    found = differences(left, right)
    if not found:
        return results
    added = section(found, config.get_verbosity(pytest.Config.VERBOSITY_ASSERTIONS))
    for i, lines in enumerate(results):
        if lines:  # pytest uses the first explanation: put the section under its first line
            return [*results[:i], [lines[0], *added, *lines[1:]], *results[i + 1 :]]
    return [[f"{type(left).__name__} == {type(right).__name__}", *added], *results]
