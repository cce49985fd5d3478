"""Differences as `==` sees them, to explain a failed `assert x == y`: those of the data rules with
lists aligned (an item inserted into a long list is one difference, not a shift of every item
after it), less those `==` does not count (1 against 1.0, True against 1), with sets compared as
sets (their missing and extra members) and dataclasses of one class field by field."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable, Set
from dataclasses import dataclass
from typing import Final

from ._compare import CompareError, guarded
from ._data import DataRules
from ._diff import EntryBuilder
from ._entries import WORDS, Entry
from ._paths import value_at
from ._text import printable, shorten

# == tells NaN from NaN but for the very same object, which _equal_to_python looks at.
_RULES: Final = DataRules(nan_equal=False, lists="align")
# The key under which a set or a dataclass instance made into a dict says what it was: a step no
# field name and no key of a document pair holds (a set's member could, and is then taken for it).
_TAG: Final = "\x00was"


@dataclass(frozen=True, slots=True)
class MemberEntry(Entry):
    """A member one set has and the other lacks: `path` is the set's, `a` or `b` the member."""

    def text(self, width: int = 60) -> str:
        member = self.b if self.kind == "added" else self.a
        return f"{printable(self.pointer) or '(root)'}: {WORDS[self.kind]} member {shorten(member, width)}"


def _is_instance(value: object) -> bool:
    return dataclasses.is_dataclass(value) and not isinstance(value, type)


class _Plain:
    """A value as `==` compares it, in the forms the data rules walk and align: numbers that ==
    calls equal made one (True and 1.0 are 1), sets and dataclass instances plain dicts (a set:
    its members as keys; an instance: the fields its == compares), each with a _TAG step saying
    what it was. Containers are copied only where something inside changed; each copy's original
    is kept by its id, and each changed number's by its container's id and its step."""

    def __init__(self) -> None:
        self.originals: dict[int, object] = {}
        self.numbers: dict[tuple[int, object], object] = {}
        self.sets: set[int] = set()
        self._inside: set[int] = set()

    def original(self, value: object, container: object = None, step: object = None) -> object:
        """The original of `value`, found at `step` of the (converted) `container`."""
        if type(value) is int and container is not None:
            return self.numbers.get((id(container), step), value)
        return self.originals.get(id(value), value)

    def of(self, value: object) -> object:
        if type(value) is bool:
            return int(value)
        if type(value) is float:
            return int(value) if value.is_integer() else value
        if isinstance(value, Set):
            members: dict[object, object] = {_TAG: "set"}
            members.update(dict.fromkeys(value, True))
            self.sets.add(id(members))
            return self._copy(members, value)
        if not isinstance(value, (dict, list, tuple)) and not _is_instance(value):
            return value
        if id(value) in self._inside:  # met again inside itself: left as it is
            return value
        self._inside.add(id(value))
        try:
            return self._container(value)
        finally:
            self._inside.discard(id(value))

    def _container(self, value: object) -> object:
        if isinstance(value, dict):
            items = {key: self.of(item) for key, item in value.items()}
            if all(items[key] is item for key, item in value.items()):
                return value
            return self._copy(items, value, value.items())
        if isinstance(value, (list, tuple)):
            converted = [self.of(item) for item in value]
            if all(new is old for new, old in zip(converted, value)):
                return value
            return self._copy(converted if isinstance(value, list) else tuple(converted), value, enumerate(value))
        kind = type(value)
        fields: dict[object, object] = {_TAG: f"{kind.__module__}.{kind.__qualname__}@{id(kind)}"}
        for field in dataclasses.fields(value):  # type: ignore[arg-type]
            if field.compare:
                fields[field.name] = self.of(getattr(value, field.name))
        return self._copy(fields, value)

    def _copy(self, copy: object, value: object, items: Iterable[tuple[object, object]] = ()) -> object:
        self.originals[id(copy)] = value
        for step, item in items:
            if type(item) in (bool, float):
                self.numbers[id(copy), step] = item
        return copy


def _equal_to_python(entry: Entry) -> bool:
    """Whether `==` (as a container comparison makes it) counts the two values equal."""
    if entry.kind not in ("changed", "type_changed"):
        return False
    try:
        return entry.a is entry.b or bool(entry.a == entry.b)
    except Exception:  # noqa: BLE001 - an __eq__ or __bool__ that raises: not equal
        return False


def equality_differences(left: object, right: object) -> list[Entry]:
    """The differences of `left` and `right` that `==` counts too, in walk order, lists aligned
    ([] when they cannot be compared)."""
    plain = _Plain()
    try:
        a, b = plain.of(left), plain.of(right)
    except RecursionError:  # nested deeper than the interpreter recurses: compared as they are
        plain, a, b = _Plain(), left, right
    try:
        raw = guarded(_RULES.differences, a, b, quiet=True)
    except CompareError:
        return []
    builder = EntryBuilder(_RULES, a, b)
    found: list[Entry] = []
    retyped: dict[tuple[object, ...], Entry] = {}  # a container whose two sides were of two kinds
    for kind, path, x, y in raw:
        if _TAG in path:
            where = path[: path.index(_TAG)]
            if where not in retyped:
                other = builder.to_b(where)
                retyped[where] = Entry("type_changed", where, plain.original(value_at(a, where)),
                                       plain.original(value_at(b, other)) if other is not None else None)
                found.append(retyped[where])
            continue
        found.append(_as_python_sees(builder.entry(kind, path, x, y), plain, builder))
    if retyped:
        found = [entry for entry in found if not _below(entry.path, retyped) or entry.path in retyped]
    return [entry for entry in found if not _equal_to_python(entry)]


def _below(path: tuple[object, ...], containers: dict[tuple[object, ...], Entry]) -> bool:
    return any(path[:size] in containers for size in range(len(path) + 1))


def _originals(entry: Entry, plain: _Plain, builder: EntryBuilder) -> tuple[object, object]:
    """The two values of `entry` as the compared documents hold them."""
    if not entry.path:
        return plain.original(entry.a), plain.original(entry.b)
    where, step = entry.path[:-1], entry.path[-1]
    x = plain.original(entry.a, value_at(builder.a, where), step)
    # An inserted item's step is b's already; another's is where b's side of it lies, when told.
    whole = None if entry.kind == "inserted" else builder.to_b(entry.path)
    other, b_step = (whole[:-1], whole[-1]) if whole is not None else (builder.to_b(where), step)
    if other is None:
        return x, plain.original(entry.b)
    return x, plain.original(entry.b, value_at(builder.b, other), b_step)


def _as_python_sees(entry: Entry, plain: _Plain, builder: EntryBuilder) -> Entry:
    x, y = _originals(entry, plain, builder)
    if entry.kind in ("added", "removed") and id(value_at(builder.a, entry.path[:-1])) in plain.sets:
        member = entry.path[-1]
        return MemberEntry(entry.kind, entry.path[:-1], member, member,
                           keyed=frozenset(i for i in entry.keyed if i < len(entry.path) - 1))
    if entry.kind == "type_changed" and type(x) is type(y):
        # Two values of one kind that the rules have no rule for (say, two Decimals): a change of value.
        return Entry("changed", entry.path, x, y, keyed=entry.keyed)
    if x is entry.a and y is entry.b:
        return entry
    return dataclasses.replace(entry, a=x, b=y)
