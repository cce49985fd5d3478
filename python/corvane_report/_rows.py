"""Keyed rows: two collections of records matched by a key and compared pair by pair.

A key is one or more JSON pointers into a record. Two rows share a key when the values at those
pointers have the same JSON text: 1 and 1.0 are different keys, and so are true and 1. Order of
the results: by key, values compared component by component: null, then false and true, then
numbers by value (NaN last), then strings, then anything else by its JSON text.
"""

from __future__ import annotations

import json
from collections import Counter
from collections.abc import Generator, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Final, Literal, NamedTuple

from ._compare import CompareError, compare
from ._entries import Entry
from ._filters import Filter, Patterns, ToleranceSpec, compile_filter
from ._paths import json_pointer, split_pointer
from ._text import SCALAR_TEXT

RowKind = Literal["only_in_a", "only_in_b", "changed", "duplicate_key"]
ROW_KINDS: Final[tuple[RowKind, ...]] = ("only_in_a", "only_in_b", "changed", "duplicate_key")


class RowsError(Exception):
    """Rows that cannot be compared: a missing key field, an unreadable line, a failed comparison.
    The message names the file (or side) and the row."""


class RowAt(NamedTuple):
    """A row and where it was read: "file:N", N the line of a JSON Lines file or the row (from 1)
    of a Parquet file or an iterable."""

    at: str
    row: object


@dataclass(frozen=True, slots=True)
class RowDiff:
    """One key whose rows are not equal.

    kind     "only_in_a", "only_in_b", "changed", or "duplicate_key" (more than one row with
             the key on a side: all of them, on both sides, are here and none is compared)
    key      the key's values, one per pointer
    a, b     the rows with the key on each side (none, one, or several)
    entries  for "changed": the differences, in walk order, that the filters keep
    """

    kind: RowKind
    key: tuple[object, ...]
    a: tuple[RowAt, ...]
    b: tuple[RowAt, ...]
    entries: tuple[Entry, ...] = ()


@dataclass(slots=True)
class RowSummary:
    """Counts of one comparison. `fields`: for each changed field (positions folded to "*"),
    the number of changed rows in which it changed."""

    rows_a: int = 0
    rows_b: int = 0
    only_in_a: int = 0
    only_in_b: int = 0
    changed: int = 0
    equal: int = 0
    duplicate_keys: int = 0
    fields: Counter[str] = field(default_factory=Counter)

    def add(self, other: RowSummary) -> None:
        for name in ("rows_a", "rows_b", "only_in_a", "only_in_b", "changed", "equal", "duplicate_keys"):
            setattr(self, name, getattr(self, name) + getattr(other, name))
        self.fields.update(other.fields)

    @property
    def differ(self) -> bool:
        return bool(self.only_in_a or self.only_in_b or self.changed or self.duplicate_keys)

    def count(self, found: RowDiff) -> None:
        """Counts a result of `compare_key` (the rows themselves are counted by the caller)."""
        if found.kind == "changed":
            self.changed += 1
            self.fields.update({field_pattern(entry) for entry in found.entries})
        elif found.kind == "only_in_a":
            self.only_in_a += 1
        elif found.kind == "only_in_b":
            self.only_in_b += 1
        else:
            self.duplicate_keys += 1


def field_pattern(entry: Entry) -> str:
    """The entry's pointer with positions as "*", so that one field of every list item counts once."""
    return json_pointer(["*" if type(step) is int else step for step in entry.path]) or "(root)"


# --- keys -------------------------------------------------------------------------------------------


class RowKey:
    """Compiled key pointers: `values(row)` reads them from a record."""

    __slots__ = ("pointers", "steps")

    def __init__(self, pointers: str | Sequence[str]) -> None:
        self.pointers: tuple[str, ...] = (pointers,) if isinstance(pointers, str) else tuple(pointers)
        if not self.pointers:
            raise ValueError("a key needs at least one JSON pointer")
        self.steps = tuple(tuple(split_pointer(p)) for p in self.pointers)
        if any(not steps for steps in self.steps):
            raise ValueError("a key pointer names a field of the row, not the whole row ('')")

    def __repr__(self) -> str:
        return f"RowKey({list(self.pointers)!r})"

    def find(self, row: object) -> tuple[object, ...] | None:
        """The key of `row`, or None when a pointer leads nowhere."""
        found = tuple(_follow(row, steps) for steps in self.steps)
        return None if any(value is _NOWHERE for value in found) else found

    def values(self, row: object, where: str) -> tuple[object, ...]:
        """The key of `row`; RowsError naming `where` when a pointer leads nowhere."""
        found = self.find(row)
        if found is None:
            raise RowsError(f"{where}: {self.missing(row)}")
        return found

    def missing(self, row: object) -> str:
        """What keeps `row` from having a key, for an error message."""
        if not isinstance(row, Mapping):
            return f"the row is {type(row).__name__}, not an object with the key {', '.join(self.pointers)}"
        absent = [p for p, steps in zip(self.pointers, self.steps) if _follow(row, steps) is _NOWHERE]
        return f"the row has no value at the key {', '.join(absent)}"

    def shown(self, values: Sequence[object]) -> dict[str, object]:
        """The key as {pointer: value}, for reports."""
        return dict(zip(self.pointers, values))


_NOWHERE: Final = object()


def _follow(row: object, steps: Sequence[str]) -> object:
    value = row
    for step in steps:
        if isinstance(value, Mapping):
            value = value.get(step, _NOWHERE)
        elif isinstance(value, (list, tuple)) and step.isdigit() and int(step) < len(value):
            value = value[int(step)]
        else:
            return _NOWHERE
        if value is _NOWHERE:
            return value
    return value


