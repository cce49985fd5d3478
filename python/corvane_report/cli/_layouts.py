"""What corvane-diff shows: a document report in walk order, grouped by kind or folded by
position, or as JSON; the report and summary of rows; the progress line of a long run."""

from __future__ import annotations

import time
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Final, TextIO

from ..report import KINDS, WORDS, Differences, Entry, Kind, Paint, json_pointer, plain, report_lines, shorten, tail_lines

if TYPE_CHECKING:
    from ..rows import Progress, RowDiff, RowKey, RowSummary

_COLORS: dict[Kind, str] = {
    "changed": "33",  # yellow
    "type_changed": "35",  # magenta
    "added": "32",  # green
    "removed": "31",  # red
    "inserted": "32",  # green, as an added item
    "deleted": "31",  # red, as a removed item
    "length_changed": "36",  # cyan
}
TAIL_LIMIT = 10  # items of a length change listed under it
_HEADINGS: Final = {"only_in_a": "only in a", "only_in_b": "only in b", "changed": "changed",
                     "duplicate_key": "duplicate key", "error": "error"}


# --- documents ---------------------------------------------------------------------------------------


def colour(line: str, kind: Kind) -> str:
    return f"\x1b[{_COLORS[kind]}m{line}\x1b[0m"


def location_lines(found: Sequence[Entry], width: int, paint: Paint) -> Iterator[str]:
    """A line per entry in walk order, the items of a length change under it."""
    return report_lines(found, width=width, tail_limit=TAIL_LIMIT, paint=paint)


def kind_lines(found: Sequence[Entry], width: int, paint: Paint) -> Iterator[str]:
    """Grouped under a heading per kind, in Output's order of lists, each group in walk order."""
    for kind in KINDS:
        group = [entry for entry in found if entry.kind == kind]
        if group:
            yield f"{WORDS[kind]} ({len(group)}):"
        for entry in group:
            yield "  " + paint(f"{entry.where()}: {entry.details(width)}", kind)
            yield from tail_lines(entry, width=width, limit=TAIL_LIMIT, indent="    ", paint=paint)


def _position_pattern(entry: Entry) -> str:
    return json_pointer(["*" if type(step) is int else step for step in entry.path])


def fold(found: Sequence[Entry]) -> list[list[Entry]]:
    """The entries grouped where they differ only in their positions, groups in walk order."""
    groups: dict[tuple[Kind, str], list[Entry]] = {}
    for entry in found:
        groups.setdefault((entry.kind, _position_pattern(entry)), []).append(entry)
    return list(groups.values())


def folded_lines(groups: Sequence[list[Entry]], width: int, paint: Paint) -> Iterator[str]:
    """A line per group: the entry itself, or the pattern with a count."""
    for members in groups:
        first = members[0]
        if len(members) == 1:
            yield paint(first.text(width), first.kind)
        else:
            yield paint(f"{_position_pattern(first) or '(root)'}: {WORDS[first.kind]} ×{len(members)}", first.kind)


_JSON_LISTS: Final[dict[Kind, str]] = {
    "changed": "val_changes", "type_changed": "type_and_val_changes", "added": "dict_items_added",
    "removed": "dict_items_removed", "length_changed": "iter_len_mismatch", "inserted": "list_items_inserted",
    "deleted": "list_items_deleted",
}


def as_json(found: Sequence[Entry]) -> dict[str, list[dict[str, object]]]:
    """The five lists as Output has them, the items inserted into and deleted from lists, and the
    notes (`unaligned`: lists compared by position), with JSON pointers and whole values; an item
    of a keyed list shows its key under "keys" (the item's pointer -> its key)."""
    report: dict[str, list[dict[str, object]]] = {name: [] for name in _JSON_LISTS.values()}
    for entry in found:
        record: dict[str, object] = {"path": entry.pointer}
        if entry.kind in ("added", "inserted"):
            record["value"] = entry.b
        elif entry.kind in ("removed", "deleted"):
            record["value"] = entry.a
        elif entry.kind == "length_changed":
            record |= {"a_len": entry.a, "b_len": entry.b}
        else:
            record |= {"a": entry.a, "b": entry.b}
        if entry.keys:
            record["keys"] = {json_pointer(entry.path[:steps], entry.keyed): value for steps, _, value in entry.keys}
        report[_JSON_LISTS[entry.kind]].append(record)
    report["unaligned"] = [{"path": note.pointer, "a_len": note.a_len, "b_len": note.b_len}
                           for note in (found.notes if isinstance(found, Differences) else ())]
    return report


# --- rows ---------------------------------------------------------------------------------------------


def row_lines(found: Iterable[RowDiff], key: RowKey, width: int, paint: Paint = plain) -> Iterator[str]:
    """A heading per result (kind, key, where the rows are), a changed row's differences under it,
    an error's message after it."""
    for diff in found:
        places = "; ".join(", ".join(row.at for row in side) for side in (diff.a, diff.b) if side)
        if diff.kind == "error":
            # the message names the rows it is about, most often: they are not repeated before it
            named = all(f"{row.at}:" in diff.error or f"{row.at} " in diff.error for row in (*diff.a, *diff.b))
            yield f"error ({places}): {diff.error}" if places and not named else f"error: {diff.error}"
            continue
        shown = shorten(key.shown(diff.key), width)
        yield f"{_HEADINGS[diff.kind]} {shown} ({places})"
        for entry in diff.entries:
            yield "  " + paint(entry.text(width), entry.kind)
            yield from tail_lines(entry, width=width, indent="    ", paint=paint)


def _number(n: int) -> str:
    return f"{n:,}"


def rows_summary_lines(summary: RowSummary, names: Sequence[str], fields: int = 10) -> Iterator[str]:
    """The counts, and the fields most often changed (at most `fields` of them)."""
    yield f"rows: {_number(summary.rows_a)} in {names[0]}, {_number(summary.rows_b)} in {names[1]}"
    yield (f"only in a: {_number(summary.only_in_a)}, only in b: {_number(summary.only_in_b)}, "
           f"changed: {_number(summary.changed)}, equal: {_number(summary.equal)}, "
           f"duplicate keys: {_number(summary.duplicate_keys)}"
           + (f", errors: {_number(summary.errors)}" if summary.errors else ""))
    common = summary.fields.most_common(fields)
    if common:
        yield "fields most often changed (rows):"
        wide = max(len(name) for name, _ in common)
        yield from (f"  {name.ljust(wide)}  {_number(count)}" for name, count in common)


# --- progress ----------------------------------------------------------------------------------------


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}" if seconds >= 3600 else f"{seconds // 60}:{seconds % 60:02d}"


def progress_text(state: Progress, now: float) -> str:
    """One line: the phase, rows read, partitions done, and the time left of the current pass."""
    parts = [f"{state.phase}: {_number(state.rows)} rows read" if state.phase else f"{_number(state.rows)} rows read"]
    if state.partitions:
        parts.append(f"{state.partitions_done}/{state.partitions} partitions")
        done, since = state.partitions_done / state.partitions, state.comparing_since
    else:
        done, since = (state.bytes_read / state.bytes_total if state.bytes_total else 0.0), state.started
    if 0 < done < 1:
        parts.append(f"ETA {_clock((now - since) / done * (1 - done))}")
    return " · ".join(parts)


class ProgressBar:
    """The progress line on a terminal, redrawn in place; `close` clears it."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = False

    def __call__(self, state: Progress) -> None:
        self.stream.write("\r\x1b[K" + progress_text(state, time.monotonic()))
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        """Takes the line away (the next progress draws it again), before other output."""
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False

    def close(self) -> None:
        self.clear()
