"""One comparison under either rule set as entries, the one-call `diff`, and the assertion built on
it. Under the data rules the engine gives (kind, path, a, b) tuples in walk order; they become
entries here, with what reports and patches need that the tuples do not say."""

from __future__ import annotations

import functools
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Final, Literal

from ._compare import CompareError, compare, guarded
from ._data import DataRules, Lists
from ._entries import KINDS, Differences, Entry, Kind, KeyLabel, Note, marked_keys, tail_items
from ._filters import Filter, Patterns, ToleranceSpec, _patterns, compile_filter
from ._lines import report_text
from ._paths import MISSING, child, json_pointer, position_of, value_at

Rules = Literal["data", "python"]

DATA: Final = DataRules()
_ASSERT_LIMIT = 100  # entries an AssertionError lists before it says how many more there are


@functools.lru_cache(maxsize=64)
def _cached_rules(nan_equal: bool, lists: Lists, list_keys: tuple[str, ...], unordered: tuple[str, ...]) -> DataRules:
    return DataRules(nan_equal=nan_equal, lists=lists, list_keys=list_keys, unordered=unordered)


def rules_of(
    rules: Rules = "data",
    lists: Lists | None = None,
    list_keys: str | Iterable[str] = (),
    unordered: str | Iterable[str] = (),
    nan_equal: bool | None = None,
) -> DataRules | None:
    """The DataRules these options name, or None for corvane's own rules (ValueError for options
    that corvane's own rules do not have: aligned, keyed or unordered lists, NaN equal to NaN)."""
    keys, multisets = _patterns(list_keys), _patterns(unordered)
    if rules == "python":
        if lists == "align" or keys or multisets:
            raise ValueError("lists, list_keys and unordered are options of the data rules: "
                             "corvane's own rules (rules='python') compare lists by position")
        if nan_equal:
            raise ValueError("under corvane's own rules (rules='python') NaN differs from itself: nan_equal=True "
                             "needs rules='data'")
        return None
    if rules != "data":
        raise ValueError(f"rules is 'data' or 'python', not {rules!r}")
    return _cached_rules(nan_equal is not False, lists or "align", keys, multisets)


def differences(a: object, b: object, rules: DataRules | None = DATA, kept: Filter | None = None, *,
                quiet: bool = False) -> Differences:
    """The differences of `a` and `b` under `rules` (None: corvane's own) that `kept` keeps, in walk
    order, with the notes of the comparison. A failure of the comparison raises CompareError;
    `quiet` as for `compare`."""
    kept = kept or compile_filter()
    if rules is None:
        return Differences(kept.entries(compare(a, b, quiet=quiet), a=a, b=b))
    builder = EntryBuilder(rules, a, b)
    found: list[Entry] = []
    notes: list[Note] = []
    for kind, path, x, y in guarded(rules.differences, a, b, quiet=quiet):
        if kind == "unaligned":
            assert isinstance(x, int) and isinstance(y, int)
            notes.append(Note("unaligned", path, x, y, marked_keys(path, a)))
            continue
        left = kept.kept(builder.entry(kind, path, x, y))
        if left is not None:
            found.append(left)
    return Differences(found, [note for note in notes if _explains(note, found)], rules)


def _explains(note: Note, found: Sequence[Entry]) -> bool:
    # A note is said only beside a difference it bears on: one in the lists it names.
    size = len(note.path)
    return any(entry.path[:size] == note.path for entry in found)


