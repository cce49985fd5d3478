"""corvane-diff: compare two documents (JSON, JSON Lines, YAML, TOML), or two directories of
them file by file, with corvane and show the differences.

Exit status: 0 when the documents are equal (after the filters), 1 when they differ, 2 when a
document cannot be read or parsed, or the comparison fails.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import TextIO

from ..inputs import FORMATS, InputError, load_pair
from ..report import CompareError, Entry, Filter, Paint, Tolerance, compare, count_text, dumps_strict, json_pointer, patch_operations, plain
from ._layouts import as_json, colour, fold, folded_lines, kind_lines, location_lines

PROG = "corvane-diff"


@dataclass
class Diff:
    """One compared pair: the documents and what remains of their differences."""

    a: object
    b: object
    found: list[Entry]


def diff_files(first: str, second: str, fmt: str | None, rules: Filter) -> Diff:
    """Load and compare two files (InputError, CompareError)."""
    a, b = load_pair(first, second, fmt)
    return Diff(a, b, rules.entries(compare(a, b, quiet=True), a=a, b=b))


def error_text(exc: InputError | CompareError, first: str, second: str) -> str:
    if isinstance(exc, InputError):
        return str(exc)
    where = "" if exc.path is None else f" at {json_pointer(exc.path) or '(root)'} in {first if exc.side == 'a' else second}"
    return f"cannot compare {first} with {second}: {exc.reason}{where}"


# --- output ---------------------------------------------------------------------------------------


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


def painter(choice: str) -> Paint:
    if choice == "always" or (choice == "auto" and sys.stdout.isatty() and not os.environ.get("NO_COLOR")):
        return colour
    return plain


# --- command line ---------------------------------------------------------------------------------


def _version() -> str:
    try:
        return metadata.version("corvane")
    except metadata.PackageNotFoundError:
        return "unknown"


def tolerance(text: str) -> Tolerance:
    """--float-tolerance: "X" (absolute), "rel=X", or "abs=X,rel=Y"."""
    try:
        if "=" not in text:
            return Tolerance(abs=float(text))
        parts = dict(part.split("=", 1) for part in text.split(","))
        if not parts.keys() <= {"abs", "rel"}:
            raise ValueError(text)
        return Tolerance(**{name: float(value) for name, value in parts.items()})
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected X, rel=X or abs=X,rel=Y with numbers >= 0, not {text!r}") from None


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Show the differences between two documents: JSON, JSON Lines (.jsonl, .ndjson), "
        "YAML (.yaml, .yml; several documents to a file are compared as a list; needs PyYAML) or TOML, "
        "told by their endings or by --format; '-' reads standard input. With -r, two directories "
        "file by file. `corvane-diff rows A B --key PTR` compares two datasets of keyed records "
        "(see corvane-diff rows --help).",
        epilog="Exit status: 0 when the documents are equal, 1 when they differ, 2 on an error. "
        "Paths are JSON pointers. Numbers compare by kind and value: 1 and 1.0 differ, "
        "and NaN differs from itself.",
    )
    p.add_argument("first", help="the first (old) document, or '-'")
    p.add_argument("second", help="the second (new) document, or '-'")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="compare two directories: files of the same relative path, read by their endings")
    p.add_argument("--format", choices=FORMATS, help="read both documents in this format (default: by ending, else JSON)")
    rules = p.add_argument_group("filters (what is left decides the exit status)")
    rules.add_argument("--ignore", action="append", default=[], metavar="PTR",
                       help="leave out differences at or below this JSON pointer; '*' is one step, '**' any "
                       "number (repeatable)")
    rules.add_argument("--only", action="append", default=[], metavar="PTR",
                       help="keep only differences at, below or above this pointer pattern (repeatable)")
    rules.add_argument("--ignore-file", action="append", default=[],
                       metavar="FILE", help="--ignore patterns, one a line; blank lines and lines starting with # skipped")
    rules.add_argument("--float-tolerance", type=tolerance, metavar="X",
                       help="leave out float-against-float changes within X (absolute), rel=X (relative) "
                       "or abs=X,rel=Y (either)")
    output = p.add_mutually_exclusive_group()
    output.add_argument("--format-out", choices=("text", "json", "json-patch"), default="text",
                        help="text (default); json: the five lists as strict JSON, values whole (NaN and "
                        "infinities as {\"$float\": \"NaN\"}); json-patch: RFC 6902 operations turning the first "
                        "document into the second")
    output.add_argument("--json", dest="format_out", action="store_const", const="json", help="--format-out json")
    output.add_argument("-q", "--quiet", action="store_true", help="print nothing; only the exit status tells")
    layout = p.add_argument_group("text output")
    layout.add_argument("--by-kind", action="store_true", help="group the differences by kind, not by location")
    layout.add_argument("--summary", action="store_true",
                        help="fold differences that differ only in their positions into one line with a count")
    layout.add_argument("--max", type=int, metavar="N", help="show at most N differences (the count says all)")
    layout.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="colour by kind; auto: on a terminal, unless NO_COLOR is set")
    layout.add_argument("--width", type=int, default=60, metavar="N",
                        help="shorten values to N characters (at least 8; default 60)")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


def filter_of(args: argparse.Namespace, p: argparse.ArgumentParser) -> Filter:
    ignore = list(args.ignore)
    try:
        for name in args.ignore_file:
            lines = Path(name).read_text(encoding="utf-8").splitlines()
            ignore += [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]
        return Filter(ignore, args.only, args.float_tolerance)
    except OSError as exc:
        p.error(f"--ignore-file {exc.filename}: {exc.strerror}")
    except ValueError as exc:  # a pattern that is no JSON pointer, or a file that is not UTF-8
        p.error(str(exc))


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["rows"]:  # keyed datasets; a document named "rows" is ./rows
        from ._rows import main as rows_main

        return rows_main(argv[1:])
    p = parser()
    args = p.parse_args(argv)
    args.width = max(args.width, 8)
    if args.max is not None and args.max < 0:
        p.error("--max takes a number >= 0")
    rules = filter_of(args, p)
    try:
        if args.recursive:
            from ._directories import compare_directories

            return compare_directories(args, rules, sys.stdout)
        try:
            diff = diff_files(args.first, args.second, args.format, rules)
        except (InputError, CompareError) as exc:
            print(f"{PROG}: {error_text(exc, args.first, args.second)}", file=sys.stderr)
            return 2
        if not args.quiet:
            if args.format_out == "text":
                sys.stdout.writelines(line + "\n" for line in text_lines(diff.found, args, painter(args.color)))
            else:
                write_payload(payload(diff, args), args, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:  # the reader (say, `head`) has gone after some of the report: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 1 if diff.found else 0


if __name__ == "__main__":
    sys.exit(main())
