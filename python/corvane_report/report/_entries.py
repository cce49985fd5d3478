"""Entries: the five lists of an Output as one list of uniform records in walk order."""

from __future__ import annotations

import heapq
import itertools
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Final, Literal

from ._paths import MISSING, child, json_pointer, value_at
from ._text import printable, shorten, shorten_pair

if TYPE_CHECKING:
    from corvane import Output

    from ._data import DataRules

Kind = Literal["changed", "type_changed", "added", "removed", "inserted", "deleted", "length_changed"]
KINDS: Final[tuple[Kind, ...]] = ("changed", "type_changed", "added", "removed", "inserted", "deleted", "length_changed")

WORDS: Final[dict[Kind, str]] = {
    "changed": "changed",
    "type_changed": "type changed",
    "added": "added",
    "removed": "removed",
    "inserted": "inserted",
    "deleted": "deleted",
    "length_changed": "length changed",
}

# (how many steps of the path lead to the item, the key's pointer, the key's value in the item)
KeyLabel = tuple[int, str, object]


@dataclass(frozen=True, slots=True)
class Entry:
    """One difference.

    kind    "changed" (a ValChange), "type_changed" (a TypeAndValChange), "added" or
            "removed" (a DictDiff), "length_changed" (an IterLenMismatch); under the data
            rules also "inserted" (an item only b's list has) and "deleted" (one only a's has).
    path    the steps from the roots: mapping keys (a's) and sequence positions. For an added
            or removed item the item's own key is the last step; for an inserted item its
            position in b's list, for a deleted one its position in a's. Under the data rules,
            the positions of the paired items that lead to a difference are a's.
    a, b    the two values (the very objects); MISSING on the absent side of an added,
            removed, inserted or deleted item; the two lengths of a length change.
    tail    for a length change read with the documents: the items the longer side has past
            the shorter one's length (added to b when b is longer, else removed from a), less
            those the filters leave out; None when they are not known.
    tail_at the positions of the tail items when the filters left some out (None: they follow
            one another from the shorter length).
    keyed   the indexes of the int steps of `path` that are mapping keys rather than positions
            (known with the documents, and for the last step of an added or removed item).
    keys    for the items of keyed lists on the path: (how many steps lead to the item, the
            key's pointer, the item's key), so that a report shows which item a position is.
    at_a    for an inserted item: its place among a's items (how many of them come before it),
            so that a patch that leaves other items out still puts it where it belongs.
    """

    kind: Kind
    path: tuple[object, ...]
    a: object
    b: object
    tail: tuple[object, ...] | None = None
    tail_at: tuple[int, ...] | None = field(default=None, repr=False)
    keyed: frozenset[int] = field(default=frozenset(), repr=False, compare=False)
    keys: tuple[KeyLabel, ...] = field(default=(), repr=False, compare=False)
    at_a: int | None = field(default=None, repr=False, compare=False)

    @property
    def pointer(self) -> str:
        """The path as an RFC 6901 JSON pointer ("" for the roots); a mapping key that is not a
        string is written ~(KEY), as no pointer of text can tell it from the string key."""
        return json_pointer(self.path, self.keyed)

    def text(self, width: int = 60) -> str:
        """One line: the pointer, what happened, the values shortened to `width` characters."""
        return f"{self.where()}: {WORDS[self.kind]} {self.details(width)}"

    def where(self) -> str:
        """The pointer as a report shows it ("(root)" for the roots), then the keys of the keyed
        list items on the way, as in `/users/3/name [id=17]`."""
        shown = printable(self.pointer) or "(root)"
        if not self.keys:
            return shown
        return f"{shown} [{', '.join(f'{printable(key[1:])}={shorten(value, 30)}' for _, key, value in self.keys)}]"

    def details(self, width: int = 60) -> str:
        """The values of the line (`text` less the pointer and the kind). Two long strings that
        differ far from their start are shown around their first difference."""
        if self.kind in ("added", "inserted"):
            return shorten(self.b, width)
        if self.kind in ("removed", "deleted"):
            return shorten(self.a, width)
        if self.kind == "length_changed":
            return f"{self.a} -> {self.b} items"
        return " -> ".join(shorten_pair(self.a, self.b, width))

    def __str__(self) -> str:
        return self.text()

    @property
    def lengths(self) -> tuple[int, int]:
        """The two lengths of a length change (ValueError for the other kinds)."""
        if self.kind != "length_changed" or not isinstance(self.a, int) or not isinstance(self.b, int):
            raise ValueError(f"a {self.kind} entry has no lengths")
        return self.a, self.b

    def tail_positions(self) -> tuple[int, ...]:
        """The positions of the tail items ((), when they are not known)."""
        if self.kind != "length_changed" or not self.tail:
            return ()
        return self.tail_at if self.tail_at is not None else tuple(range(min(self.lengths), min(self.lengths) + len(self.tail)))

    def tail_entries(self) -> list[Entry]:
        """The tail items as added or removed entries at their own positions ([] if not known)."""
        if self.kind != "length_changed" or not self.tail:
            return []
        a_len, b_len = self.lengths
        added = b_len > a_len
        return [Entry("added" if added else "removed", (*self.path, at), MISSING if added else item,
                      item if added else MISSING, keyed=self.keyed)
                for at, item in zip(self.tail_positions(), self.tail)]


