"""One pair of documents compared, and what corvane-diff writes of it: the text report's lines,
the JSON report or the JSON Patch. Shared by two files and by two directories (-r)."""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TextIO

from ..inputs import InputError, load_pair
from ..report import CompareError, Entry, Filter, Paint, compare, count_text, dumps_strict, json_pointer, patch_operations
from ._layouts import as_json, fold, folded_lines, kind_lines, location_lines


@dataclass
class Diff:
    """One compared pair: the documents and what remains of their differences."""

    a: object
    b: object
    found: list[Entry]


def diff_files(first: str, second: str, fmt: str | None, kept: Filter) -> Diff:
    """Load and compare two files (InputError, CompareError)."""
    a, b = load_pair(first, second, fmt)
    return Diff(a, b, kept.entries(compare(a, b, quiet=True), a=a, b=b))


def error_text(exc: InputError | CompareError, first: str, second: str) -> str:
    if isinstance(exc, InputError):
        return str(exc)
    where = "" if exc.path is None else f" at {json_pointer(exc.path) or '(root)'} in {first if exc.side == 'a' else second}"
    return f"cannot compare {first} with {second}: {exc.reason}{where}"


def text_lines(found: Sequence[Entry], args: argparse.Namespace, paint: Paint) -> Iterator[str]:
    """The report's lines for one pair, at most --max differences (or folded lines), and the count."""
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
    yield count_text(len(found))


def payload(diff: Diff, args: argparse.Namespace) -> object:
    """What --json or --format-out json-patch writes for one pair."""
    if args.format_out == "json-patch":
        return patch_operations(diff.found, diff.a, diff.b)
    return as_json(diff.found)


def write_payload(value: object, args: argparse.Namespace, stream: TextIO) -> None:
    if args.format_out == "json-patch":  # the documents' own values, NaN included, as JSON writes them
        stream.write(json.dumps(value, ensure_ascii=False, indent=2, default=repr) + "\n")
    else:
        stream.write(dumps_strict(value, indent=2) + "\n")
