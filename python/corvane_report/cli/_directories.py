"""-r: two directories compared file by file."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TextIO

from ..inputs import SUFFIXES, InputError
from ..report import CompareError, Filter
from ._common import PROG, painter
from ._documents import Diff, diff_files, error_text, payload, text_lines, write_payload


def _files(root: Path, every: bool) -> dict[str, Path]:
    """Files below `root` by their relative path: those of a known format, or all with --format."""
    return {
        path.relative_to(root).as_posix(): path
        for path in sorted(root.rglob("*"))
        if path.is_file() and (every or path.suffix.lower() in SUFFIXES)
    }


def compare_directories(args: argparse.Namespace, kept: Filter, stream: TextIO) -> int:
    """Compare the files of two directories; the status is the worst of the files'."""
    first, second = Path(args.first), Path(args.second)
    for root in (first, second):
        if not root.is_dir():
            print(f"{PROG}: {root}: not a directory (-r compares two directories)", file=sys.stderr)
            return 2
    files_a, files_b = _files(first, args.format is not None), _files(second, args.format is not None)
    only_a = [name for name in files_a if name not in files_b]
    only_b = [name for name in files_b if name not in files_a]
    differing: dict[str, Diff] = {}
    failed = False
    for name in (name for name in files_a if name in files_b):
        a_file, b_file = str(files_a[name]), str(files_b[name])
        try:
            diff = diff_files(a_file, b_file, args.format, kept)
        except (InputError, CompareError) as exc:
            print(f"{PROG}: {error_text(exc, a_file, b_file)}", file=sys.stderr)
            failed = True
            continue
        if diff.found:
            differing[name] = diff
    if not args.quiet:
        _write(args, only_a, only_b, differing, len(files_a) - len(only_a), stream)
    return 2 if failed else int(bool(only_a or only_b or differing))


def _write(args: argparse.Namespace, only_a: list[str], only_b: list[str], differing: dict[str, Diff],
           common: int, stream: TextIO) -> None:
    if args.format_out != "text":
        files = {name: payload(diff, args) for name, diff in differing.items()}
        write_payload({"only_in_first": only_a, "only_in_second": only_b, "files": files}, args, stream)
        return
    paint = painter(args.color)
    lines = [f"only in {args.first}: {name}" for name in only_a] + [f"only in {args.second}: {name}" for name in only_b]
    for name, diff in differing.items():
        lines.append(f"--- {name}")
        lines.extend(text_lines(diff.found, args, paint))
    lines.append(f"{len(differing)} of {common} files differ; {len(only_a)} only in {args.first}, "
                 f"{len(only_b)} only in {args.second}")
    stream.writelines(line + "\n" for line in lines)