class EntryBuilder:
    """Entries of one comparison under the data rules from the engine's tuples, fed in walk order:
    int steps that are mapping keys marked, the keys of keyed list items, where an inserted item
    goes among a's, the items of a length change; and paths of a's items turned into b's."""

    def __init__(self, rules: DataRules, a: object, b: object) -> None:
        self.rules, self.a, self.b = rules, a, b
        # A list's path (a's steps) -> [items inserted, items deleted] so far: under alignment, the
        # item a's position i is paired with is b's i + inserted - deleted.
        self.counts: dict[tuple[object, ...], list[int]] = {}

    def entry(self, kind: str, path: tuple[object, ...], x: object, y: object) -> Entry:
        assert kind in _KINDS
        keyed = marked_keys(path, self.a)
        at_a = None
        if kind in ("inserted", "deleted"):
            counts = self.counts.setdefault(path[:-1], [0, 0])
            if kind == "inserted":
                assert type(path[-1]) is int
                at_a = path[-1] - counts[0] + counts[1]
            counts[kind == "deleted"] += 1
        keys = self._keys(kind, path, x, y, keyed) if self.rules.list_keys else ()
        tail = self._tail(path, x, y) if kind == "length_changed" else None
        return Entry(_KINDS[kind], path, x, y, tail, None, keyed, keys, at_a)

    def _keys(self, kind: str, path: tuple[object, ...], x: object, y: object, keyed: frozenset[int]) -> tuple[KeyLabel, ...]:
        labels: list[KeyLabel] = []
        last = len(path) - 1
        value, reached = self.a, 0  # a's value at path[:reached], read as far as a keyed item needs
        for i, step in enumerate(path):
            if type(step) is not int or i in keyed:
                continue  # not a list position
            mode, key = self.rules.mode_at(path[:i])
            if mode != "keyed":
                continue
            if i == last and kind in ("inserted", "deleted"):
                item = y if kind == "inserted" else x
            else:
                value, reached = value_at(value, path[reached : i + 1]), i + 1
                item = value
            found = _key_value(item, key)
            if found is not MISSING:
                labels.append((i + 1, json_pointer(key), found))
        return tuple(labels)

    def _tail(self, path: tuple[object, ...], a_len: object, b_len: object) -> tuple[object, ...] | None:
        assert type(a_len) is int and type(b_len) is int
        if b_len > a_len:
            where = self.to_b(path)
            return None if where is None else tail_items(value_at(self.b, where), a_len, b_len)
        return tail_items(value_at(self.a, path), a_len, b_len)

    def to_b(self, path: Sequence[object]) -> tuple[object, ...] | None:
        """The path in b of what lies at `path` in a, the pairs on the way as the entries fed so
        far place them (call it at the entry); None when that cannot be told."""
        steps: list[object] = []
        va, vb = self.a, self.b
        for i, step in enumerate(path):
            j = step
            if type(step) is int and not isinstance(va, Mapping):
                if not isinstance(va, Sequence) or not isinstance(vb, Sequence):
                    return None  # an iterator, drained by the walk
                mode, key = self.rules.mode_at(path[:i]) if self.rules.pairs_by_pattern else (self.rules.lists, ())
                if mode == "align":
                    inserted, deleted = self.counts.get(tuple(path[:i]), (0, 0))
                    j = step + inserted - deleted
                elif mode == "keyed":
                    found = _find_key(vb, _key_value(child(va, step), key), key)
                    if found is None:
                        return None
                    j = found
                elif mode == "unordered":
                    return None
            steps.append(j)
            va, vb = child(va, step), child(vb, j)
            if vb is MISSING:
                return None
        return tuple(steps)


_KINDS: Final[dict[str, Kind]] = {kind: kind for kind in KINDS}


def _key_value(item: object, key: tuple[str, ...]) -> object:
    """The value at `key` inside an item, read as the engine reads it (a step into a list by its digits)."""
    value = item
    for step in key:
        if isinstance(value, dict):
            value = dict.get(value, step, MISSING)
        elif isinstance(value, (list, tuple)) and (at := position_of(step)) is not None:
            value = value[at] if at < len(value) else MISSING
        else:
            return MISSING
        if value is MISSING:
            return MISSING
    return value


def _find_key(items: Sequence[object], value: object, key: tuple[str, ...]) -> int | None:
    """The position of the first item whose key is `value` (of its very type: True is not 1)."""
    if value is MISSING:
        return None
    for j, item in enumerate(items):
        other = _key_value(item, key)
        if type(other) is type(value) and other == value:
            return j
    return None


# --- the one call ---------------------------------------------------------------------------------


def diff(
    a: object,
    b: object,
    *,
    rules: Rules = "data",
    lists: Lists | None = None,
    list_keys: str | Iterable[str] = (),
    unordered: str | Iterable[str] = (),
    nan_equal: bool | None = None,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
) -> Differences:
    """The differences of `a` and `b` as a list of entries in walk order, filtered.

    rules="data" (the default) compares them as data documents mean them: bool a kind of its
    own, strings and bytes values, ints and strings compared exactly whatever their size or
    code points, NaN equal to NaN (nan_equal=False: different), dates by their fields, and the
    items of lists aligned (lists="align": an inserted or deleted item is one entry) or paired
    by position (lists="position"); `list_keys` ("/users=/id": the lists at a pattern matched by
    the value at a pointer in each item) and `unordered` (patterns of lists compared as
    multisets) pair the items of some lists otherwise. rules="python" is corvane's own rules,
    lists by position (the list options then raise ValueError).

    The result is a list of Entry records; its `notes` say where lists differed too much to
    align. The filters are those of `entries`. A comparison that fails raises CompareError.
    """
    return differences(a, b, rules_of(rules, lists, list_keys, unordered, nan_equal),
                       compile_filter(ignore, only, float_tolerance))


def assert_same(
    a: object,
    b: object,
    *,
    rules: Rules = "data",
    lists: Lists | None = None,
    list_keys: str | Iterable[str] = (),
    unordered: str | Iterable[str] = (),
    nan_equal: bool | None = None,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
) -> None:
    """Raise AssertionError listing the differences when `a` and `b` differ after the filters.

    Strict, by the rules of `diff` (the data rules unless rules="python"): 1 and 1.0 differ, and
    so do True and 1. A failure of the comparison itself raises CompareError.
    """
    __tracebackhide__ = True  # pytest shows the caller's line
    found = differences(a, b, rules_of(rules, lists, list_keys, unordered, nan_equal),
                        compile_filter(ignore, only, float_tolerance))
    if found:
        raise AssertionError("the two differ:\n" + report_text(found, limit=_ASSERT_LIMIT))
