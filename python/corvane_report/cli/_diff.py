"""corvane-diff [diff] A B: two documents, or with -r two directories of them file by file."""

from __future__ import annotations

import argparse
import os
import sys

from ..inputs import FORMATS, InputError
from ..report import CompareError, DataRules
from ._common import PROG, Command, add_list_rules, at_least, data_rules_of, filter_of, painter
from ._directories import compare_directories
from ._documents import diff_files, error_text, payload, text_lines, write_payload


def rules_of(args: argparse.Namespace) -> DataRules | None:
    """The data rules the options ask for, or None for --rules python (ValueError: options of the
    data rules given with it)."""
    if args.rules == "python":
        if args.lists == "align" or args.list_key or args.unordered:
            raise ValueError("--lists align, --list-key and --unordered are options of the data rules: "
                             "--rules python compares lists by position")
        return None
    return data_rules_of(args)


def _arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("first", help="the first (old) document, or '-'")
    p.add_argument("second", help="the second (new) document, or '-'")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="compare two directories: files of the same relative path, read by their endings")
    p.add_argument("--format", choices=FORMATS, help="read both documents in this format (default: by ending, else JSON)")
    output = p.add_mutually_exclusive_group()
    output.add_argument("--format-out", choices=("text", "json", "json-patch"), default="text",
                        help="text (default); json: the five lists as strict JSON, values whole (NaN and "
                        "infinities as {\"$float\": \"NaN\"}); json-patch: RFC 6902 operations turning the first "
                        "document into the second")
    output.add_argument("--json", dest="format_out", action="store_const", const="json", help="--format-out json")
    output.add_argument("-q", "--quiet", action="store_true", help="print nothing; only the exit status tells")
    rules = p.add_argument_group("rules")
    rules.add_argument("--rules", choices=("data", "python"), default="data",
                       help="data (default): as the documents' formats mean them (true and 1 differ, strings are "
                       "values, NaN equals NaN, dates by their fields, list items aligned); python: corvane's own "
                       "rules (true equals 1, a string equals the list of its characters, lists by position)")
    add_list_rules(rules)
    layout = p.add_argument_group("text layout")
    layout.add_argument("--by-kind", action="store_true", help="group the differences by kind, not by location")
    layout.add_argument("--summary", action="store_true",
                        help="fold differences that differ only in their positions into one line with a count")
    layout.add_argument("--max", type=at_least(0), metavar="N", help="show at most N differences (the count says all)")


def run(args: argparse.Namespace) -> int:
    kept = filter_of(args)
    try:
        rules = rules_of(args)
    except ValueError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    try:
        if args.recursive:
            return compare_directories(args, rules, kept, sys.stdout)
        try:
            diff = diff_files(args.first, args.second, args.format, rules, kept)
            if not args.quiet and args.format_out != "text":
                write_payload(payload(diff, args), args, sys.stdout)
        except (InputError, CompareError) as exc:
            print(f"{PROG}: {error_text(exc, args.first, args.second)}", file=sys.stderr)
            return 2
        if not args.quiet and args.format_out == "text":
            sys.stdout.writelines(line + "\n" for line in text_lines(diff.found, args, painter(args.color)))
        sys.stdout.flush()
    except BrokenPipeError:  # the reader (say, `head`) has gone after some of the report: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 1 if diff.found else 0


DIFF = Command(
    name="diff",
    help="two documents, or two directories of them (the default: `diff` may be left out)",
    description="Show the differences between two documents: JSON, JSON Lines (.jsonl, .ndjson), "
    "YAML (.yaml, .yml; several documents to a file are compared as a list; needs PyYAML) or TOML, "
    "told by their endings or by --format; '-' reads standard input. With -r, two directories "
    "file by file.",
    epilog="Exit status: 0 when the documents are equal, 1 when they differ, 2 on an error. "
    "Paths are JSON pointers; under aligned lists, an inserted item's position is the second "
    "document's, any other the first's. Numbers compare by kind and value: 1 and 1.0 differ, and so do "
    "true and 1; NaN equals NaN unless --nan-differs.",
    arguments=_arguments,
    run=run,
)
