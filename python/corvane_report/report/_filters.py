"""Filters: path patterns to leave out or keep, and a tolerance for float changes."""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Collection, Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from ._entries import Entry, merge, runs, with_keys, with_tail
from ._paths import MISSING, position_of
from ._patterns import Pattern, parse

if TYPE_CHECKING:
    from corvane import Output

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


def _patterns(value: Patterns) -> tuple[str, ...]:
    # A lone string is one pattern, not an iterable of one-character patterns.
    return (value,) if isinstance(value, str) else tuple(value)


def _tolerance(value: ToleranceSpec) -> Tolerance | None:
    if value is None or isinstance(value, Tolerance):
        return value
    return Tolerance(abs=value)


def _parsed(texts: tuple[str, ...]) -> tuple[Pattern, ...]:
    return tuple(Pattern(tokens) for tokens in dict.fromkeys(map(parse, texts)))


@dataclass(frozen=True, slots=True)
class _Compiled:
    """The patterns, parsed once, for `Filter.keep`."""

    ignore: tuple[Pattern, ...]
    only: tuple[Pattern, ...]

    @classmethod
    def of(cls, ignore: tuple[str, ...], only: tuple[str, ...]) -> _Compiled:
        return cls(_parsed(ignore), _parsed(only))

    def ignored(self, path: Sequence[object], keyed: Collection[int]) -> bool:
        return any(pattern.run(path, keyed) is None for pattern in self.ignore)

    def wanted(self, path: Sequence[object], keyed: Collection[int], values: Sequence[object]) -> bool:
        """Whether `only` keeps what is at `path`: it is at or below a match, or `values` (what
        the difference puts there or takes away) hold a path that completes one."""
        if not self.only:
            return True
        for pattern in self.only:
            states = pattern.run(path, keyed)
            if states is None or (states and any(pattern.reaches(states, value) for value in values)):
                return True
        return False

    def kept_tail(self, entry: Entry) -> Entry | None:
        """A length change with the tail items the filters leave out taken away; None when none is left."""
        if entry.tail is None:
            return entry if self._some_position_kept(entry) else None
        path, keyed = entry.path, entry.keyed
        kept = [(at, item) for at, item in zip(entry.tail_positions(), entry.tail)
                if not self.ignored((*path, at), keyed) and self.wanted((*path, at), keyed, (item,))]
        if len(kept) == len(entry.tail):
            return entry
        if not kept:
            return None
        return dataclasses.replace(entry, tail=tuple(item for _, item in kept), tail_at=tuple(at for at, _ in kept))

    def _some_position_kept(self, entry: Entry) -> bool:
        # The items are not known, only their positions, which may be many: a pattern tells apart
        # only the positions it names, so those and one other stand for them all.
        low, high = sorted(entry.lengths)
        at_steps = (position_of(token) for pattern in (*self.ignore, *self.only) for token in pattern.tokens
                    if isinstance(token, str))
        named = {at for at in at_steps if at is not None and low <= at < high}
        other = next((at for at in range(low, min(high, low + len(named) + 1)) if at not in named), None)
        for at in sorted(named) + ([] if other is None else [other]):
            steps = (*entry.path, at)
            if self.ignored(steps, entry.keyed):
                continue
            if not self.only or any(pattern.run(steps, entry.keyed) != frozenset() for pattern in self.only):
                return True  # at or below a match, or a match may go on inside the unknown item
        return False


@dataclass(frozen=True, slots=True, init=False)
class Filter:
    """The filters, compiled once and reusable for any number of Outputs.

    ignore  JSON pointer patterns: an entry at or below a matching path is left out, and so is
            an item of a length change at or below one (the length change goes when none is left).
    only    JSON pointer patterns: only entries at or below a matching path are kept, and those
            above one whose values hold a matching path, since they change what is there too
            (a removed mapping with the key, a kind change to a list with the position, an
            inserted or deleted item that holds it, the added or removed items of a length
            change that hold it).
    float_tolerance
            a number (absolute) or a Tolerance(abs=, rel=): a float-against-float value
            change within it is left out. An int against a float stays a type change, and
            NaN stays a change.

    In a pattern, "*" matches one step and "**" any number of steps (none included), wherever
    they stand; other steps match a key or a position by their text ("/items/0" matches
    position 0), and ~(KEY) a key that is not a string alone (~(1), ~(true)). A pattern that
    is not one ("users", "/a~2", "/items/[0]") raises ValueError.

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
        return self.kept(entry) is not None

    def kept(self, entry: Entry) -> Entry | None:
        """`entry` as the filters leave it (a length change may lose tail items), or None."""
        tolerance, compiled = self.float_tolerance, self._compiled
        if tolerance is not None and entry.kind == "changed" and isinstance(entry.a, float) and isinstance(entry.b, float):
            if math.isclose(entry.a, entry.b, rel_tol=tolerance.rel, abs_tol=tolerance.abs):
                return None
        if not compiled.ignore and not compiled.only:
            return entry
        if compiled.ignored(entry.path, entry.keyed):
            return None
        if entry.kind == "length_changed":
            return compiled.kept_tail(entry)
        return entry if compiled.wanted(entry.path, entry.keyed, _values(entry)) else None

    def entries(self, out: Output, *, a: object = MISSING, b: object = MISSING) -> list[Entry]:
        """The entries of `out` that the filters keep, in walk order (see `entries`)."""
        documents = a is not MISSING and b is not MISSING
        kept_runs: list[list[Entry]] = []
        for run in runs(out):
            kept: list[Entry] = []
            for entry in run:
                if documents:
                    entry = with_keys(entry, a)
                    if entry.kind == "length_changed":
                        entry = with_tail(entry, a, b)
                left = self.kept(entry)
                if left is not None:
                    kept.append(left)
            kept_runs.append(kept)
        return merge(kept_runs, a)

    def is_same(self, out: Output) -> bool:
        """Whether the filters leave nothing of `out`."""
        if self.float_tolerance is None and not self.ignore and not self.only:
            return not any(getattr(out, name) for name in _LISTS)
        return not any(self.kept(entry) for run in runs(out) for entry in run)


def _values(entry: Entry) -> tuple[object, ...]:
    """What an entry puts at its path or takes away from it."""
    if entry.kind in ("added", "inserted"):
        return (entry.b,)
    if entry.kind in ("removed", "deleted"):
        return (entry.a,)
    return entry.a, entry.b


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