@dataclass(frozen=True, slots=True)
class Note:
    """What a report says beside the differences, counting as none of them: "unaligned", the
    lists at `path` differed too much to align within the budget and their items were compared
    by position (`a_len`, `b_len`: their lengths)."""

    kind: Literal["unaligned"]
    path: tuple[object, ...]
    a_len: int
    b_len: int
    keyed: frozenset[int] = field(default=frozenset(), repr=False, compare=False)

    @property
    def pointer(self) -> str:
        return json_pointer(self.path, self.keyed)

    def text(self) -> str:
        return (f"note: {printable(self.pointer) or '(root)'}: {self.a_len} -> {self.b_len} items differ too much "
                "to align; compared by position")

    def __str__(self) -> str:
        return self.text()


class Differences(list[Entry]):
    """The entries of one comparison in walk order (a list), with what a report says beside them:
    `notes`, and `rules`, the data rules they were found under (None for corvane's own)."""

    notes: tuple[Note, ...]
    rules: DataRules | None

    def __init__(self, found: Iterable[Entry] = (), notes: Iterable[Note] = (), rules: DataRules | None = None) -> None:
        super().__init__(found)
        self.notes = tuple(notes)
        self.rules = rules

    def __repr__(self) -> str:
        return f"Differences({list.__repr__(self)}, notes={self.notes!r})" if self.notes else list.__repr__(self)


def runs(out: Output) -> list[list[Entry]]:
    """The five lists of `out` as entries, each list in the walk's order (Output's order of lists)."""
    return [
        [Entry("changed", tuple(r.path), r.a, r.b) for r in out.val_changes],
        [Entry("type_changed", tuple(r.path), r.a, r.b) for r in out.type_and_val_changes],
        [Entry("added", (*r.path, r.key), MISSING, r.val, keyed=_last_key(r.path, r.key)) for r in out.dict_items_added],
        [Entry("removed", (*r.path, r.key), r.val, MISSING, keyed=_last_key(r.path, r.key)) for r in out.dict_items_removed],
        [Entry("length_changed", tuple(r.path), r.a_len, r.b_len) for r in out.iter_len_mismatch],
    ]


_NO_KEYS: frozenset[int] = frozenset()


def _last_key(path: list[object], key: object) -> frozenset[int]:
    return frozenset((len(path),)) if type(key) is int else _NO_KEYS


def marked_keys(path: tuple[object, ...], a: object, keyed: frozenset[int] = _NO_KEYS) -> frozenset[int]:
    """`keyed` with the indexes of the int steps of `path` that are mapping keys of `a` added."""
    if not any(type(step) is int for step in path):
        return keyed
    marked = set(keyed)
    value = a
    for i, step in enumerate(path):
        if type(step) is int and isinstance(value, Mapping):
            marked.add(i)
        value = child(value, step)
        if value is MISSING:
            break
    return keyed if len(marked) == len(keyed) else frozenset(marked)


def with_keys(entry: Entry, a: object) -> Entry:
    """The entry with the int steps of its path that are mapping keys of `a` marked (`keyed`)."""
    keyed = marked_keys(entry.path, a, entry.keyed)
    if keyed is entry.keyed:
        return entry
    return Entry(entry.kind, entry.path, entry.a, entry.b, entry.tail, entry.tail_at, keyed, entry.keys, entry.at_a)


def tail_items(items: object, a_len: int, b_len: int) -> tuple[object, ...] | None:
    """The items the longer side of a length change has beyond the shorter, from the longer
    side's value; None when that cannot be read (an iterator the walk drained, a document that
    is not the one compared)."""
    if not isinstance(items, Sequence) or len(items) != max(a_len, b_len):
        return None
    return tuple(items[min(a_len, b_len):])


def with_tail(entry: Entry, a: object, b: object) -> Entry:
    """A length change with its tail items read from the documents (unchanged when unreadable)."""
    a_len, b_len = entry.lengths
    tail = tail_items(value_at(b if b_len > a_len else a, entry.path), a_len, b_len)
    if tail is None:
        return entry
    return Entry(entry.kind, entry.path, entry.a, entry.b, tail, keyed=entry.keyed)


