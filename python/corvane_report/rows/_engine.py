"""Two datasets of any size compared on one machine: spilled by partition into a temporary folder,
then compared partition by partition, in this process or in worker processes."""

from __future__ import annotations

import contextlib
import errno
import math
import os
import tempfile
import time
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import Future
from dataclasses import dataclass
from typing import Any, Final, Literal, cast

from ..report import DataRules, Patterns, ToleranceSpec
from ._keys import OnError, Terms
from ._partitions import (
    CompareTask,
    Compared,
    Piece,
    SpillResult,
    SpillTask,
    compare_partition,
    release_buffers,
    set_reporter,
    spill_block,
    where_table,
)
from ._output import RecordWriter, Rendered
from ._results import RowDiff, RowDiffs, RowsError, RowSummary, SpillFolderFull
from ._sources import Block, Source, files_of, is_url, plan_file
from ._signals import shielded
from ._sizes import Partitioning
from ._workers import TICK_SECONDS, Workers, adder, counters, pool_context

ROWS_PARTITIONS: Final = 256  # partitions for rows handed over in Python, whose size is not known ahead


@dataclass(slots=True)
class Progress:
    """Where a comparison stands, for a progress bar. Bytes of gzip files are estimated.
    `phase`: "reading", "shuffling" (on Dask) or "comparing"."""

    rows: int = 0
    bytes_read: int = 0
    bytes_total: int = 0
    partitions_done: int = 0
    partitions: int = 0
    started: float = 0.0
    comparing_since: float = 0.0
    phase: str = "reading"


ProgressHook = Callable[[Progress], None]


def diff_datasets(
    a: Source,
    b: Source,
    key: str | Sequence[str],
    *,
    jobs: int | None = None,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    on_error: OnError = "fail",
    absent_is_null: bool = False,
    rules: DataRules | None = None,
    partitioning: Partitioning = Partitioning(),
    temp_dir: str | None = None,
    progress: ProgressHook | None = None,
) -> RowDiffs:
    """Compare two datasets of keyed records of any size, with memory bounded by the partition size.

    a, b     a JSON Lines file (gzip-compressed or not), a Parquet file (needs pyarrow), a
             directory or glob pattern of such files, or an iterable of records
    key      one JSON pointer or several into each record
    jobs     worker processes (default: the number of cores); 1 works in this process
    ignore, only, float_tolerance
             the filters, as in corvane_report.entries
    on_error "fail" (the default): the first row that cannot be read, keyed or compared raises
             RowsError; "record": it becomes a RowDiff of kind "error" and the run goes on
    absent_is_null
             a field absent on one side equals null on the other
    rules    the DataRules rows are compared under (default: NaN equal to NaN, lists aligned)
    partitioning
             the sizes of blocks and partitions (a Partitioning)
    temp_dir where the temporary spill folder goes (default: the system's); it is removed at
             the end, on an error and on Ctrl-C
    progress called about five times a second with a Progress

    Yields the same RowDiffs as diff_rows, in a fixed order: by partition (a stable hash of
    the key), then in key order within a partition, then the rows that could not be keyed.
    The order, like the results, is the same for any number of jobs. Rows are located as
    "file:N" (the line of a JSON Lines file, the row of a Parquet file, from 1) or "a:N",
    "b:N" for iterables. Use as a context manager, or read to the end, so that the spill
    folder is removed at once. A worker process that dies raises WorkerDied naming what it
    was doing; a full spill folder raises SpillFolderFull.
    """
    terms = Terms.of(key, ignore, only, float_tolerance, on_error, absent_is_null, rules)
    summary = RowSummary()
    run = _Run(terms, jobs or os.cpu_count() or 1, partitioning, progress)
    return RowDiffs(run.results(plan(a, b, partitioning.block_bytes, jobs=run.jobs), temp_dir, summary), summary)


