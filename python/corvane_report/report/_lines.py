"""Entries as lines of text, and as one text with their count."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence

from ._entries import Differences, Entry, Kind

Paint = Callable[[str, Kind], str]  # dresses a line showing a difference of that kind (say, in colour)


def plain(line: str, kind: Kind) -> str:
    return line


def count_text(count: int) -> str:
    return "no differences" if count == 0 else f"{count} difference{'s' * (count != 1)}"


def tail_lines(entry: Entry, *, width: int = 60, limit: int = 10, indent: str = "  ", paint: Paint = plain) -> Iterator[str]:
    """The items a length change adds or removes, a line each at their own positions, at most `limit`."""
    items = entry.tail_entries()
    for item in items[:limit]:
        yield indent + paint(item.text(width), item.kind)
    if len(items) > limit:
        yield f"{indent}… and {len(items) - limit} more items"


def report_lines(found: Sequence[Entry], *, width: int = 60, tail_limit: int = 10, paint: Paint = plain) -> Iterator[str]:
    """A line per entry, the items of each length change indented under it."""
    for entry in found:
        yield paint(entry.text(width), entry.kind)
        yield from tail_lines(entry, width=width, limit=tail_limit, paint=paint)


def report_text(found: Sequence[Entry], *, width: int = 60, limit: int | None = None, tail_limit: int = 10) -> str:
    """The entries as text (at most `limit` of them), the notes of Differences, then their count."""
    lines = list(report_lines(found[:limit], width=width, tail_limit=tail_limit))
    if limit is not None and len(found) > limit:
        lines.append(f"… and {len(found) - limit} more")
    if isinstance(found, Differences):
        lines.extend(note.text() for note in found.notes)
    lines.append(count_text(len(found)))
    return "\n".join(lines)
