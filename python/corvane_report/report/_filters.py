"""Filters: path patterns to leave out or keep, and a tolerance for float changes."""

from __future__ import annotations

import functools
import math
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from ._entries import Entry, merge, runs, with_tail
from ._paths import MISSING, json_pointer, split_pointer

if TYPE_CHECKING:
    from corvane import Output

_STAR, _GLOBSTAR = "*", "**"
_LISTS = ("val_changes", "type_and_val_changes", "dict_items_added", "dict_items_removed", "iter_len_mismatch")


@dataclass(frozen=True, slots=True)
class Tolerance:
    """Float changes within `abs` or within `rel` times the larger magnitude are left out
    (math.isclose with abs_tol=abs and rel_tol=rel)."""

    abs: float = 0.0
    rel: float = 0.0

    def __post_init__(self) -> None:
        for name, value in (("abs", self.abs), ("rel", self.rel)):
            if not (isinstance(value, (int, float)) and value >= 0 and math.isfinite(value)):
                raise ValueError(f"float tolerance {name}= must be a finite number >= 0, not {value!r}")


Patterns = str | Iterable[str]
ToleranceSpec = float | Tolerance | None


def _steps_regex(steps: list[str]) -> str:
    """Regex source for pointers of exactly these pattern steps ("*" one step, "**" any number)."""
    parts = []
    for step in steps:
        if step == _GLOBSTAR:
            parts.append("(?:/[^/]*)*")
        elif step == _STAR:
            parts.append("/[^/]*")
        else:
            parts.append(re.escape(json_pointer([step])))
    return "".join(parts)


def _any_of(sources: Iterable[str], tail: str) -> re.Pattern[str] | None:
    unique = list(dict.fromkeys(sources))
    return re.compile("(?:" + "|".join(unique) + ")" + tail) if unique else None


def _patterns(value: Patterns) -> tuple[str, ...]:
    # A lone string is one pattern, not an iterable of one-character patterns.
    return (value,) if isinstance(value, str) else tuple(value)


def _tolerance(value: ToleranceSpec) -> Tolerance | None:
    if value is None or isinstance(value, Tolerance):
        return value
    return Tolerance(abs=value)


def _index_step(step: str, low: int, high: int) -> bool:
    """Whether a pattern step can name a position from low up to (not including) high."""
    if step in (_STAR, _GLOBSTAR):
        return True
    return step.isdigit() and low <= int(step) < high


@dataclass(frozen=True, slots=True)
class _Compiled:
    """The patterns as regular expressions over JSON pointers, for `Filter.keep`."""

    ignore: re.Pattern[str] | None
    only: re.Pattern[str] | None
    above: re.Pattern[str] | None  # paths strictly above a match of an `only` pattern
    above_steps: tuple[tuple[re.Pattern[str], str], ...]  # each with the pattern step below it

    @classmethod
    def of(cls, ignore: tuple[str, ...], only: tuple[str, ...]) -> _Compiled:
        ignored = [split_pointer(p) for p in ignore]
        kept = [split_pointer(p) for p in only]
        # After a "**" any step may follow, positions included.
        above = [(_steps_regex(s[:i]), _GLOBSTAR if s[i - 1 : i] == [_GLOBSTAR] else s[i])
                 for s in kept for i in range(len(s))]
        return cls(
            _any_of((_steps_regex(s) for s in ignored), r"(?:/|\Z)"),
            _any_of((_steps_regex(s) for s in kept), r"(?:/|\Z)"),
            _any_of((source for source, _ in above), r"\Z"),
            tuple((re.compile(source + r"\Z"), step) for source, step in above),
        )


@dataclass(frozen=True, slots=True, init=False)
class Filter:
    """The filters, compiled once and reusable for any number of Outputs.

    ignore  JSON pointer patterns: an entry at or below a matching path is left out.
    only    JSON pointer patterns: only entries at or below a matching path are kept, and those
            at a path above one (a removed mapping, a changed kind, a length change whose
            added or removed items a pattern reaches), since they change what is there too.
    float_tolerance
            a number (absolute) or a Tolerance(abs=, rel=): a float-against-float value
            change within it is left out. An int against a float stays a type change, and
            NaN stays a change.

    In a pattern, "*" matches one step and "**" any number of steps (none included); other
    steps match a key or a position by their text ("/items/0" matches position 0).

    A Filter is the one value in which the three options travel: equal and hashable by them,
    and pickled as them alone, so that a worker process compiles its own copy once.
    """

    ignore: tuple[str, ...]
    only: tuple[str, ...]
    float_tolerance: Tolerance | None
    _compiled: _Compiled = field(repr=False, compare=False)

    def __init__(self, ignore: Patterns = (), only: Patterns = (), float_tolerance: ToleranceSpec = None) -> None:
        # Frozen: the fields are set once, here, in the form they keep.
        object.__setattr__(self, "ignore", _patterns(ignore))
        object.__setattr__(self, "only", _patterns(only))
        object.__setattr__(self, "float_tolerance", _tolerance(float_tolerance))
        object.__setattr__(self, "_compiled", _Compiled.of(self.ignore, self.only))

    def __reduce__(self) -> tuple[object, ...]:
        return compile_filter, (self.ignore, self.only, self.float_tolerance)

    def keep(self, entry: Entry) -> bool:
        """Whether the filters let `entry` through."""
        tolerance, compiled = self.float_tolerance, self._compiled
        if tolerance is not None and entry.kind == "changed" and isinstance(entry.a, float) and isinstance(entry.b, float):
            if math.isclose(entry.a, entry.b, rel_tol=tolerance.rel, abs_tol=tolerance.abs):
                return False
        if compiled.ignore is None and compiled.only is None:
            return True
        pointer = json_pointer(entry.path)
        if compiled.ignore is not None and compiled.ignore.match(pointer):
            return False
        if compiled.only is None or compiled.only.match(pointer):
            return True
        if entry.kind != "length_changed":
            return compiled.above is not None and compiled.above.match(pointer) is not None
        low, high = sorted(entry.lengths)
        return any(regex.match(pointer) and _index_step(step, low, high) for regex, step in compiled.above_steps)

    def entries(self, out: Output, *, a: object = MISSING, b: object = MISSING) -> list[Entry]:
        """The entries of `out` that the filters keep, in walk order (see `entries`)."""
        kept = [[entry for entry in run if self.keep(entry)] for run in runs(out)]
        if a is not MISSING and b is not MISSING:
            kept[-1] = [with_tail(entry, a, b) for entry in kept[-1]]
        return merge(kept, a)

    def is_same(self, out: Output) -> bool:
        """Whether the filters leave nothing of `out`."""
        if self.float_tolerance is None and not self.ignore and not self.only:
            return not any(getattr(out, name) for name in _LISTS)
        return not any(self.keep(entry) for run in runs(out) for entry in run)


@functools.lru_cache(maxsize=256)
def _cached(ignore: tuple[str, ...], only: tuple[str, ...], tolerance: Tolerance | None) -> Filter:
    return Filter(ignore, only, tolerance)


def compile_filter(ignore: Patterns = (), only: Patterns = (), float_tolerance: ToleranceSpec = None) -> Filter:
    """A Filter for these arguments; the same arguments give the same (cached) Filter."""
    return _cached(_patterns(ignore), _patterns(only), _tolerance(float_tolerance))


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
