"""The command line's entry point: argparse sub-commands, and the one rule that picks `diff`
when the first argument names none."""

from __future__ import annotations

import argparse
import io
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

from ._common import PROG, shared_options
from ._diff import DIFF
from ._rows import ROWS

COMMANDS = (DIFF, ROWS)
_NAMES = frozenset(command.name for command in COMMANDS)
_OWN = frozenset(("-h", "--help", "--version"))  # the options of the program itself, before any sub-command


def _version() -> str:
    from importlib import metadata  # slow to import: only when the version is asked for

    try:
        return metadata.version("corvane")
    except metadata.PackageNotFoundError:
        return "unknown"


class _VersionAction(argparse.Action):
    """--version, the version looked up when the option is given rather than for every run."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **_: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show program's version number and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        print(f"{parser.prog} {_version()}")
        parser.exit()


def parser(*, exit_on_error: bool = True) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        usage=f"{PROG} [diff] A B [options]\n       {PROG} rows A B --key PTR [options]",
        description="Show the differences between two documents (JSON, JSON Lines, YAML, TOML), two "
        "directories of them, or two datasets of keyed records. The first argument names the sub-command; "
        "without one, diff is meant. A file named like a sub-command is read as a document when the "
        "arguments fit two documents and do not fit the sub-command (corvane-diff rows other.json); "
        "./rows names it in any case.",
        epilog="See corvane-diff diff --help and corvane-diff rows --help.",
        exit_on_error=exit_on_error,
    )
    p.add_argument("--version", action=_VersionAction)
    commands = p.add_subparsers(title="sub-commands", metavar="{diff,rows}", required=True)
    shared = shared_options()
    for command in COMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.description,
                                  epilog=command.epilog, parents=[shared], exit_on_error=exit_on_error)
        command.arguments(sub)
        sub.set_defaults(run=command.run)
    return p


def _fits(argv: list[str]) -> bool:
    try:
        parser(exit_on_error=False).parse_args(argv)
    except argparse.ArgumentError:
        return False
    return True


def commanded(argv: list[str]) -> list[str]:
    """`argv` with its sub-command named in front.

    The first argument names a sub-command when it is one's name. A file of that name makes it
    ambiguous: it is taken as a document when the arguments do not fit the sub-command but
    fit `diff` with it as the first document. The two cannot both fit, as `diff` takes two
    positional arguments and no --key: `corvane-diff rows a.jsonl b.jsonl --key /id` is the
    sub-command and `corvane-diff rows other.json` compares the file `rows`, wherever they run.
    """
    if not argv or argv[0] in _OWN:
        return argv
    if argv[0] not in _NAMES:
        return [DIFF.name, *argv]
    if os.path.exists(argv[0]) and not _fits(argv) and _fits([DIFF.name, *argv]):
        return [DIFF.name, *argv]
    return argv


def _escaping(stream: object) -> None:
    # A file name that is not UTF-8 reaches the text as surrogates; written as \udcff escapes,
    # it cannot end the run with an encoding error halfway through a report.
    if isinstance(stream, io.TextIOWrapper):
        stream.reconfigure(errors="backslashreplace")


def main(argv: list[str] | None = None) -> int:
    """corvane-diff with these arguments (default: the command line's); the exit status."""
    args = parser().parse_args(commanded(sys.argv[1:] if argv is None else argv))
    run: Callable[[argparse.Namespace], int] = args.run
    _escaping(sys.stdout)
    _escaping(sys.stderr)
    try:
        return run(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print(f"{PROG}: out of memory", file=sys.stderr)
        return 2
    except Exception as exc:  # noqa: BLE001 - the last line of defence: one line, never a traceback
        print(f"{PROG}: internal error, please report it: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 2
