"""corvane-diff rows: two datasets of keyed records compared row by row."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Iterator
from contextlib import ExitStack, closing, contextmanager
from types import FrameType
from typing import TextIO, TypedDict

from ..report import Tolerance, dumps_strict
from ..rows import (
    PARTITION_BYTES,
    Partitioning,
    ProgressHook,
    RecordWriter,
    RowDiff,
    RowDiffs,
    RowKey,
    RowsError,
    RowSummary,
    connect,
    diff_datasets,
    diff_on_dask,
    record_json,
    write_on_dask,
)
from ._common import PROG, Command, at_least, filter_of, painter
from ._layouts import ProgressBar, row_lines, rows_summary_lines

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def size(text: str) -> int:
    """--partition-size: bytes, or a number with k, M or G."""
    number, unit = (text[:-1], text[-1].lower()) if text[-1:].isalpha() else (text, "")
    try:
        value = int(float(number) * _UNITS[unit])
    except (KeyError, ValueError):
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a size such as 64M, not {text!r}")
    return value


def key_pointer(text: str) -> str:
    """--key: a JSON pointer to a field of the row."""
    try:
        RowKey(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def _arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("first", metavar="A", help="the first (old) dataset")
    p.add_argument("second", metavar="B", help="the second (new) dataset")
    p.add_argument("--key", action="append", required=True, type=key_pointer, metavar="PTR",
                   help="a JSON pointer to the key, or to one part of it (repeatable)")
    run = p.add_argument_group("where it runs")
    run.add_argument("--jobs", type=at_least(1), metavar="N", help="worker processes (default: the number of cores)")
    run.add_argument("--scheduler", metavar="ADDR",
                     help="run on this Dask cluster (tcp://host:8786); A and B may then be fsspec URLs and must be "
                     "readable by the workers (needs pip install 'corvane[dask]')")
    run.add_argument("--partition-size", type=size, default=PARTITION_BYTES, metavar="SIZE",
                     help="input held at once by one comparison (default 32M)")
    out = p.add_argument_group("output")
    out.add_argument("--output", metavar="FILE",
                     help="write the results as records to FILE: JSON Lines (.gz compressed), or Parquet for "
                     ".parquet; with --scheduler, a directory of part files and summary.json; '-': JSON Lines on "
                     "standard output")
    out.add_argument("-q", "--quiet", action="store_true", help="no report, summary or progress; only the exit status")


def _stop(signum: int, frame: FrameType | None) -> None:
    raise SystemExit(128 + signum)  # unwinds like Ctrl-C, so that the spill folder is removed


@contextmanager
def _terminated_cleanly() -> Iterator[None]:
    held = signal.signal(signal.SIGTERM, _stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, held)


def run(args: argparse.Namespace) -> int:
    bar = ProgressBar(sys.stderr) if not args.quiet and sys.stderr.isatty() else None
    try:
        with _terminated_cleanly():
            summary = _run(args, bar)
    except RowsError as exc:
        _clear(bar)
        print(f"{PROG} rows: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:  # the reader (say, `head`) has gone: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as exc:
        _clear(bar)
        print(f"{PROG} rows: {exc.filename or args.output}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        _clear(bar)
        print(f"{PROG} rows: interrupted", file=sys.stderr)
        return 130
    return 1 if summary.differ else 0


def _clear(bar: ProgressBar | None) -> None:
    if bar is not None:
        bar.close()


def _run(args: argparse.Namespace, bar: ProgressBar | None) -> RowSummary:
    key = RowKey(args.key)
    with ExitStack() as stack:
        client = None
        if args.scheduler:
            client = stack.enter_context(connect(args.scheduler))
        if client is not None and args.output and args.output != "-":
            summary = write_on_dask(args.first, args.second, args.key, args.output, client=client, progress=bar,
                                    **_options(args))
            _finish(bar, summary, args, sys.stdout)
            return summary
        with _found(args, bar, client) as found:
            if args.output:
                _write_records(found, key, args.output)
            elif not args.quiet:
                sys.stdout.writelines(line + "\n" for line in row_lines(found, key, args.width, painter(args.color)))
            else:
                for _ in found:
                    pass
    _finish(bar, found.summary, args, sys.stderr if args.output == "-" else sys.stdout)
    return found.summary


class _Options(TypedDict):
    """The keywords of every engine call that come from the options."""

    ignore: tuple[str, ...]
    only: tuple[str, ...]
    float_tolerance: Tolerance | None
    partitioning: Partitioning


def _options(args: argparse.Namespace) -> _Options:
    kept = filter_of(args)
    return {"ignore": kept.ignore, "only": kept.only, "float_tolerance": kept.float_tolerance,
            "partitioning": Partitioning(partition_bytes=args.partition_size)}


def _found(args: argparse.Namespace, bar: ProgressHook | None, client: object) -> RowDiffs:
    if client is not None:
        return diff_on_dask(args.first, args.second, args.key, client=client, progress=bar, **_options(args))
    return diff_datasets(args.first, args.second, args.key, jobs=args.jobs, progress=bar, **_options(args))


def _write_records(found: Iterator[RowDiff], key: RowKey, output: str) -> None:
    if output == "-":
        sys.stdout.writelines(dumps_strict(record_json(diff, key)) + "\n" for diff in found)
        return
    with closing(RecordWriter(output, key)) as writer:
        writer.write(found)


def _finish(bar: ProgressBar | None, summary: RowSummary, args: argparse.Namespace, stream: TextIO) -> None:
    _clear(bar)
    if not args.quiet:
        stream.writelines(line + "\n" for line in rows_summary_lines(summary, (args.first, args.second)))
    stream.flush()


ROWS = Command(
    name="rows",
    help="two datasets of keyed records, of any size",
    description="Compare two datasets of records matched by a key: JSON Lines files (.gz too), Parquet "
    "files, or directories or glob patterns of them. Reports the rows only in A, only in B, the changed "
    "rows with their differences, and keys held by more than one row of a side. Memory is bounded by "
    "--partition-size whatever the size of the data.",
    epilog="Exit status: 0 when the datasets hold the same rows, 1 when they differ, 2 on an error. "
    "Order: by partition (a stable hash of the key), then by key within a partition; the same for any "
    "--jobs.",
    arguments=_arguments,
    run=run,
)
