"""The comparison of rows on a Dask cluster: each block read by a task into a Dask DataFrame of
(key text, block, number, payload), shuffled by key with Dask's own shuffle, and each shuffled
partition compared on a worker by the very code that compares a spilled partition.

The rows are read by this package's readers, not by dask.dataframe.read_json or read_parquet:
those go through pandas' column types, which turn a column of ints with gaps into floats and
nested values into whatever the column's type makes of them, and 1 would meet 1.0.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import posixpath
import time
from collections.abc import Generator, Mapping, Sequence
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any, Final

from ..report import Patterns, ToleranceSpec
from ._engine import Partitioning, Progress, ProgressHook, plan
from ._keys import key_text
from ._output import RecordWriter, open_for_writing, summary_from_json, summary_json
from ._partitions import KeyReader, Stored, Terms, Where, compare_groups, where_table
from ._results import RowDiff, RowDiffs, RowsError, RowSummary
from ._sources import Block, is_url, lines_before, read_block, size_of

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

Client = Any  # distributed.Client, which has no type hints

_EXTRA: Final = "comparing on Dask needs dask and distributed: pip install 'corvane[dask]'"
_COLUMNS: Final = ("key", "block", "number", "payload")


def _dask() -> Any:
    """dask.dataframe, dask.delayed and distributed, as one namespace (untyped, as dask is)."""
    try:
        import dask.dataframe
        import distributed
        from dask.delayed import delayed
    except ImportError:
        raise RowsError(_EXTRA) from None
    return SimpleNamespace(dd=dask.dataframe, delayed=delayed, distributed=distributed)


def connect(address: str) -> Client:
    """A client of the Dask scheduler at `address` (RowsError when it cannot be reached)."""
    try:
        client: Client = _dask().distributed.Client(address, timeout="20s")
        return client
    except (OSError, TimeoutError) as exc:
        raise RowsError(f"cannot reach the Dask scheduler at {address}: {exc}") from None


# --- tasks (run on the workers) ---------------------------------------------------------------------


def _meta() -> pd.DataFrame:
    import pandas as pd

    return pd.DataFrame({"key": pd.Series([], dtype=object), "block": pd.Series([], dtype="int64"),
                         "number": pd.Series([], dtype="int64"), "payload": pd.Series([], dtype=object)})


def read_frame(block: Block, terms: Terms) -> tuple[pd.DataFrame, int]:
    """A block's rows as (key text, block, number, payload), and the block's physical lines."""
    import pandas as pd

    reader = KeyReader(terms.key)
    columns: tuple[list[str], list[int], list[int], list[str]] = ([], [], [], [])
    number = 0
    for number, payload, row in read_block(block):
        if not payload:
            continue
        values = reader.values(payload, row, lambda: (block.path, lines_before(block) + number))
        # As text that maps each byte to one character: Dask keeps text columns as Arrow strings,
        # and bytes would not come back as bytes.
        for column, value in zip(columns, (key_text(values), block.index, number, payload.decode("latin-1"))):
            column.append(value)  # type: ignore[attr-defined]
    frame = pd.DataFrame(dict(zip(_COLUMNS, columns)))
    return frame.astype({"key": object, "payload": object, "block": "int64", "number": "int64"}), number


def compare_frame(frame: pd.DataFrame, where: Mapping[int, Where], terms: Terms) -> tuple[list[RowDiff], RowSummary]:
    """One shuffled partition compared: its differences in key order, and its counts."""
    sides: dict[str, dict[str, list[Stored]]] = {"a": {}, "b": {}}
    for text, block, number, payload in zip(frame["key"], frame["block"], frame["number"], frame["payload"]):
        sides[where[int(block)].side].setdefault(text, []).append((int(block), int(number), payload.encode("latin-1")))
    return compare_groups(sides["a"], sides["b"], where, terms)


def write_frame(frame: pd.DataFrame, where: Mapping[int, Where], terms: Terms, path: str) -> dict[str, object]:
    """One shuffled partition compared and its records written to `path`; its counts as plain data."""
    found, summary = compare_frame(frame, where, terms)
    with contextlib.closing(RecordWriter(path, terms.key)) as writer:
        writer.write(found)
    return summary_json(summary)


# --- the graph ---------------------------------------------------------------------------------------


def _graph(a: str, b: str, terms: Terms, sizes: Partitioning) -> tuple[list[Any], Any]:
    """The shuffled partitions (delayed pandas frames) and the delayed table of blocks."""
    dask = _dask()
    delayed, dd = dask.delayed, dask.dd
    blocks, iterables = plan(a, b, sizes.block_bytes, absolute=True)  # the workers may run in other folders
    if iterables:
        raise RowsError("on Dask, each side is a path or an fsspec URL that the workers can read")
    read = [delayed(read_frame, nout=2, pure=True)(block, terms) for block in blocks]
    frame = dd.from_delayed([frame for frame, _ in read], meta=_meta(), verify_meta=False)
    where = delayed(where_table, pure=True)(blocks, [lines for _, lines in read])
    count = sizes.partitions or max(1, math.ceil(sum(map(size_of, blocks)) / sizes.partition_bytes))
    shuffled = frame.shuffle(on="key", npartitions=count)
    return list(shuffled.to_delayed()), where


def diff_on_dask(
    a: str,
    b: str,
    key: str | Sequence[str],
    *,
    client: Client,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    partitioning: Partitioning = Partitioning(),
    progress: ProgressHook | None = None,
) -> RowDiffs:
    """diff_datasets on the Dask cluster of `client`; the results come back to this process.

    a, b are JSON Lines or Parquet files, directories or glob patterns of them, as local paths
    that the workers can read or any fsspec URL. Results come in the order of Dask's shuffled
    partitions, then in key order within one, and are fetched one partition at a time; the set
    of results and the summary are those of diff_datasets.
    """
    terms = Terms.of(key, ignore, only, float_tolerance)
    summary = RowSummary()
    parts, where = _graph(a, b, terms, partitioning)
    return RowDiffs(_fetched(client, parts, where, terms, summary, progress), summary)


def _fetched(client: Client, parts: list[Any], where: Any, terms: Terms, summary: RowSummary,
             hook: ProgressHook | None) -> Generator[RowDiff]:
    delayed = _dask().delayed
    futures = client.compute([delayed(compare_frame, pure=True)(part, where, terms) for part in parts])
    state = _progress(len(futures))
    try:
        for future in futures:
            found, counted = future.result()
            future.release()
            _count(summary, counted, state, hook)
            yield from found
    finally:
        client.cancel(futures)


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
    partitioning: Partitioning = Partitioning(),
    progress: ProgressHook | None = None,
) -> RowSummary:
    """diff_datasets on the Dask cluster of `client`, the results written by the workers.

    `output` is a folder (a local path the workers can write, or an fsspec URL): a part file
    per partition, part-00000.parquet and so on when `output` ends in .parquet, else
    part-00000.jsonl, and summary.json with the counts. Returns the counts.
    """
    dask = _dask()
    terms = Terms.of(key, ignore, only, float_tolerance)
    parts, where = _graph(a, b, terms, partitioning)
    folder = output if is_url(output) else os.path.abspath(output)
    suffix = ".parquet" if output.rstrip("/").lower().endswith(".parquet") else ".jsonl"
    _make_folder(folder)
    tasks = [dask.delayed(write_frame, pure=True)(part, where, terms, posixpath.join(folder, f"part-{i:05d}{suffix}"))
             for i, part in enumerate(parts)]
    state = _progress(len(tasks))
    summary = RowSummary()
    for future in dask.distributed.as_completed(client.compute(tasks)):
        _count(summary, summary_from_json(dict(future.result())), state, progress)
    _write_summary(posixpath.join(folder, "summary.json"), summary)
    return summary


def _progress(partitions: int) -> Progress:
    now = time.monotonic()
    return Progress(partitions=partitions, started=now, comparing_since=now)


def _count(summary: RowSummary, counted: RowSummary, state: Progress, hook: ProgressHook | None) -> None:
    """A partition's counts added; the progress shows the rows compared so far."""
    summary.add(counted)
    state.partitions_done += 1
    state.rows = summary.rows_a + summary.rows_b
    if hook is not None:
        hook(state)


def _make_folder(folder: str) -> None:
    if is_url(folder):
        import fsspec  # type: ignore[import-untyped, unused-ignore]

        fs, path = fsspec.core.url_to_fs(folder)
        fs.makedirs(path, exist_ok=True)
    else:
        os.makedirs(folder, exist_ok=True)


def _write_summary(path: str, summary: RowSummary) -> None:
    with open_for_writing(path) as f:
        f.write(json.dumps(summary_json(summary), indent=2).encode() + b"\n")
