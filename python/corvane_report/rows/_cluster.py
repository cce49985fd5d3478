"""The comparison of rows on a Dask cluster: each block read by a task into a Dask DataFrame of
(key text, block, number, payload), shuffled by key with Dask's own shuffle, and each shuffled
partition compared on a worker by the very code that compares a spilled partition.

The rows are read by this package's readers, not by dask.dataframe.read_json or read_parquet:
those go through pandas' column types, which turn a column of ints with gaps into floats and
nested values into whatever the column's type makes of them, and 1 would meet 1.0.
"""

from __future__ import annotations

import contextlib
import math
import os
import posixpath
import time
from collections.abc import Generator, Mapping, Sequence
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any, Final

from ..report import DataRules, Patterns, ToleranceSpec
from ._engine import Progress, ProgressHook, plan
from ._keys import OnError, Terms
from ._output import RecordWriter, part_path, summary_from_json, summary_json, write_summary
from ._partitions import KeyReader, Side, Where, compare_sides, locator, where_table
from ._results import RowAt, RowDiff, RowDiffs, RowsError, RowSummary
from ._signals import shielded
from ._sizes import Partitioning
from ._sources import Block, is_url, read_block

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

Client = Any  # distributed.Client, which has no type hints

_EXTRA: Final = "comparing on Dask needs dask and distributed: pip install 'corvane[dask]'"
_TICK_SECONDS: Final = 0.2
_COLUMNS: Final = ("key", "block", "number", "payload", "error")


def _dask() -> Any:
    """dask.dataframe, dask.delayed and distributed, as one namespace (untyped, as dask is)."""
    try:
        import dask.dataframe
        import distributed
        from dask.delayed import delayed
    except ImportError:
        raise RowsError(_EXTRA) from None
    return SimpleNamespace(dd=dask.dataframe, delayed=delayed, distributed=distributed)


def connect(address: str, timeout: float = 20.0) -> Client:
    """A client of the Dask scheduler at `address` (RowsError when it cannot be reached within
    `timeout` seconds)."""
    try:
        client: Client = _dask().distributed.Client(address, timeout=f"{timeout}s")
        return client
    except (OSError, TimeoutError) as exc:
        raise RowsError(f"cannot reach the Dask scheduler at {address} within {timeout:g} s: {exc}") from None


# --- tasks (run on the workers) ---------------------------------------------------------------------


def _meta() -> pd.DataFrame:
    import pandas as pd

    return pd.DataFrame({"key": pd.Series([], dtype=object), "block": pd.Series([], dtype="int64"),
                         "number": pd.Series([], dtype="int64"), "payload": pd.Series([], dtype=object),
                         "error": pd.Series([], dtype=object)})


def read_frame(block: Block, terms: Terms, topic: str | None = None) -> tuple[pd.DataFrame, int]:
    """A block's rows as (key text, block, number, payload, error), and the block's physical lines.
    A row that cannot be keyed has the key "" and its message as `error` (on_error="record")."""
    import pandas as pd

    reader = KeyReader(terms.key)
    locate = locator(block)
    columns: dict[str, list[Any]] = {name: [] for name in _COLUMNS}
    lines = 0
    for batch in read_block(block):
        texts, failed = reader.texts(batch, locate)
        errors: list[str | None] = [None] * len(texts)
        for i, message in failed:
            if terms.on_error == "fail":
                raise RowsError(message)
            texts[i], errors[i] = "", message
        columns["key"] += texts
        columns["block"] += [block.index] * len(texts)
        columns["number"] += batch.numbers
        # As text that maps each byte to one character: Dask keeps text columns as Arrow strings,
        # and bytes would not come back as bytes.
        columns["payload"] += [payload.decode("latin-1") for payload in batch.payloads]
        columns["error"] += errors
        lines = batch.last
        _tell(topic, {"rows": len(texts), "bytes": batch.bytes})
    _tell(topic, {"blocks": 1})
    frame = pd.DataFrame(columns)
    return frame.astype({"key": object, "payload": object, "error": object, "block": "int64", "number": "int64"}), lines


def _tell(topic: str | None, message: dict[str, int]) -> None:
    """Progress from a task to the client that watches `topic`."""
    if topic is None:
        return
    with contextlib.suppress(ValueError):  # not on a worker (the task run in the client)
        _dask().distributed.get_worker().log_event(topic, message)


def compare_frame(frame: pd.DataFrame, where: Mapping[int, Where], terms: Terms) -> tuple[list[RowDiff], RowSummary]:
    """One shuffled partition compared: its differences in key order, then its unkeyed rows, and its counts."""
    rows: dict[str, tuple[list[int], list[str], list[int], list[bytes]]] = {"a": ([], [], [], []), "b": ([], [], [], [])}
    errors: list[RowDiff] = []
    for text, block, number, payload, error in zip(frame["key"], frame["block"], frame["number"], frame["payload"], frame["error"]):
        at = where[int(block)]
        if isinstance(error, str):  # the column's missing values come back as None or NaN
            located = (RowAt(f"{at.path}:{at.first + int(number)}", None),)
            errors.append(RowDiff("error", (), located if at.side == "a" else (), located if at.side == "b" else (), error=error))
            continue
        blocks, texts, numbers, payloads = rows[at.side]
        blocks.append(int(block))
        texts.append(text)
        numbers.append(int(number))
        payloads.append(payload.encode("latin-1"))
    sides = {"a": Side(), "b": Side()}
    for name, side in sides.items():
        side.extend(*rows[name])
    found, summary = compare_sides(sides["a"], sides["b"], where, terms)
    for diff in errors:
        summary.count(diff)
        summary.rows_a += bool(diff.a)
        summary.rows_b += bool(diff.b)
    return found + errors, summary


