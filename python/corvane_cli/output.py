"""The report's layouts: in walk order, grouped by kind, folded by position; JSON."""

from __future__ import annotations

from collections.abc import Iterator, Sequence

from corvane_report import KINDS, WORDS, Entry, Kind, Paint, json_pointer, report_lines, tail_lines

_COLORS: dict[Kind, str] = {
    "changed": "33",  # yellow
    "type_changed": "35",  # magenta
    "added": "32",  # green
    "removed": "31",  # red
    "length_changed": "36",  # cyan
}
TAIL_LIMIT = 10  # items of a length change listed under it


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
            yield "  " + paint(f"{entry.pointer or '(root)'}: {entry.details(width)}", kind)
            yield from tail_lines(entry, width=width, limit=TAIL_LIMIT, indent="    ", paint=paint)


def _position_pattern(entry: Entry) -> str:
    return json_pointer(["*" if type(step) is int else step for step in entry.path])


def fold(found: Sequence[Entry]) -> list[list[Entry]]:
    """The entries grouped where they differ only in their positions, groups in walk order."""
    groups: dict[tuple[Kind, str], list[Entry]] = {}
    for entry in found:
        groups.setdefault((entry.kind, _position_pattern(entry)), []).append(entry)
    return list(groups.values())


def summary_lines(groups: Sequence[list[Entry]], width: int, paint: Paint) -> Iterator[str]:
    """A line per group: the entry itself, or the pattern with a count."""
    for members in groups:
        first = members[0]
        if len(members) == 1:
            yield paint(first.text(width), first.kind)
        else:
            yield paint(f"{_position_pattern(first) or '(root)'}: {WORDS[first.kind]} ×{len(members)}", first.kind)


def as_json(found: Sequence[Entry]) -> dict[str, list[dict[str, object]]]:
    """The five lists as Output has them, with JSON pointers and whole values."""
    report: dict[str, list[dict[str, object]]] = {
        "val_changes": [], "type_and_val_changes": [], "dict_items_added": [],
        "dict_items_removed": [], "iter_len_mismatch": [],
    }
    for entry in found:
        pointer = entry.pointer
        if entry.kind == "changed":
            report["val_changes"].append({"path": pointer, "a": entry.a, "b": entry.b})
        elif entry.kind == "type_changed":
            report["type_and_val_changes"].append({"path": pointer, "a": entry.a, "b": entry.b})
        elif entry.kind == "added":
            report["dict_items_added"].append({"path": pointer, "value": entry.b})
        elif entry.kind == "removed":
            report["dict_items_removed"].append({"path": pointer, "value": entry.a})
        else:
            report["iter_len_mismatch"].append({"path": pointer, "a_len": entry.a, "b_len": entry.b})
    return report
