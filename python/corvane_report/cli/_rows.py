"""corvane-diff rows: two datasets of keyed records compared row by row."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Iterator
from contextlib import ExitStack
from typing import TYPE_CHECKING, TextIO, TypedDict

from ..report import DataRules, Tolerance
from ..rows import BLOCK_BYTES, PARTITION_BYTES, Partitioning, RowsError, RowSummary, SpillFolderFull, WorkerDied, stop_on_signals
from ._common import PROG, Command, add_list_rules, at_least, data_rules_of, filter_of, painter
from ._layouts import ProgressBar, row_lines, rows_summary_lines

if TYPE_CHECKING:  # the engines load when a comparison runs, not for every use of the command line
    from ..rows import DifferenceWriter, OnError, ProgressHook, RecordWriter, RowDiff, RowDiffs

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
    from ..rows import RowKey

    try:
        RowKey(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def seconds(text: str) -> float:
    """--connect-timeout: a number of seconds above 0."""
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0, not {text!r}")
    return value


def _arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("first", metavar="A", help="the first (old) dataset")
    p.add_argument("second", metavar="B", help="the second (new) dataset")
    p.add_argument("--key", action="append", required=True, type=key_pointer, metavar="PTR",
                   help="a JSON pointer to the key, or to one part of it, such as /id (repeatable)")
    rules = p.add_argument_group("rows")
    rules.add_argument("--on-error", choices=("record", "fail"), default="record",
                       help="a row that cannot be read, keyed or compared: record it as an error and go on "
                       "(default), or stop the run there (exit 2)")
    rules.add_argument("--absent-is-null", action="store_true",
                       help="a field absent on one side equals null on the other (say, Parquet nulls against "
                       "JSON Lines rows that leave the field out)")
    add_list_rules(p.add_argument_group("rules (rows are compared as data: true and 1 differ, strings are values, "
                                        "NaN equals NaN)"))
    run = p.add_argument_group("where it runs")
    run.add_argument("--jobs", type=at_least(1), metavar="N", help="worker processes (default: the number of cores)")
    run.add_argument("--partition-size", type=size, default=PARTITION_BYTES, metavar="SIZE",
                     help=f"input held at once by one comparison (default {PARTITION_BYTES >> 20}M)")
    run.add_argument("--block-size", type=size, default=BLOCK_BYTES, metavar="SIZE",
                     help=f"bytes of an uncompressed JSON Lines file read by one task (default {BLOCK_BYTES >> 20}M)")
    run.add_argument("--temp-dir", metavar="DIR",
                     help="where the spill folder goes (default: $TMPDIR or /tmp); it needs about the size of "
                     "both datasets, uncompressed, and is removed however the run ends")
    run.add_argument("--scheduler", metavar="ADDR",
                     help="run on this Dask cluster (tcp://host:8786); A and B may then be fsspec URLs and must be "
                     "readable by the workers (needs pip install 'corvane[dask]')")
    run.add_argument("--connect-timeout", type=seconds, default=20.0, metavar="SECONDS",
                     help="how long to try to reach the --scheduler (default 20)")
    out = p.add_argument_group("output")
    out.add_argument("--output", metavar="FILE",
                     help="write the results as records to FILE: JSON Lines (.gz compressed), or Parquet for "
                     ".parquet; with --scheduler, a folder of part files, summary.json and _SUCCESS; '-': JSON "
                     "Lines on standard output. A file appears only once complete")
    out.add_argument("--output-differences", metavar="FILE",
                     help="write a row per difference to FILE (Parquet for .parquet, else JSON Lines, .gz "
                     "compressed): typed key columns, pointer, kind, a, b, file and line of each side")
    out.add_argument("--overwrite", action="store_true",
                     help="with --scheduler, empty a non-empty --output folder first (else it is refused)")
    out.add_argument("-q", "--quiet", action="store_true", help="no report, summary or progress; only the exit status")


def run(args: argparse.Namespace) -> int:
    from ..rows import quiet_fork_server

    bar = ProgressBar(sys.stderr) if not args.quiet and sys.stderr.isatty() else None
    quiet_fork_server()
    with stop_on_signals() as stop:
        try:
            try:
                summary = _run(args, bar)
            finally:
                _clear(bar)
        except Exception as exc:
            if stop.received is None:
                return _failed(exc, args)
        except KeyboardInterrupt:
            if stop.received is None:  # not one of ours (the signal was ignored, say): as Python has it
                raise
        if stop.received is None:
            return 1 if summary.differ else 0
    # A signal stopped the run (whatever it unwound through on the way).
    print(f"{PROG} rows: {'terminated' if stop.received == signal.SIGTERM else 'interrupted'}", file=sys.stderr)
    return stop.status


def _failed(exc: Exception, args: argparse.Namespace) -> int:
    """The exit status of a run that failed, its message on standard error (one line)."""
    if isinstance(exc, SpillFolderFull):
        print(f"{PROG} rows: {exc} (--temp-dir puts it elsewhere)", file=sys.stderr)
    elif isinstance(exc, WorkerDied):
        print(f"{PROG} rows: {str(exc).replace('a smaller partition size', 'a smaller --partition-size')}", file=sys.stderr)
    elif isinstance(exc, RowsError):
        print(f"{PROG} rows: {exc}", file=sys.stderr)
    elif isinstance(exc, BrokenPipeError):  # the reader (say, `head`) has gone: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    elif isinstance(exc, OSError):
        print(f"{PROG} rows: {exc.filename or args.output}: {exc.strerror or exc}", file=sys.stderr)
    else:
        raise exc
    return 2


def _clear(bar: ProgressBar | None) -> None:
    if bar is not None:
        bar.close()


def _refuse_overwriting(args: argparse.Namespace) -> None:
    """RowsError when a result file would replace an input file or the other result file."""
    outputs = [(option, path) for option, path in (("--output", args.output), ("--output-differences", args.output_differences))
               if path and path != "-"]
    inputs = [("input", path) for path in (args.first, args.second) if os.path.isfile(path)]
    for i, (option, path) in enumerate(outputs):
        for other, taken in inputs + outputs[:i]:
            if os.path.abspath(path) == os.path.abspath(taken) or (
                    os.path.exists(path) and os.path.exists(taken) and os.path.samefile(path, taken)):
                raise RowsError(f"{option} {path} would replace the {other if other == 'input' else other + ' file'} "
                                f"{taken}: give another name")


def _run(args: argparse.Namespace, bar: ProgressBar | None) -> RowSummary:
    from ..rows import DifferenceWriter, RecordWriter, RowKey, connect, json_text, record_json, write_datasets, write_on_dask

    key = RowKey(args.key)
    _refuse_overwriting(args)
    if args.scheduler and args.output and args.output != "-" and args.output_differences:
        raise RowsError("with --scheduler, --output is a folder the workers write: --output-differences needs the "
                        "results here, so give one of the two")
    with ExitStack() as stack:
        client = None
        if args.scheduler:
            client = stack.enter_context(connect(args.scheduler, args.connect_timeout))
        if client is not None and args.output and args.output != "-":
            summary = write_on_dask(args.first, args.second, args.key, args.output, client=client, progress=bar,
                                    overwrite=args.overwrite, **_options(args))
            _finish(bar, summary, args, sys.stdout)
            return summary
        if client is None and args.output and args.output != "-" and not args.output_differences:
            summary = write_datasets(args.first, args.second, args.key, args.output, jobs=args.jobs, progress=bar,
                                     temp_dir=args.temp_dir, **_options(args))
            _finish(bar, summary, args, sys.stdout)
            return summary
        found = stack.enter_context(_found(args, bar, client))
        writers: list[RecordWriter | DifferenceWriter] = []
        if args.output and args.output != "-":
            writers.append(stack.enter_context(RecordWriter(args.output, key)))
        if args.output_differences:
            writers.append(stack.enter_context(DifferenceWriter(args.output_differences, key)))
        results = _written(found, writers)
        lines: Iterator[str] | None = None
        if args.output == "-":
            lines = (json_text(record_json(diff, key)) + "\n" for diff in results)
        elif not args.output and not args.quiet:
            lines = (line + "\n" for line in row_lines(results, key, args.width, painter(args.color)))
        for line in lines if lines is not None else ():
            if bar is not None:
                bar.clear()  # so that no report line starts after the progress line
            _write(sys.stdout, line)
        for _ in results:  # what is left when nothing is shown
            pass
    _finish(bar, found.summary, args, sys.stderr if args.output == "-" else sys.stdout)
    return found.summary


def _write(stream: TextIO, text: str) -> None:
    """`text` on a stream whose encoding may not hold all of it (a lone surrogate, from a JSON
    escape): what it cannot hold is written as a backslash escape."""
    try:
        stream.write(text)
    except UnicodeEncodeError:
        encoding = stream.encoding or "utf-8"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))


def _written(found: Iterator[RowDiff], writers: list[RecordWriter | DifferenceWriter]) -> Iterator[RowDiff]:
    """The results, each written to every output file as it comes."""
    for diff in found:
        for writer in writers:
            writer.write((diff,))
        yield diff


class _Options(TypedDict):
    """The keywords of every engine call that come from the options."""

    ignore: tuple[str, ...]
    only: tuple[str, ...]
    float_tolerance: Tolerance | None
    partitioning: Partitioning
    on_error: OnError
    absent_is_null: bool
    rules: DataRules


def _options(args: argparse.Namespace) -> _Options:
    kept = filter_of(args)
    return {"ignore": kept.ignore, "only": kept.only, "float_tolerance": kept.float_tolerance,
            "partitioning": Partitioning(partition_bytes=args.partition_size, block_bytes=args.block_size),
            "on_error": args.on_error, "absent_is_null": args.absent_is_null, "rules": data_rules_of(args)}


def _found(args: argparse.Namespace, bar: ProgressHook | None, client: object) -> RowDiffs:
    from ..rows import diff_datasets, diff_on_dask

    if client is not None:
        return diff_on_dask(args.first, args.second, args.key, client=client, progress=bar, **_options(args))
    return diff_datasets(args.first, args.second, args.key, jobs=args.jobs, progress=bar, temp_dir=args.temp_dir,
                         **_options(args))


def _finish(bar: ProgressBar | None, summary: RowSummary, args: argparse.Namespace, stream: TextIO) -> None:
    _clear(bar)
    if not args.quiet:
        for line in rows_summary_lines(summary, (args.first, args.second)):
            _write(stream, line + "\n")
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
