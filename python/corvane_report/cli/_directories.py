"""-r: two directories compared file by file.

Files are read by their endings (all of them with --format) and a symbolic link to a file as
that file. What is left aside is said, a line each on standard error: a file of no known ending,
a link to a directory (not followed, so that no walk can loop), a link to nothing, anything that
is not a regular file. A link loop and an entry that cannot be read are errors (status 2)."""

from __future__ import annotations

import argparse
import errno
import os
import stat
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

from ..inputs import SUFFIXES, InputError, format_of
from ..report import CompareError, DataRules, Filter, printable
from ._common import PROG, painter
from ._documents import Diff, diff_files, error_text, payload, text_lines, write_payload


@dataclass
class _Listing:
    """What -r finds below one root: the files to compare by relative path, the entries it
    leaves aside (each a line of its own), and the entries it cannot read."""

    files: dict[str, Path] = field(default_factory=dict)
    skipped: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)


_ENDINGS = " ".join(SUFFIXES) + ", each also with .gz"


def _kind(entry: os.DirEntry[str]) -> tuple[str, str]:
    """("file" | "directory" | "skipped" | "error", why) of a folder entry; a link to a file is its file."""
    if not entry.is_symlink():
        if entry.is_dir(follow_symlinks=False):
            return "directory", ""
        if entry.is_file(follow_symlinks=False):
            return "file", ""
        return "skipped", "not a regular file (a pipe, socket or device)"
    try:
        target = os.stat(entry.path)
    except FileNotFoundError:
        return "skipped", "a symbolic link to nothing"
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            return "error", "a symbolic link loop"
        return "error", f"cannot follow the symbolic link: {exc.strerror or exc}"
    if stat.S_ISDIR(target.st_mode):
        return "skipped", "a symbolic link to a directory, not followed"
    if stat.S_ISREG(target.st_mode):
        return "file", ""
    return "skipped", "a symbolic link to something that is not a regular file"


def _listing(root: Path, every: bool) -> _Listing:
    """The files below `root`: those of a known ending, or all with --format."""
    found = _Listing()
    folders = [(root, "")]
    while folders:
        folder, prefix = folders.pop()
        try:
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as exc:
            found.errors.append(f"{folder}: cannot read the directory: {exc.strerror or exc}")
            continue
        for entry in entries:
            try:
                kind, why = _kind(entry)
            except OSError as exc:
                kind, why = "error", f"cannot read: {exc.strerror or exc}"
            path, name = Path(entry.path), prefix + entry.name
            if kind == "directory":
                folders.append((path, name + "/"))
            elif kind == "file" and (every or format_of(entry.name, None) is not None):
                found.files[name] = path
            elif kind == "file":
                found.skipped.append(f"{path}: skipped: not a known ending ({_ENDINGS}; --format reads every file)")
            else:
                (found.errors if kind == "error" else found.skipped).append(f"{path}: {'' if kind == 'error' else 'skipped: '}{why}")
    found.files = {name: found.files[name] for name in sorted(found.files, key=lambda name: name.split("/"))}
    return found


def compare_directories(args: argparse.Namespace, rules: DataRules | None, kept: Filter, stream: TextIO) -> int:
    """Compare the files of two directories; the status is the worst of the files'. An entry
    left aside is said on standard error (unless -q); an unreadable one is an error (status 2)."""
    first, second = Path(args.first), Path(args.second)
    for root in (first, second):
        if not root.is_dir():
            print(f"{PROG}: {root}: not a directory (-r compares two directories)", file=sys.stderr)
            return 2
    side_a, side_b = _listing(first, args.format is not None), _listing(second, args.format is not None)
    for line in side_a.errors + side_b.errors + ([] if args.quiet else side_a.skipped + side_b.skipped):
        print(f"{PROG}: {printable(line)}", file=sys.stderr)
    files_a, files_b = side_a.files, side_b.files
    only_a = [name for name in files_a if name not in files_b]
    only_b = [name for name in files_b if name not in files_a]
    differing: dict[str, Diff] = {}
    payloads: dict[str, object] = {}
    errors = side_a.errors + side_b.errors  # also in the JSON forms, for a program that reads them
    for name in (name for name in files_a if name in files_b):
        a_file, b_file = str(files_a[name]), str(files_b[name])
        try:
            diff = diff_files(a_file, b_file, args.format, rules, kept)
            if diff.found and not args.quiet and args.format_out != "text":
                payloads[name] = payload(diff, args)
        except (InputError, CompareError) as exc:
            errors.append(error_text(exc, a_file, b_file))
            print(f"{PROG}: {errors[-1]}", file=sys.stderr)
            continue
        if diff.found:
            differing[name] = diff
    if not args.quiet:
        try:
            _write(args, only_a, only_b, differing, payloads, errors, len(files_a) - len(only_a), stream)
        except InputError as exc:
            print(f"{PROG}: {printable(str(exc))}", file=sys.stderr)
            return 2
    return 2 if errors else int(bool(only_a or only_b or differing))


def _write(args: argparse.Namespace, only_a: list[str], only_b: list[str], differing: dict[str, Diff],
           payloads: dict[str, object], errors: list[str], common: int, stream: TextIO) -> None:
    if args.format_out != "text":
        write_payload({"only_in_first": only_a, "only_in_second": only_b, "files": payloads, "errors": errors},
                      args, stream)
        return
    paint = painter(args.color)
    lines = [f"only in {args.first}: {name}" for name in only_a] + [f"only in {args.second}: {name}" for name in only_b]
    for name, diff in differing.items():
        lines.append(f"--- {name}")
        lines.extend(text_lines(diff.found, args, paint))
    lines.append(f"{len(differing)} of {common} files differ; {len(only_a)} only in {args.first}, "
                 f"{len(only_b)} only in {args.second}")
    stream.writelines(line + "\n" for line in lines)
