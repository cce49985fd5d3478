"""What a comparison of rows writes: records as JSON Lines or Parquet, text for people, a summary,
and a progress line for a terminal."""

from __future__ import annotations

import gzip
import json
import time
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, Final, TextIO, cast

from corvane_report import MISSING, Entry, Paint, RowDiff, RowKey, RowSummary, dumps_strict, plain, shorten, tail_lines

from .engine import Progress
from .sources import PARQUET_SUFFIXES, open_binary, parquet_module

HEADINGS: Final = {"only_in_a": "only in a", "only_in_b": "only in b", "changed": "changed", "duplicate_key": "duplicate key"}
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
    from corvane_report import from_strict_json

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


# --- text --------------------------------------------------------------------------------------------


def text_lines(found: Iterable[RowDiff], key: RowKey, width: int, paint: Paint = plain) -> Iterator[str]:
    """A heading per result (kind, key, where the rows are), a changed row's differences under it."""
    for diff in found:
        shown = shorten(key.shown(diff.key), width)
        places = "; ".join(", ".join(row.at for row in side) for side in (diff.a, diff.b) if side)
        yield f"{HEADINGS[diff.kind]} {shown} ({places})"
        for entry in diff.entries:
            yield "  " + paint(entry.text(width), entry.kind)
            yield from tail_lines(entry, width=width, indent="    ", paint=paint)


def _number(n: int) -> str:
    return f"{n:,}"


def summary_lines(summary: RowSummary, names: Sequence[str], fields: int = 10) -> Iterator[str]:
    """The counts, and the fields most often changed (at most `fields` of them)."""
    yield f"rows: {_number(summary.rows_a)} in {names[0]}, {_number(summary.rows_b)} in {names[1]}"
    yield (f"only in a: {_number(summary.only_in_a)}, only in b: {_number(summary.only_in_b)}, "
           f"changed: {_number(summary.changed)}, equal: {_number(summary.equal)}, "
           f"duplicate keys: {_number(summary.duplicate_keys)}")
    common = summary.fields.most_common(fields)
    if common:
        yield "fields most often changed (rows):"
        wide = max(len(name) for name, _ in common)
        yield from (f"  {name.ljust(wide)}  {_number(count)}" for name, count in common)


# --- progress ----------------------------------------------------------------------------------------


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}" if seconds >= 3600 else f"{seconds // 60}:{seconds % 60:02d}"


def progress_text(state: Progress, now: float) -> str:
    """One line: rows read, partitions done, and the time left of the current pass."""
    parts = [f"{_number(state.rows)} rows read"]
    if state.partitions:
        parts.append(f"{state.partitions_done}/{state.partitions} partitions")
        done, since = state.partitions_done / state.partitions, state.comparing_since
    else:
        done, since = (state.bytes_read / state.bytes_total if state.bytes_total else 0.0), state.started
    if 0 < done < 1:
        parts.append(f"ETA {_clock((now - since) / done * (1 - done))}")
    return " · ".join(parts)


class ProgressBar:
    """The progress line on a terminal, redrawn in place; `close` clears it."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = False

    def __call__(self, state: Progress) -> None:
        self.stream.write("\r\x1b[K" + progress_text(state, time.monotonic()))
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