def key_text(values: Sequence[object]) -> str:
    """The key as JSON text (an array's items without brackets): equal text, same key."""
    parts = []
    for value in values:
        scalar = SCALAR_TEXT.get(type(value))
        parts.append(scalar(value) if scalar is not None else _other_text(value))
    return ",".join(parts)


def _other_text(value: object) -> str:
    try:
        return json.dumps(value, sort_keys=True, ensure_ascii=False, separators=(",", ":"), default=repr)
    except (TypeError, ValueError):  # keys of mixed kinds cannot be sorted
        return repr(value)


_Order = tuple[int, int, float | int, str]


def key_order(values: Sequence[object]) -> tuple[_Order, ...]:
    """Sort key of a key's values (see the module's doc string)."""
    return tuple(_component_order(value) for value in values)


def _component_order(value: object) -> _Order:
    if value is None:
        return (0, 0, 0, "")
    if type(value) is bool:
        return (1, 0, int(value), "")
    if type(value) is int or type(value) is float:
        if value != value:
            return (2, 1, 0, "")
        return (2, 0, value, SCALAR_TEXT[type(value)](value))
    if type(value) is str:
        return (3, 0, 0, value)
    return (4, 0, 0, _other_text(value))


# --- comparing the rows of one key -------------------------------------------------------------------


def compare_key(key: RowKey, values: tuple[object, ...], a: Sequence[RowAt], b: Sequence[RowAt], rules: Filter) -> RowDiff | None:
    """What the rows with the key `values` amount to, or None when a single row each side is equal."""
    if len(a) > 1 or len(b) > 1:
        return RowDiff("duplicate_key", values, tuple(a), tuple(b))
    if not b:
        return RowDiff("only_in_a", values, tuple(a), ())
    if not a:
        return RowDiff("only_in_b", values, (), tuple(b))
    (first,), (second,) = a, b
    try:
        out = compare(first.row, second.row, quiet=True)
    except CompareError as exc:
        where = "" if exc.path is None else f" at {json_pointer(exc.path) or '(root)'} of {first.at if exc.side == 'a' else second.at}"
        shown = json.dumps(key.shown(values), ensure_ascii=False, default=repr)
        raise RowsError(f"cannot compare {first.at} with {second.at} (key {shown}): {exc.reason}{where}") from None
    found = rules.entries(out, a=first.row, b=second.row)
    return RowDiff("changed", values, (first,), (second,), tuple(found)) if found else None


def sort_found(found: list[tuple[tuple[_Order, ...], str, RowDiff]]) -> list[RowDiff]:
    """Results (each with its key order and key text) in key order."""
    found.sort(key=lambda item: (item[0], item[1]))
    return [diff for _, _, diff in found]


# --- in memory ---------------------------------------------------------------------------------------


class RowDiffs(Iterator[RowDiff]):
    """The results of a comparison of rows, read as they come; `summary` is complete once they
    are all read. As a context manager, leaving the block ends the comparison (and frees what
    it holds, such as temporary files) even when not all results were read."""

    def __init__(self, results: Generator[RowDiff], summary: RowSummary) -> None:
        self._results = results
        self.summary = summary

    def __next__(self) -> RowDiff:
        return next(self._results)

    def close(self) -> None:
        self._results.close()

    def __enter__(self) -> RowDiffs:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _grouped(rows: Iterable[object], key: RowKey, side: str) -> tuple[dict[str, list[RowAt]], dict[str, tuple[object, ...]]]:
    groups: dict[str, list[RowAt]] = {}
    values: dict[str, tuple[object, ...]] = {}
    for number, row in enumerate(rows, 1):
        at = f"{side}:{number}"
        found = key.values(row, at)
        text = key_text(found)
        groups.setdefault(text, []).append(RowAt(at, row))
        values.setdefault(text, found)
    return groups, values


def diff_rows(
    a_rows: Iterable[object],
    b_rows: Iterable[object],
    key: str | Sequence[str],
    *,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
) -> RowDiffs:
    """Compare two collections of records (mappings) matched by `key`, one JSON pointer or several.

    Yields a RowDiff for every key whose rows are not equal under corvane (after the filters,
    as in `entries`): rows only in a, rows only in b, changed rows with their differences, and
    keys held by more than one row of a side. Equal rows are counted in `.summary`, not listed.
    Results come in key order (see the module's doc string); rows are located as "a:N" and
    "b:N" (N from 1). Both sides are held in memory: for files larger than memory, use
    corvane_rows.diff_files, which gives the same results.

    Raises RowsError for a row without a key field, or a pair that corvane cannot compare.
    """
    compiled = RowKey(key)
    rules = compile_filter(ignore, only, float_tolerance)
    groups_a, values_a = _grouped(a_rows, compiled, "a")
    groups_b, values_b = _grouped(b_rows, compiled, "b")
    summary = RowSummary(rows_a=sum(map(len, groups_a.values())), rows_b=sum(map(len, groups_b.values())))
    return RowDiffs(_results(compiled, rules, groups_a, groups_b, values_a | values_b, summary), summary)


def _results(key: RowKey, rules: Filter, groups_a: dict[str, list[RowAt]], groups_b: dict[str, list[RowAt]],
             values: dict[str, tuple[object, ...]], summary: RowSummary) -> Generator[RowDiff]:
    ordered = sorted(values, key=lambda text: (key_order(values[text]), text))
    for text in ordered:
        found = compare_key(key, values[text], groups_a.get(text, ()), groups_b.get(text, ()), rules)
        if found is None:
            summary.equal += 1
            continue
        summary.count(found)
        yield found
