"""corvane_rows: keyed comparison of datasets of any size, on every core or on a Dask cluster.

    diff_datasets(a, b, key="/id", jobs=..., ...)   JSON Lines (gzip too) or Parquet files, directories
                                                    of them, or iterables of records; memory bounded
                                                    by the partition size
    diff_on_dask(a, b, key="/id", client=..., ...)  the same on a Dask cluster (pip install 'corvane[dask]')

Both give corvane_report's RowDiff records and RowSummary counts. `corvane-diff rows A B --key /id`
is the command line.
"""

from corvane_report import RowAt, RowDiff, RowDiffs, RowsError, RowSummary, diff_rows

from .engine import PARTITION_BYTES, Progress, diff_datasets

__all__ = [
    "PARTITION_BYTES", "Progress", "RowAt", "RowDiff", "RowDiffs", "RowSummary", "RowsError", "diff_datasets",
    "diff_rows",
]