def write_datasets(
    a: Source,
    b: Source,
    key: str | Sequence[str],
    output: str,
    *,
    jobs: int | None = None,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    on_error: OnError = "fail",
    absent_is_null: bool = False,
    rules: DataRules | None = None,
    partitioning: Partitioning = Partitioning(),
    temp_dir: str | None = None,
    progress: ProgressHook | None = None,
) -> RowSummary:
    """diff_datasets with its results written to `output` as RecordWriter writes them (JSON Lines,
    gzip-compressed when the name ends in .gz, Parquet when it ends in .parquet), each result made
    into its record by the process that compared it: the rows it holds need not travel to this
    one. The file appears only when complete. Returns the counts."""
    terms = Terms.of(key, ignore, only, float_tolerance, on_error, absent_is_null, rules)
    summary = RowSummary()
    with RecordWriter(output, terms.key) as writer:
        run = _Run(terms, jobs or os.cpu_count() or 1, partitioning, progress, "parquet" if writer.parquet else "jsonl")
        with contextlib.closing(run.results(plan(a, b, partitioning.block_bytes, jobs=run.jobs), temp_dir, summary)) as found:
            writer.write_rendered(cast(Iterator[Rendered], found))
    return summary


def _spill_folder(temp_dir: str | None) -> tempfile.TemporaryDirectory[str]:
    try:
        return tempfile.TemporaryDirectory(prefix="corvane-rows-", dir=temp_dir, ignore_cleanup_errors=True)
    except OSError as exc:
        if exc.errno in (errno.ENOSPC, errno.EDQUOT):
            raise SpillFolderFull(temp_dir or tempfile.gettempdir()) from None
        raise RowsError(f"cannot make the spill folder in {temp_dir or tempfile.gettempdir()}: {exc.strerror or exc}") from None


def _label(block: Block) -> str:
    if block.kind == "rows":
        return f"reading the rows of side {block.side}"
    if block.kind == "parquet":
        return f"reading {block.path} (row groups {block.start}-{(block.stop or 1) - 1})"
    if block.kind == "jsonl" and (block.start or block.stop is not None):
        return f"reading {block.path} (bytes {block.start}-{'end' if block.stop is None else block.stop})"
    return f"reading {block.path}"


class _Run:
    def __init__(self, terms: Terms, jobs: int, partitioning: Partitioning, hook: ProgressHook | None,
                 render: Literal["jsonl", "parquet"] | None = None) -> None:
        self.terms, self.jobs, self.partitioning = terms, jobs, partitioning
        self.render = render  # results made into records where they are found, and yielded as such
        self.hook = hook
        self.state = Progress(started=time.monotonic())
        self.context = pool_context() if jobs > 1 else None
        self.rows, self.size = counters(self.context)
        self.last_tick = 0.0

    def results(self, planned: tuple[list[Block], dict[int, Iterable[object]]], temp_dir: str | None,
                summary: RowSummary) -> Generator[Any]:
        """The results (RowDiffs, or what rendered_record makes of them when the run renders)."""
        blocks, iterables = planned
        # The folder goes however the run ends: read to the end, left early, an error, a signal.
        # Its making and the clean-up are shielded: a signal there would leave it behind.
        spill: tempfile.TemporaryDirectory[str] | None = None
        pool: Workers | None = None
        reporter: Callable[[int, int], None] | None = None
        finished = False
        try:
            with shielded():
                spill = _spill_folder(temp_dir)
            folder = spill.name
            if self.context is not None:
                pool = Workers(self.jobs, folder, self.context, self.rows, self.size)
            reporter = set_reporter(self._report_here)  # for what is spilled here: everything, or the rows given in Python
            parts = self._partitions(blocks)
            spilled = self._spill(pool, blocks, iterables, folder, parts)
            lines = {result.block: result.lines for result in spilled}
            where = where_table(blocks, [lines[block.index] for block in blocks])
            tasks = [CompareTask(part, folder, pieces, where, self.terms, errors=part == parts, render=self.render)
                     for part, pieces in _by_partition(spilled, parts + 1)]
            self.state.partitions, self.state.comparing_since = len(tasks), time.monotonic()
            self.state.phase = "comparing"
            for compared in self._ordered(pool, tasks, parts):
                summary.add(compared.summary)
                self.state.partitions_done += 1
                self.tick()
                yield from compared.rendered if self.render else compared.found
            self.tick(final=True)
            finished = True
        except OSError as exc:
            if exc.errno in (errno.ENOSPC, errno.EDQUOT) and spill is not None:
                raise SpillFolderFull(spill.name) from None
            raise
        finally:
            with shielded():
                if pool is not None:  # before the folder goes: a worker may still be writing into it
                    pool.close(finished)
                if reporter is not None:
                    set_reporter(reporter)
                release_buffers()
                if spill is not None:
                    spill.cleanup()

    def _report_here(self, rows: int, size: int) -> None:
        """Spilling in this process: count, and draw the progress now and then."""
        adder(self.rows, self.size)(rows, size)
        self.tick()

    def _partitions(self, blocks: list[Block]) -> int:
        if self.partitioning.partitions is not None:
            return self.partitioning.partitions
        self.state.bytes_total = sum(block.size for block in blocks)
        reckoned = math.ceil(self.state.bytes_total / self.partitioning.partition_bytes)
        if any(block.kind == "rows" for block in blocks):
            reckoned = max(reckoned, ROWS_PARTITIONS)
        return max(1, reckoned)

    def _spill(self, pool: Workers | None, blocks: list[Block], iterables: dict[int, Iterable[object]],
               folder: str, parts: int) -> list[SpillResult]:
        tasks = [SpillTask(block, folder, parts, self.terms) for block in blocks]
        pending = [pool.submit(_label(task.block), spill_block, task) for task in tasks
                   if task.block.index not in iterables] if pool else []
        done = [spill_block(task, iterables.get(task.block.index)) for task in tasks
                if pool is None or task.block.index in iterables]
        return done + [pool.result(future, self.tick) for future in pending] if pool else done

    def _ordered(self, pool: Workers | None, tasks: list[CompareTask], parts: int) -> Iterator[Compared]:
        """The comparisons in order; in the pool, a few ahead, so that finished results wait in memory briefly."""
        if pool is None:
            yield from map(compare_partition, tasks)
            return
        queued = iter(tasks)

        def submit(task: CompareTask) -> Future[Compared]:
            label = "collecting the rows that could not be keyed" if task.errors else f"comparing partition {task.part + 1} of {parts}"
            return pool.submit(label, compare_partition, task)

        pending = deque(submit(task) for _, task in zip(range(2 * self.jobs), queued))
        while pending:
            result = pool.result(pending.popleft(), self.tick)
            for task in queued:
                pending.append(submit(task))
                break
            yield result

    def tick(self, final: bool = False) -> None:
        now = time.monotonic()
        if self.hook is None or (not final and now - self.last_tick < TICK_SECONDS):
            return
        self.last_tick = now
        self.state.rows, self.state.bytes_read = self.rows.value, self.size.value
        self.hook(self.state)