# --- walk order ---------------------------------------------------------------------------------
# Each list is in walk order, so the merged order is a merge of five sorted runs. Two entries of
# different runs are ordered by the first step where their paths part: positions by value, keys
# of a mapping by a's item order with b's added keys after them. A length change comes after
# everything inside its sequences. a's item order is read from the first document when it is
# given; without it, the order of two keys that no run relates is taken as integers by value,
# other keys in the order the runs first meet them (runs taken in Output's order).


class _Node:
    __slots__ = ("children", "chains", "added", "here", "after")

    def __init__(self) -> None:
        self.children: dict[object, _Node] = {}
        self.chains: list[list[object]] = []  # per run: the distinct child steps it visits, in order
        self.added: set[object] = set()  # child steps that are keys added under this mapping
        self.here: list[Entry] = []  # entries at this path (leaves of the walk)
        self.after: list[Entry] = []  # length changes, which come after everything inside


def _build(entry_runs: list[list[Entry]]) -> _Node:
    root = _Node()
    for run in entry_runs:
        chains: dict[int, list[object]] = {}  # id of a node -> this run's chain there
        for entry in run:
            node = parent = root
            for step in entry.path:
                chain = chains.get(id(node))
                if chain is None:
                    chain = chains[id(node)] = []
                    node.chains.append(chain)
                if not chain or (chain[-1] is not step and chain[-1] != step):
                    chain.append(step)
                nxt = node.children.get(step)
                if nxt is None:
                    nxt = node.children[step] = _Node()
                parent, node = node, nxt
            if entry.kind == "added":
                parent.added.add(entry.path[-1])
            (node.after if entry.kind == "length_changed" else node.here).append(entry)
    return root


def _rank(node: _Node, container: object) -> Callable[[object], tuple[int, int]]:
    """Sort key of a child step when no run says which of two steps comes first."""
    first_seen: dict[object, int] = {}
    for chain in node.chains:
        for step in chain:
            first_seen.setdefault(step, len(first_seen))
    index: Mapping[object, int] = {}
    if isinstance(container, Mapping):
        index = {key: i for i, key in enumerate(container)}

    def rank(step: object) -> tuple[int, int]:
        if step in node.added:
            return (2, first_seen[step])
        if index:
            position = index.get(step)
            return (0, position) if position is not None else (1, first_seen[step])
        if type(step) is int:
            return (0, step)
        return (1, first_seen[step])

    return rank


def _child_order(node: _Node, container: object) -> list[object]:
    """The child steps of `node` in walk order: a topological merge of the runs' chains."""
    if len(node.chains) == 1 or len(node.children) == 1:
        return list(node.chains[0]) if len(node.chains) == 1 else list(node.children)
    successors: dict[object, list[object]] = {step: [] for step in node.children}
    waiting = dict.fromkeys(node.children, 0)
    for chain in node.chains:
        for before, after in zip(chain, chain[1:]):
            successors[before].append(after)
            waiting[after] += 1
    rank = _rank(node, container)
    tie = itertools.count()  # so that steps themselves are never compared
    ready = [(rank(step), next(tie), step) for step in node.children if not waiting[step]]
    heapq.heapify(ready)
    order: list[object] = []
    while ready:
        step = heapq.heappop(ready)[2]
        order.append(step)
        for after in successors[step]:
            waiting[after] -= 1
            if not waiting[after]:
                heapq.heappush(ready, (rank(after), next(tie), after))
    return order


def _emit(root: _Node, a: object) -> list[Entry]:
    ordered: list[Entry] = []
    # Iterative, as paths may be thousands of steps deep: (node, a's value there, children done).
    stack: list[tuple[_Node, object, bool]] = [(root, a, False)]
    while stack:
        node, value, done = stack.pop()
        if done:
            ordered.extend(node.after)
            continue
        ordered.extend(node.here)
        stack.append((node, value, True))
        if node.children:
            order = _child_order(node, value)
            for step in reversed(order):
                stack.append((node.children[step], child(value, step) if value is not MISSING else MISSING, False))
    return ordered


def merge(entry_runs: list[list[Entry]], a: object = MISSING) -> list[Entry]:
    """The runs (each in walk order) merged into one list in walk order; `a` is the first document."""
    filled = [run for run in entry_runs if run]
    if len(filled) <= 1:
        return filled[0] if filled else []
    try:
        return _emit(_build(filled), a)
    except TypeError:  # an unhashable key from a user mapping: keep the runs as they are
        return [entry for run in filled for entry in run]


def iter_runs(entry_runs: list[list[Entry]]) -> Iterator[Entry]:
    for run in entry_runs:
        yield from run
