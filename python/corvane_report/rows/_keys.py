"""Keys: read from the rows, written as text, ordered; and the rows of one key compared.

A key is one or more JSON pointers into a record. Two rows share a key when the values at those
pointers have the same JSON text: 1 and 1.0 are different keys, and so are true and 1. Order of
the results: by key, values compared component by component: null, then false and true, then
numbers by value (NaN last), then strings, then anything else by its JSON text.
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Final, Literal

from ..report import SCALAR_TEXT, CompareError, DataRules, Filter, Patterns, ToleranceSpec, compile_filter, json_pointer, position_of, split_pointer
from ._results import RowAt, RowDiff, RowsError
from ._rules import ROW_RULES, absent_as_null, compare_rows

OnError = Literal["record", "fail"]


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
        elif isinstance(value, (list, tuple)) and (at := position_of(step)) is not None and at < len(value):
            value = value[at]
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


@dataclass(frozen=True, slots=True)
class Terms:
    """What every comparison of rows needs, in one value that travels to the workers: the key,
    the filter, the data rules, what a bad row does, and whether an absent field equals null. Built where the
    comparison is asked for, so that a bad pointer fails at once and not in a worker.

    on_error        "fail": the first row that cannot be read, keyed or compared raises
                    RowsError; "record": it becomes a RowDiff of kind "error" and the run goes on
    absent_is_null  a field absent on one side equals null on the other
    rules           the data rules rows are compared under (NaN against NaN, how lists pair)
    """

    key: RowKey
    filter: Filter
    on_error: OnError = "fail"
    absent_is_null: bool = False
    rules: DataRules = ROW_RULES

    @classmethod
    def of(cls, key: str | Sequence[str], ignore: Patterns = (), only: Patterns = (), float_tolerance: ToleranceSpec = None,
           on_error: OnError = "fail", absent_is_null: bool = False, rules: DataRules | None = None) -> Terms:
        if on_error not in ("record", "fail"):
            raise ValueError(f"on_error= is 'record' or 'fail', not {on_error!r}")
        return cls(RowKey(key), compile_filter(ignore, only, float_tolerance), on_error, absent_is_null,
                   ROW_RULES if rules is None else rules)

    def failed(self, message: str, values: tuple[object, ...], a: Sequence[RowAt], b: Sequence[RowAt]) -> RowDiff:
        """A row (or pair) that cannot be used: recorded as an error, or raised."""
        if self.on_error == "fail":
            raise RowsError(message)
        return RowDiff("error", values, tuple(a), tuple(b), error=message)


def compare_key(terms: Terms, values: tuple[object, ...], a: Sequence[RowAt], b: Sequence[RowAt]) -> RowDiff | None:
    """What the rows with the key `values` amount to, or None when a single row each side is equal."""
    if len(a) > 1 or len(b) > 1:
        return RowDiff("duplicate_key", values, tuple(a), tuple(b))
    if not b:
        return RowDiff("only_in_a", values, tuple(a), ())
    if not a:
        return RowDiff("only_in_b", values, (), tuple(b))
    (first,), (second,) = a, b
    try:
        found = compare_rows(first.row, second.row, terms.rules, terms.filter)
    except CompareError as exc:
        where = "" if exc.path is None else f" at {json_pointer(exc.path) or '(root)'} of {first.at if exc.side == 'a' else second.at}"
        shown = json.dumps(terms.key.shown(values), ensure_ascii=False, default=repr)
        return terms.failed(f"cannot compare {first.at} with {second.at} (key {shown}): {exc.reason}{where}", values, a, b)
    if terms.absent_is_null:
        found = absent_as_null(found)
    return RowDiff("changed", values, (first,), (second,), tuple(found)) if found else None


def sort_found(found: list[tuple[tuple[_Order, ...], str, RowDiff]]) -> list[RowDiff]:
    """Results (each with its key order and key text) in key order."""
    found.sort(key=lambda item: (item[0], item[1]))
    return [diff for _, _, diff in found]
