"""What a comparison of rows gives: a RowDiff for each key whose rows are not equal, the counts
in a RowSummary, and RowDiffs, the iterator that hands them over as they come."""

from __future__ import annotations

from collections import Counter
from collections.abc import Generator, Iterator
from dataclasses import dataclass, field
from typing import Final, Literal, NamedTuple

from ..report import Entry, json_pointer

RowKind = Literal["only_in_a", "only_in_b", "changed", "duplicate_key", "error"]
ROW_KINDS: Final[tuple[RowKind, ...]] = ("only_in_a", "only_in_b", "changed", "duplicate_key", "error")


class RowsError(Exception):
    """Rows that cannot be compared: a missing key field, an unreadable line, a failed comparison.
    The message names the file (or side) and the row."""


class WorkerDied(RowsError):
    """A worker process ended abruptly (killed, out of memory, crashed); the message says what it
    was doing: which block of which file it was spilling, or which partition it was comparing."""


class SpillFolderFull(RowsError):
    """The spill folder ran out of space; the message names the folder."""

    def __init__(self, folder: str) -> None:
        super().__init__(folder)  # the only argument, so that it pickles back from a worker as it was
        self.folder = folder

    def __str__(self) -> str:
        return f"no space left on device in the spill folder {self.folder}"


class RowAt(NamedTuple):
    """A row and where it was read: "file:N", N the line of a JSON Lines file or the row (from 1)
    of a Parquet file or an iterable."""

    at: str
    row: object


@dataclass(frozen=True, slots=True)
class RowDiff:
    """One key whose rows are not equal.

    kind     "only_in_a", "only_in_b", "changed", "duplicate_key" (more than one row with
             the key on a side: all of them, on both sides, are here and none is compared), or
             "error" (a row that cannot be read or keyed, or a pair that cannot be compared,
             recorded with on_error="record")
    key      the key's values, one per pointer (empty for a row whose key could not be read)
    a, b     the rows with the key on each side (none, one, or several); a row that could not
             be read is there as RowAt(at, None)
    entries  for "changed": the differences, in walk order, that the filters keep
    error    for "error": what went wrong, naming the file and line
    """

    kind: RowKind
    key: tuple[object, ...]
    a: tuple[RowAt, ...]
    b: tuple[RowAt, ...]
    entries: tuple[Entry, ...] = ()
    error: str = ""


COUNTS: Final = ("rows_a", "rows_b", "only_in_a", "only_in_b", "changed", "equal", "duplicate_keys", "errors")


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
    errors: int = 0
    fields: Counter[str] = field(default_factory=Counter)

    def add(self, other: RowSummary) -> None:
        for name in COUNTS:
            setattr(self, name, getattr(self, name) + getattr(other, name))
        self.fields.update(other.fields)

    @property
    def differ(self) -> bool:
        return bool(self.only_in_a or self.only_in_b or self.changed or self.duplicate_keys or self.errors)

    def count(self, found: RowDiff) -> None:
        """Counts a result of `compare_key` (the rows themselves are counted by the caller)."""
        if found.kind == "changed":
            self.changed += 1
            self.fields.update({field_pattern(entry) for entry in found.entries})
        elif found.kind == "only_in_a":
            self.only_in_a += 1
        elif found.kind == "only_in_b":
            self.only_in_b += 1
        elif found.kind == "error":
            self.errors += 1
        else:
            self.duplicate_keys += 1


def field_pattern(entry: Entry) -> str:
    """The entry's pointer with positions as "*", so that one field of every list item counts once."""
    return json_pointer(["*" if type(step) is int else step for step in entry.path]) or "(root)"


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

