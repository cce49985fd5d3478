"""One pair of documents compared, and what corvane-diff writes of it: the text report's lines,
the JSON report or the JSON Patch. Shared by two files and by two directories (-r)."""

from __future__ import annotations

import argparse
import base64
import datetime
import json
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TextIO

from ..inputs import InputError, load_pair
from ..report import (
    CompareError, DataRules, Differences, Entry, Filter, Paint, count_text, cycle_path, differences, dumps_strict,
    json_pointer, patch_operations, printable,
)
from ._layouts import as_json, fold, folded_lines, kind_lines, location_lines


@dataclass
class Diff:
    """One compared pair: the documents and what remains of their differences."""

    a: object
    b: object
    found: Differences
    first: str = "first"  # the names of the two documents, for messages
    second: str = "second"


def diff_files(first: str, second: str, fmt: str | None, rules: DataRules | None, kept: Filter) -> Diff:
    """Load and compare two files under `rules` (None: corvane's own) (InputError, CompareError)."""
    a, b = load_pair(first, second, fmt)
    return Diff(a, b, differences(a, b, rules, kept, quiet=True), first, second)


def error_text(exc: InputError | CompareError, first: str, second: str) -> str:
    if isinstance(exc, InputError):
        return printable(str(exc))
    where = "" if exc.path is None else f" at {json_pointer(exc.path) or '(root)'} in {first if exc.side == 'a' else second}"
    return printable(f"cannot compare {first} with {second}: {exc.reason}{where}")


def text_lines(found: Sequence[Entry], args: argparse.Namespace, paint: Paint) -> Iterator[str]:
    """The report's lines for one pair, at most --max differences (or folded lines), the notes,
    and the count."""
    limit = args.max
    if args.summary:
        groups = fold(found)
        yield from folded_lines(groups[:limit], args.width, paint)
        hidden = len(groups) - len(groups[:limit])
    else:
        layout = kind_lines if args.by_kind else location_lines
        yield from layout(found[:limit], args.width, paint)
        hidden = len(found) - len(found[:limit])
    if hidden:
        yield f"… and {hidden} more"
    if isinstance(found, Differences):
        yield from (note.text() for note in found.notes)
    yield count_text(len(found))


def payload(diff: Diff, args: argparse.Namespace) -> object:
    """What --json or --format-out json-patch writes for one pair; InputError when a value it
    would write holds itself (a YAML alias inside its own anchor), which JSON cannot write."""
    if args.format_out == "json-patch":
        operations = patch_operations(diff.found, diff.a, diff.b)
        for operation in operations:
            _writable(operation.get("value"), str(operation["path"]), diff.second)
        return operations
    for entry in diff.found:
        if entry.kind != "length_changed":  # the others carry the documents' values
            _writable(entry.a, entry.pointer, diff.first)
            _writable(entry.b, entry.pointer, diff.second)
    return as_json(diff.found)


def _writable(value: object, pointer: str, name: str) -> None:
    inner = cycle_path(value)
    if inner is not None:
        where = printable(pointer + json_pointer(inner)) or "(root)"
        raise InputError(f"{name}: the value at {where} holds itself (a YAML alias inside its own anchor), "
                         "which JSON cannot write; the text report shows it")


def _json_value(value: object) -> object:
    # The values JSON has no form for, in a patch: dates and times as ISO text, bytes as base64.
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode("ascii")
    return repr(value)


def write_payload(value: object, args: argparse.Namespace, stream: TextIO) -> None:
    """Write --json or json-patch whole or not at all (InputError when JSON cannot write a value)."""
    try:
        if args.format_out == "json-patch":  # the documents' own values, NaN included, as JSON writes them
            text = json.dumps(value, ensure_ascii=False, indent=2, default=_json_value)
        else:
            text = dumps_strict(value, indent=2)
    except (ValueError, RecursionError) as exc:  # a value that holds itself, or one nested too deeply
        raise InputError(f"cannot write the report as JSON: {exc}") from None
    stream.write(printable(text) + "\n")
