"""Differences as `==` sees them, to explain a failed `assert x == y`: corvane's, less those `==`
does not count (1 against 1.0, True against 1), with sets compared as sets (their missing and
extra members) and dataclasses of one class field by field."""

from __future__ import annotations

import dataclasses
from collections.abc import Set
from dataclasses import dataclass

from ._compare import CompareError, compare
from ._entries import WORDS, Entry
from ._filters import entries
from ._paths import value_at
from ._text import printable, shorten


class _Members(dict[object, bool]):
    """A set as a mapping of its members, so that corvane lists those one side lacks."""


class _Fields(dict[str, object]):
    """A dataclass instance as a mapping of the fields its == compares."""


@dataclass(frozen=True, slots=True)
class MemberEntry(Entry):
    """A member one set has and the other lacks: `path` is the set's, `a` or `b` the member."""

    def text(self, width: int = 60) -> str:
        member = self.b if self.kind == "added" else self.a
        return f"{printable(self.pointer) or '(root)'}: {WORDS[self.kind]} member {shorten(member, width)}"


def _is_instance(value: object) -> bool:
    return dataclasses.is_dataclass(value) and not isinstance(value, type)


Pair = tuple[object, object]


def _paired(left: object, right: object, memo: dict[tuple[int, int], Pair]) -> Pair:
    """left and right with the sets and dataclass instances they hold at the same places made
    into mappings corvane walks; every other value stays the very object."""
    key = (id(left), id(right))
    if key in memo:  # a value met again, inside itself or elsewhere
        return memo[key]
    if isinstance(left, Set) and isinstance(right, Set):
        pair: Pair = (_Members(dict.fromkeys(left, True)), _Members(dict.fromkeys(right, True)))
    elif _is_instance(left) and type(left) is type(right):
        fields, other = _Fields(), _Fields()
        memo[key] = pair = (fields, other)
        for field in dataclasses.fields(left):  # type: ignore[arg-type]
            if field.compare:
                fields[field.name], other[field.name] = _paired(getattr(left, field.name), getattr(right, field.name), memo)
    elif isinstance(left, dict) and isinstance(right, dict):
        mapping, other_mapping = dict(left), dict(right)
        memo[key] = pair = (mapping, other_mapping)
        for k in [k for k in left if k in right]:
            mapping[k], other_mapping[k] = _paired(left[k], right[k], memo)
    elif isinstance(left, list) and isinstance(right, list):
        items, other_items = list(left), list(right)
        memo[key] = pair = (items, other_items)
        for i in range(min(len(left), len(right))):
            items[i], other_items[i] = _paired(left[i], right[i], memo)
    elif isinstance(left, tuple) and isinstance(right, tuple):  # a tuple cannot hold itself but through a list
        paired = [_paired(x, y, memo) for x, y in zip(left, right)]
        pair = (tuple(x for x, _ in paired) + left[len(paired):], tuple(y for _, y in paired) + right[len(paired):])
    else:
        pair = (left, right)
    memo[key] = pair
    return pair


def _equal_to_python(entry: Entry) -> bool:
    """Whether `==` (as a container comparison makes it) counts the two values equal."""
    if entry.kind not in ("changed", "type_changed"):
        return False
    try:
        return entry.a is entry.b or bool(entry.a == entry.b)
    except Exception:  # noqa: BLE001 - an __eq__ or __bool__ that raises: not equal
        return False


def _as_python_sees(entry: Entry, left: object) -> Entry:
    if entry.kind in ("added", "removed") and isinstance(value_at(left, entry.path[:-1]), _Members):
        member = entry.path[-1]
        return MemberEntry(entry.kind, entry.path[:-1], member, member, keyed=frozenset(i for i in entry.keyed if i < len(entry.path) - 1))
    if entry.kind == "type_changed" and type(entry.a) is type(entry.b):
        # Two values of one kind that corvane has no rule for (say, two Decimals): a change of value.
        return Entry("changed", entry.path, entry.a, entry.b, keyed=entry.keyed)
    return entry


def equality_differences(left: object, right: object) -> list[Entry]:
    """The differences of `left` and `right` that `==` counts too, in walk order ([] when
    corvane cannot compare them)."""
    try:
        left, right = _paired(left, right, {})
    except RecursionError:  # nested deeper than the interpreter recurses: compared as they are
        pass
    try:
        out = compare(left, right, quiet=True)
    except CompareError:
        return []
    return [_as_python_sees(entry, left) for entry in entries(out, a=left, b=right) if not _equal_to_python(entry)]