def write_frame(frame: pd.DataFrame, where: Mapping[int, Where], terms: Terms, path: str, run: str) -> dict[str, object]:
    """One shuffled partition compared and its records written to `path`, unless the folder has
    been taken by another run since; its counts as plain data."""
    found, summary = compare_frame(frame, where, terms)
    if _run_of(posixpath.dirname(path)) == run:
        with RecordWriter(path, terms.key) as writer:
            writer.write(found)
    return summary_json(summary)


# --- the graph ---------------------------------------------------------------------------------------


class _Watch:
    """The progress of a run on the cluster: rows and blocks read, as the read tasks tell them
    (log_event), then the partitions compared. Shown while reading, while shuffling (the blocks
    all read, no partition compared yet), and while comparing."""

    def __init__(self, client: Client, blocks: list[Block], hook: ProgressHook | None) -> None:
        now = time.monotonic()
        self.client, self.hook = client, hook
        self.topic = f"corvane-rows-{os.urandom(16).hex()}"
        self.blocks = len(blocks)
        self.read = 0
        self.state = Progress(bytes_total=sum(block.size for block in blocks), started=now, comparing_since=now, phase="reading")
        if hook is not None:
            client.subscribe_topic(self.topic, self._told)

    def _told(self, event: tuple[float, dict[str, int]]) -> None:
        # On the client's event loop thread: plain additions, read by the main thread's ticks.
        message = event[1]
        self.state.rows += message.get("rows", 0)
        self.state.bytes_read += message.get("bytes", 0)
        self.read += message.get("blocks", 0)
        if self.read == self.blocks and self.state.phase == "reading":
            self.state.phase = "shuffling"

    def tick(self) -> None:
        if self.hook is not None:
            self.hook(self.state)

    def compared(self, summary: RowSummary, counted: RowSummary, partitions: int) -> None:
        summary.add(counted)
        if self.state.phase != "comparing":
            self.state.phase, self.state.comparing_since = "comparing", time.monotonic()
        self.state.partitions = partitions
        self.state.partitions_done += 1
        self.tick()

    def close(self) -> None:
        if self.hook is not None:
            with contextlib.suppress(Exception):
                self.client.unsubscribe_topic(self.topic)


def _graph(blocks: list[Block], terms: Terms, sizes: Partitioning, topic: str | None) -> tuple[list[Any], Any]:
    """The shuffled partitions (delayed pandas frames) and the delayed table of blocks."""
    dask = _dask()
    delayed, dd = dask.delayed, dask.dd
    read = [delayed(read_frame, nout=2, pure=True)(block, terms, topic) for block in blocks]
    frame = dd.from_delayed([frame for frame, _ in read], meta=_meta(), verify_meta=False)
    where = delayed(where_table, pure=True)(blocks, [lines for _, lines in read])
    count = sizes.partitions or max(1, math.ceil(sum(block.size for block in blocks) / sizes.partition_bytes))
    shuffled = frame.shuffle(on="key", npartitions=count)
    return list(shuffled.to_delayed()), where


def _blocks(a: str, b: str, sizes: Partitioning) -> list[Block]:
    blocks, iterables = plan(a, b, sizes.block_bytes, absolute=True)  # the workers may run in other folders
    if iterables:
        raise RowsError("on Dask, each side is a path or an fsspec URL that the workers can read")
    return blocks


def diff_on_dask(
    a: str,
    b: str,
    key: str | Sequence[str],
    *,
    client: Client,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    on_error: OnError = "fail",
    absent_is_null: bool = False,
    rules: DataRules | None = None,
    partitioning: Partitioning = Partitioning(),
    progress: ProgressHook | None = None,
) -> RowDiffs:
    """diff_datasets on the Dask cluster of `client`; the results come back to this process.

    a, b are JSON Lines or Parquet files, directories or glob patterns of them, as local paths
    that the workers can read or any fsspec URL. Results come in the order of Dask's shuffled
    partitions, then in key order within one (a partition's unkeyed rows after its keys), and
    are fetched one partition at a time; the set of results and the summary are those of
    diff_datasets. `progress` sees the rows read, then the partitions compared.
    """
    terms = Terms.of(key, ignore, only, float_tolerance, on_error, absent_is_null, rules)
    summary = RowSummary()
    blocks = _blocks(a, b, partitioning)
    return RowDiffs(_fetched(client, blocks, terms, partitioning, summary, progress), summary)


