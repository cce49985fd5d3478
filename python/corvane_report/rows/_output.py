"""What a comparison of rows writes for programs: a record per result as JSON Lines or Parquet,
and the counts as plain data."""

from __future__ import annotations

import gzip
import json
from collections.abc import Iterable, Iterator
from typing import IO, Any, Final, cast

from ..report import MISSING, Entry, dumps_strict, from_strict_json
from ._keys import RowKey
from ._results import RowDiff, RowSummary
from ._sources import PARQUET_SUFFIXES, open_binary, parquet_module

_PARQUET_COLUMNS: Final = ("kind", "key", "a", "b", "differences")
_PARQUET_BATCH: Final = 10_000


def entry_json(entry: Entry) -> dict[str, object]:
    found: dict[str, object] = {"path": entry.pointer, "kind": entry.kind}
    if entry.a is not MISSING:
        found["a"] = entry.a
    if entry.b is not MISSING:
        found["b"] = entry.b
    return found


def record_json(diff: RowDiff, key: RowKey) -> dict[str, Any]:
    """A result as plain data: kind, key {pointer: value}, the rows of each side with where they
    were read, and for a changed row its differences."""
    return {
        "kind": diff.kind,
        "key": key.shown(diff.key),
        "a": [{"at": found.at, "row": found.row} for found in diff.a],
        "b": [{"at": found.at, "row": found.row} for found in diff.b],
        "differences": [entry_json(entry) for entry in diff.entries],
    }


def summary_json(summary: RowSummary) -> dict[str, object]:
    counts: dict[str, object] = {
        name: getattr(summary, name)
        for name in ("rows_a", "rows_b", "only_in_a", "only_in_b", "changed", "equal", "duplicate_keys")
    }
    counts["fields"] = dict(summary.fields.most_common())
    return counts


def summary_from_json(data: dict[str, Any]) -> RowSummary:
    fields = data.pop("fields", {})
    summary = RowSummary(**data)
    summary.fields.update(fields)
    return summary


# --- files of records -------------------------------------------------------------------------------


class RecordWriter:
    """Records into one file: Parquet when its name ends in .parquet (a column per part of a
    record, each part as strict JSON text, as rows of any shape have no one schema), else JSON
    Lines, gzip-compressed when it ends in .gz. A path may be an fsspec URL."""

    def __init__(self, path: str, key: RowKey) -> None:
        self.key = key
        self.parquet = path.lower().endswith(PARQUET_SUFFIXES)
        self.held: list[dict[str, Any]] = []
        self._file = open_for_writing(path)
        self._text: IO[bytes] | None = None
        self._table_writer: Any = None
        if not self.parquet:
            self._text = cast(IO[bytes], gzip.GzipFile(fileobj=self._file, mode="wb")) if path.endswith(".gz") else self._file

    def write(self, found: Iterable[RowDiff]) -> None:
        for diff in found:
            record = record_json(diff, self.key)
            if self._text is not None:
                self._text.write(dumps_strict(record).encode() + b"\n")
                continue
            self.held.append(record)
            if len(self.held) >= _PARQUET_BATCH:
                self._flush()

    def _flush(self) -> None:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        columns = {name: [dumps_strict(record[name]) if name != "kind" else record[name] for record in self.held]
                   for name in _PARQUET_COLUMNS}
        table = pa.table({name: pa.array(values, pa.string()) for name, values in columns.items()})
        if self._table_writer is None:
            self._table_writer = parquet_module().ParquetWriter(self._file, table.schema)
        self._table_writer.write_table(table)
        self.held.clear()

    def close(self) -> None:
        if self.parquet:
            if self.held or self._table_writer is None:
                self._flush()
            self._table_writer.close()
        elif self._text is not self._file and self._text is not None:
            self._text.close()
        self._file.close()


def open_for_writing(path: str) -> IO[bytes]:
    if "://" not in path:
        return open(path, "wb")
    import fsspec  # type: ignore[import-untyped, unused-ignore]

    opened: IO[bytes] = fsspec.open(path, "wb").open()
    return opened


def read_records(path: str) -> Iterator[dict[str, Any]]:
    """Records written by RecordWriter (or a Dask run's part files), as plain data."""
    if path.lower().endswith(PARQUET_SUFFIXES):
        with open_binary(path) as f:
            for row in parquet_module().read_table(f).to_pylist():
                yield {name: row[name] if name == "kind" else from_strict_json(json.loads(row[name])) for name in _PARQUET_COLUMNS}
        return
    with open_binary(path) as raw:
        f = cast(IO[bytes], gzip.GzipFile(fileobj=raw)) if path.endswith(".gz") else raw
        for line in f:
            if line.strip():
                yield from_strict_json(json.loads(line))
