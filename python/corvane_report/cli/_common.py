"""What the sub-commands share: the program's name, the record of a sub-command, the options of
both (filters, colour, width), and option types that check their values as they are parsed."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from itertools import chain
from pathlib import Path

from ..report import DataRules, Filter, Paint, Tolerance, compile_filter, plain
from ._layouts import colour

PROG = "corvane-diff"


@dataclass(frozen=True, slots=True)
class Command:
    """A sub-command: the texts of its parser, what adds its arguments, and what runs it."""

    name: str
    help: str
    description: str
    epilog: str
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


# --- option types: a bad value is an argparse error (one line, exit 2), found while parsing ----------


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


def pattern(text: str) -> str:
    """--ignore, --only: a JSON pointer pattern."""
    try:
        compile_filter(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def pattern_file(name: str) -> list[str]:
    """--ignore-file: the patterns of a file, one a line; blank lines and lines starting with # skipped."""
    try:
        lines = Path(name).read_text(encoding="utf-8").splitlines()
    except OSError as exc:
        raise argparse.ArgumentTypeError(f"{name}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise argparse.ArgumentTypeError(f"{name}: not UTF-8 text (bad byte at offset {exc.start})") from None
    patterns = [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]
    for text in patterns:
        try:
            compile_filter(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(f"{name}: {exc}") from None
    return patterns


def at_least(low: int) -> Callable[[str], int]:
    """A whole number of `low` or more."""

    def number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low:
            raise argparse.ArgumentTypeError(f"expected a whole number >= {low}, not {text!r}")
        return value

    return number


def width(text: str) -> int:
    """--width: values shortened to N characters, 8 at the least (a narrower cut shows nothing)."""
    try:
        return max(int(text), 8)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None


# --- shared options -------------------------------------------------------------------------------


def shared_options() -> argparse.ArgumentParser:
    """The options of both sub-commands (filters, colour, width), as a parent parser."""
    parent = argparse.ArgumentParser(add_help=False)
    filters = parent.add_argument_group("filters (what is left decides the exit status)")
    filters.add_argument("--ignore", action="append", default=[], type=pattern, metavar="PTR",
                         help="leave out differences at or below this JSON pointer; '*' is one step, '**' any "
                         "number (repeatable)")
    filters.add_argument("--only", action="append", default=[], type=pattern, metavar="PTR",
                         help="keep only differences at, below or above this pointer pattern (repeatable)")
    filters.add_argument("--ignore-file", action="append", default=[], type=pattern_file, metavar="FILE",
                         help="--ignore patterns, one a line; blank lines and lines starting with # skipped")
    filters.add_argument("--float-tolerance", type=tolerance, metavar="X",
                         help="leave out float-against-float changes within X (absolute), rel=X (relative) "
                         "or abs=X,rel=Y (either)")
    text = parent.add_argument_group("text")
    text.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                      help="colour the differences by kind; auto: on a terminal, unless NO_COLOR is set")
    text.add_argument("--width", type=width, default=60, metavar="N",
                      help="shorten values to N characters (at least 8; default 60)")
    return parent


def _list_key(text: str) -> str:
    """--list-key: PATTERN=POINTER, checked as it is parsed."""
    try:
        DataRules(list_keys=(text,))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def _unordered(text: str) -> str:
    """--unordered: a pattern of lists."""
    try:
        DataRules(unordered=(text,))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def add_list_rules(rules: argparse._ArgumentGroup) -> None:
    """The options of the data rules: how lists pair, and NaN."""
    rules.add_argument("--lists", choices=("align", "position"),
                       help="align (default): an item inserted into or deleted from a list is one difference; "
                       "position: items compared by position, then the lengths")
    rules.add_argument("--list-key", action="append", default=[], type=_list_key, metavar="PATTERN=PTR",
                       help="match the items of the lists at PATTERN by the value at PTR inside each item, in "
                       "any order: --list-key '/users=/id' (repeatable; '*' and '**' as in --ignore)")
    rules.add_argument("--unordered", action="append", default=[], type=_unordered, metavar="PATTERN",
                       help="compare the lists at PATTERN as multisets: order left aside (repeatable)")
    rules.add_argument("--nan-differs", action="store_true", help="NaN differs from every value, itself included")


def data_rules_of(args: argparse.Namespace) -> DataRules:
    """The data rules that the options of add_list_rules ask for."""
    return DataRules(nan_equal=not args.nan_differs, lists=args.lists or "align", list_keys=tuple(args.list_key),
                     unordered=tuple(args.unordered))


def filter_of(args: argparse.Namespace) -> Filter:
    """The Filter of the parsed filter options (each checked while parsing)."""
    return compile_filter([*args.ignore, *chain.from_iterable(args.ignore_file)], args.only, args.float_tolerance)


def painter(choice: str) -> Paint:
    if choice == "always" or (choice == "auto" and sys.stdout.isatty() and not os.environ.get("NO_COLOR")):
        return colour
    return plain