def _fetched(client: Client, blocks: list[Block], terms: Terms, sizes: Partitioning, summary: RowSummary,
             hook: ProgressHook | None) -> Generator[RowDiff]:
    watch = _Watch(client, blocks, hook)
    futures: list[Any] = []
    try:
        parts, where = _graph(blocks, terms, sizes, watch.topic if hook else None)
        delayed = _dask().delayed
        futures = client.compute([delayed(compare_frame, pure=True)(part, where, terms) for part in parts])
        for future in futures:
            found, counted = _result(future, watch)
            future.release()
            watch.compared(summary, counted, len(futures))
            yield from found
    finally:
        if futures:
            client.cancel(futures)
        watch.close()


def _result(future: Any, watch: _Watch) -> Any:
    """A future's result, the progress redrawn while it is awaited."""
    distributed = _dask().distributed
    while not future.done():
        # distributed.wait rather than result(timeout=): the latter's time-out can fail inside
        # distributed itself on a busy client.
        with contextlib.suppress(TimeoutError, distributed.TimeoutError), shielded():
            distributed.wait([future], timeout=_TICK_SECONDS)
        watch.tick()
    return future.result()


def write_on_dask(
    a: str,
    b: str,
    key: str | Sequence[str],
    output: str,
    *,
    client: Client,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    on_error: OnError = "fail",
    absent_is_null: bool = False,
    rules: DataRules | None = None,
    partitioning: Partitioning = Partitioning(),
    progress: ProgressHook | None = None,
    overwrite: bool = False,
) -> RowSummary:
    """diff_datasets on the Dask cluster of `client`, the results written by the workers.

    `output` is a folder (a local path the workers can write, or an fsspec URL): a part file
    per partition, part-00000.parquet and so on when `output` ends in .parquet, else
    part-00000.jsonl, then summary.json with the counts, and last an empty _SUCCESS: a folder
    without it holds no complete result (while the run goes on, a file _RUN holds its token). A folder that holds anything is refused (RowsError)
    unless `overwrite`, which empties it first. Each part file is written under a temporary
    name and renamed; a task of an earlier run still going on a worker writes nothing into
    the folder once a new run has taken it. Returns the counts.
    """
    dask = _dask()
    terms = Terms.of(key, ignore, only, float_tolerance, on_error, absent_is_null, rules)
    blocks = _blocks(a, b, partitioning)
    folder = output if is_url(output) else os.path.abspath(output)
    suffix = ".parquet" if output.rstrip("/").lower().endswith(".parquet") else ".jsonl"
    run = _take_folder(folder, overwrite)
    watch = _Watch(client, blocks, progress)
    summary = RowSummary()
    futures: list[Any] = []
    try:
        parts, where = _graph(blocks, terms, partitioning, watch.topic if progress else None)
        tasks = [dask.delayed(write_frame, pure=False)(part, where, terms, part_path(folder, i, suffix), run)
                 for i, part in enumerate(parts)]
        futures = client.compute(tasks)
        pending = set(futures)
        while pending:
            with contextlib.suppress(TimeoutError, dask.distributed.TimeoutError), shielded():
                dask.distributed.wait(list(pending), timeout=_TICK_SECONDS, return_when="FIRST_COMPLETED")
            for future in [future for future in pending if future.done()]:
                pending.discard(future)
                watch.compared(summary, summary_from_json(dict(future.result())), len(tasks))
            watch.tick()
    finally:
        if futures:
            client.cancel(futures)
        watch.close()
    write_summary(posixpath.join(folder, "summary.json"), summary)
    _release(folder)
    _touch(posixpath.join(folder, "_SUCCESS"))
    return summary


# --- the output folder -----------------------------------------------------------------------------

_RUN_FILE: Final = "_RUN"  # the token of the run that owns the folder


def _fs(folder: str) -> tuple[Any, str]:
    import fsspec  # type: ignore[import-untyped, unused-ignore]

    fs, path = fsspec.core.url_to_fs(folder)
    return fs, path


def _take_folder(folder: str, overwrite: bool) -> str:
    """The folder made ready for this run (RowsError when it holds anything and not `overwrite`),
    owned by a new run token."""
    fs, path = _fs(folder)
    if fs.exists(path) and not fs.isdir(path):
        raise RowsError(f"{folder}: not a folder")
    held = fs.ls(path, detail=False) if fs.exists(path) else []
    if held and not overwrite:
        raise RowsError(f"{folder}: the output folder is not empty (--overwrite empties it)")
    for item in held:
        fs.rm(item, recursive=True)
    fs.makedirs(path, exist_ok=True)
    run = os.urandom(16).hex()
    with fs.open(posixpath.join(path, _RUN_FILE), "w") as f:
        f.write(run)
    return run


def _run_of(folder: str) -> str | None:
    fs, path = _fs(folder)
    try:
        with fs.open(posixpath.join(path, _RUN_FILE), "r") as f:
            text: str = f.read()
            return text
    except OSError:
        return None


def _release(folder: str) -> None:
    """The run token removed: from now on no task writes into the folder."""
    fs, path = _fs(folder)
    fs.rm(posixpath.join(path, _RUN_FILE))


def _touch(path: str) -> None:
    fs, inner = _fs(path)
    with fs.open(inner, "wb"):
        pass