_MIN_BLOCK: Final = 4 << 20
_BLOCKS_PER_JOB: Final = 4


def plan(a: Source, b: Source, block_bytes: int, *, absolute: bool = False, jobs: int = 1) -> tuple[list[Block], dict[int, Iterable[object]]]:
    """The blocks of both sides, planned at once so that a missing file fails before any work;
    local paths made absolute when the readers run in other folders. With several jobs, blocks
    are made smaller (down to 4 MiB) when the files are too small to give each job a few:
    otherwise one job reads the big blocks while the others wait. Blocks set only who reads
    what, not the results or their order."""
    blocks: list[Block] = []
    iterables: dict[int, Iterable[object]] = {}
    named = [(side, os.fspath(source)) for side, source in (("a", a), ("b", b)) if isinstance(source, (str, os.PathLike))]
    files = {name: files_of(os.path.abspath(name) if absolute and not is_url(name) else name) for _, name in named}
    if jobs > 1:
        total = sum(os.path.getsize(path) for paths in files.values() for path in paths
                    if not is_url(path) and os.path.isfile(path))
        block_bytes = min(block_bytes, max(_MIN_BLOCK, total // (_BLOCKS_PER_JOB * jobs)))
    for side, source in (("a", a), ("b", b)):
        if isinstance(source, (str, os.PathLike)):
            for path in files[os.fspath(source)]:
                blocks += plan_file(side, path, len(blocks), block_bytes)
        else:
            iterables[len(blocks)] = source
            blocks.append(Block(side, len(blocks), side, "rows"))
    return blocks, iterables


def _by_partition(spilled: list[SpillResult], parts: int) -> Iterator[tuple[int, tuple[Piece, ...]]]:
    ordered = sorted(spilled, key=lambda result: result.block)
    for part in range(parts):
        pieces = tuple(piece for result in ordered for piece in result.pieces.get(part, ()))
        if pieces:
            yield part, pieces
