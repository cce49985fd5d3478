"""Keyed datasets: two collections of records matched by a key and compared row by row.

    diff_rows(a_rows, b_rows, key="/id", ...)       both sides held in memory
    diff_datasets(a, b, key="/id", jobs=..., ...)   JSON Lines (gzip too) or Parquet files,
                                                    directories or globs of them, or iterables of
                                                    records, of any size: memory bounded by the
                                                    partition size (Partitioning), on every core
    write_datasets(a, b, key, output, ...)          the same written to a file of records, each made
                                                    where its rows were compared
    diff_on_dask(a, b, key, client=...)             the same on a Dask cluster (pip install 'corvane[dask]');
    write_on_dask(a, b, key, output, client=...)    there the workers may write the records themselves
    read_records(path)                              records written by RecordWriter or the Dask workers
    DifferenceWriter(path, key)                     a row per difference, typed key columns (Parquet, JSON Lines)
    compare_rows(a, b)                              the one comparison every pair of rows goes through

All of them give RowDiff records and the RowSummary counts, the same for the same rows, and
raise RowsError naming the file (or side) and the row, or with on_error="record" give such a
row as a RowDiff of kind "error" and go on.
"""

from importlib import import_module
from typing import TYPE_CHECKING

from ._results import ROW_KINDS, RowAt, RowDiff, RowDiffs, RowKind, RowsError, RowSummary, SpillFolderFull, WorkerDied
from ._signals import Stop, stop_on_signals
from ._sizes import BLOCK_BYTES, PARTITION_BYTES, Partitioning

if TYPE_CHECKING:
    from ._cluster import connect, diff_on_dask, write_on_dask
    from ._engine import Progress, ProgressHook, diff_datasets, write_datasets
    from ._keys import OnError, RowKey
    from ._memory import diff_rows
    from ._output import (
        DIFFERENCE_COLUMNS, DifferenceWriter, RecordWriter, atomic_output, json_text, key_columns, read_records,
        record_json,
    )
    from ._rules import compare_rows
    from ._sources import Source
    from ._workers import quiet_fork_server

__all__ = [
    "BLOCK_BYTES", "DIFFERENCE_COLUMNS", "PARTITION_BYTES", "ROW_KINDS", "DifferenceWriter", "OnError", "Partitioning",
    "Progress", "ProgressHook", "RecordWriter", "RowAt", "RowDiff", "RowDiffs", "RowKey", "RowKind", "RowSummary",
    "RowsError", "Source", "SpillFolderFull", "Stop", "WorkerDied", "atomic_output", "compare_rows", "connect",
    "diff_datasets", "diff_on_dask", "diff_rows", "json_text", "key_columns", "quiet_fork_server", "read_records", "record_json",
    "stop_on_signals", "write_datasets", "write_on_dask",
]

# The engines load on first use: a program (or corvane-diff comparing two documents) that only
# names the package's results or sizes does not pay for the worker pool, the readers and writers.
_LAZY = {
    **dict.fromkeys(("connect", "diff_on_dask", "write_on_dask"), "._cluster"),
    **dict.fromkeys(("Progress", "ProgressHook", "diff_datasets", "write_datasets"), "._engine"),
    **dict.fromkeys(("OnError", "RowKey"), "._keys"),
    "diff_rows": "._memory",
    **dict.fromkeys(("DIFFERENCE_COLUMNS", "DifferenceWriter", "RecordWriter", "atomic_output", "json_text",
                     "key_columns", "read_records", "record_json"), "._output"),
    "compare_rows": "._rules",
    "Source": "._sources",
    "quiet_fork_server": "._workers",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(import_module(module, __name__), name)
    globals()[name] = value
    return value
