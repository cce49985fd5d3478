"""What a comparison of rows writes for programs: a record per result (RecordWriter), a row per
difference with typed key columns (DifferenceWriter), as JSON Lines or Parquet, and the counts
as plain data.

Every file is written under a temporary name beside its target and renamed onto it only when
complete (atomic_output), so that a failed or interrupted run never leaves something that reads
as a result.
"""

from __future__ import annotations

import contextlib
import gzip
import json
import os
import posixpath
import re
import tempfile
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import IO, Any, Final, cast

from ..report import MISSING, Entry, dumps_strict, from_strict_json, printable, to_strict_json
from ._keys import RowKey
from ._results import COUNTS, RowAt, RowDiff, RowSummary
from ._signals import shielded
from ._sources import PARQUET_SUFFIXES, is_url, open_binary, parquet_module

_PARQUET_COLUMNS: Final = ("kind", "key", "a", "b", "differences", "error")
_PARQUET_BATCH: Final = 10_000
_INT64: Final = range(-(2**63), 2**63)


def json_text(value: object) -> str:
    """Strict JSON text of `value` that encodes as UTF-8: dumps_strict writes a lone surrogate as its escape."""
    return dumps_strict(value)


def entry_json(entry: Entry) -> dict[str, object]:
    found: dict[str, object] = {"path": entry.pointer, "kind": entry.kind}
    if entry.a is not MISSING:
        found["a"] = entry.a
    if entry.b is not MISSING:
        found["b"] = entry.b
    if entry.kind == "length_changed" and entry.tail is not None:
        found["added" if entry.lengths[1] > entry.lengths[0] else "removed"] = list(entry.tail)
    return found


def record_json(diff: RowDiff, key: RowKey) -> dict[str, Any]:
    """A result as plain data: kind, key {pointer: value}, the rows of each side with where they
    were read, for a changed row its differences, and for an error its message."""
    record: dict[str, Any] = {
        "kind": diff.kind,
        "key": key.shown(diff.key),
        "a": [{"at": found.at, "row": found.row} for found in diff.a],
        "b": [{"at": found.at, "row": found.row} for found in diff.b],
        "differences": [entry_json(entry) for entry in diff.entries],
    }
    if diff.kind == "error":
        record["error"] = diff.error
    return record


def summary_json(summary: RowSummary) -> dict[str, object]:
    counts: dict[str, object] = {name: getattr(summary, name) for name in COUNTS}
    counts["fields"] = dict(summary.fields.most_common())
    return counts


def summary_from_json(data: dict[str, Any]) -> RowSummary:
    fields = data.pop("fields", {})
    summary = RowSummary(**data)
    summary.fields.update(fields)
    return summary


# --- atomic files ---------------------------------------------------------------------------------


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def named(path: str) -> Iterator[None]:
    """An OSError inside names `path`, the file the user asked for: a failed write to a
    temporary file names none, or the temporary file, which means nothing to them."""
    try:
        yield
    except OSError as exc:
        exc.filename, exc.filename2 = path, None
        raise


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[IO[bytes]]:
    """A file for `path`, written under a temporary name beside it and renamed onto it when the
    block ends without an exception; removed when it raises. An fsspec URL is written in place
    (object stores make a file visible only once it is closed) and removed on a failure."""
    if is_url(path):
        yield from _url_output(path)
        return
    folder, name = os.path.split(os.path.abspath(path))
    temporary = None
    try:
        with shielded():  # a signal between making the file and knowing its name would leave it
            fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
        os.fchmod(fd, 0o666 & ~_umask())  # what open() would have made, not mkstemp's 0600
        with open(fd, "wb") as f:
            yield f
        os.replace(temporary, path)
    except BaseException:
        if temporary is not None:
            with shielded(), contextlib.suppress(OSError):
                os.unlink(temporary)
        raise


def _url_output(path: str) -> Iterator[IO[bytes]]:
    import fsspec  # type: ignore[import-untyped, unused-ignore]

    fs, inner = fsspec.core.url_to_fs(path)
    try:
        with fs.open(inner, "wb") as f:
            yield f
    except BaseException:
        with contextlib.suppress(Exception):
            fs.rm(inner)
        raise


class _Output:
    """A target file opened by atomic_output, kept open across calls; `commit` or `abort` ends it."""

    def __init__(self, path: str) -> None:
        self._context = atomic_output(path)
        self.file = self._context.__enter__()

    def commit(self) -> None:
        self._context.__exit__(None, None, None)

    def abort(self, exc: BaseException | None = None) -> None:
        error = exc if exc is not None else RuntimeError("aborted")
        with contextlib.suppress(BaseException):
            self._context.__exit__(type(error), error, error.__traceback__)


class _Written:
    """What a writer of results shares: a context manager that keeps the file when the block ends
    normally (as close() does) and removes it when the block raises (as abort() does)."""

    def close(self) -> None:
        raise NotImplementedError

    def abort(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> _Written:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        if exc is None:
            self.close()
        else:
            self.abort()


# --- files of records -------------------------------------------------------------------------------


def _is_parquet(path: str) -> bool:
    return path.lower().endswith(PARQUET_SUFFIXES)


class RecordWriter(_Written):
    """Records into one file: Parquet when its name ends in .parquet (a column per part of a
    record, each part as strict JSON text, as rows of any shape have no one schema), else JSON
    Lines, gzip-compressed when it ends in .gz. A path may be an fsspec URL.

    The file appears under its name only on close(); abort() (or leaving a `with` block by an
    exception) removes what was written."""

    def __init__(self, path: str, key: RowKey) -> None:
        self.path = path
        self.key = key
        self.parquet = _is_parquet(path)
        if self.parquet:
            parquet_module()  # RowsError saying what to install, before anything is written
        self.held: list[tuple[str | None, ...]] = []
        with named(path):
            self._output = _Output(path)
        self._file = self._output.file
        self._text: IO[bytes] | None = None
        self._table_writer: Any = None
        if not self.parquet:
            self._text = cast(IO[bytes], gzip.GzipFile(fileobj=self._file, mode="wb")) if path.endswith(".gz") else self._file

    def __enter__(self) -> RecordWriter:
        return self

    def write(self, found: Iterable[RowDiff]) -> None:
        self.write_rendered(rendered_record(diff, self.key, self.parquet) for diff in found)

    def write_rendered(self, items: Iterable[Rendered]) -> None:
        """Results already made into what this file holds of them (rendered_record)."""
        for item in items:  # an error of whoever makes the items is theirs, not this file's
            with named(self.path):
                if self._text is not None:
                    self._text.write(cast(bytes, item))
                    continue
                self.held.append(cast(tuple[str | None, ...], item))
                if len(self.held) >= _PARQUET_BATCH:
                    self._flush()

    def _flush(self) -> None:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        columns = list(zip(*self.held)) or [()] * len(_PARQUET_COLUMNS)
        table = pa.table({name: pa.array(values, pa.string()) for name, values in zip(_PARQUET_COLUMNS, columns)})
        if self._table_writer is None:
            self._table_writer = parquet_module().ParquetWriter(self._file, table.schema)
        self._table_writer.write_table(table)
        self.held.clear()

    def close(self) -> None:
        with named(self.path):
            try:
                if self.parquet:
                    if self.held or self._table_writer is None:
                        self._flush()
                    self._table_writer.close()
                elif self._text is not self._file and self._text is not None:
                    self._text.close()
            except BaseException as exc:
                self._output.abort(exc)
                raise
            self._output.commit()

    def abort(self) -> None:
        with contextlib.suppress(Exception):  # the compressor's own end, into the file about to go
            if self._table_writer is not None:
                self._table_writer.close()
            elif self._text is not self._file and self._text is not None:
                self._text.close()
        self._output.abort()


# A result as a file of records holds it: its JSON line, or its Parquet columns' values.
Rendered = bytes | tuple[str | None, ...]


def rendered_record(diff: RowDiff, key: RowKey, parquet: bool) -> Rendered:
    """What RecordWriter writes for a result: made where the result is found (in a worker
    process), it travels as a few strings rather than as the rows it holds."""
    record = record_json(diff, key)
    if parquet:
        return tuple(_parquet_part(record, name) for name in _PARQUET_COLUMNS)
    return json_text(record).encode() + b"\n"


def _parquet_part(record: dict[str, Any], name: str) -> str | None:
    if name == "kind":
        return str(record["kind"])
    if name == "error":
        return _plain(record.get("error"))
    return json_text(record[name])


def read_records(path: str) -> Iterator[dict[str, Any]]:
    """Records written by RecordWriter (or a Dask run's part files), as plain data."""
    if _is_parquet(path):
        with open_binary(path) as f:
            for row in parquet_module().read_table(f).to_pylist():
                record = {name: row[name] if name == "kind" else from_strict_json(json.loads(row[name]))
                          for name in _PARQUET_COLUMNS if name in row and name != "error"}
                if row.get("error") is not None:
                    record["error"] = row["error"]
                yield record
        return
    with open_binary(path) as raw:
        f = cast(IO[bytes], gzip.GzipFile(fileobj=raw)) if path.endswith(".gz") else raw
        for line in f:
            if line.strip():
                yield from_strict_json(json.loads(line))


def write_summary(path: str, summary: RowSummary) -> None:
    with atomic_output(path) as f:
        f.write(json.dumps(summary_json(summary), indent=2).encode() + b"\n")


# --- a row per difference -----------------------------------------------------------------------------

DIFFERENCE_COLUMNS: Final = ("kind", "pointer", "a", "b", "added", "removed", "a_file", "a_line", "b_file", "b_line", "message")


def key_columns(key: RowKey) -> list[str]:
    """The names of the key columns: "key_" and the pointer's steps joined by "_" (other characters
    than letters, digits and "_" as "_"), numbered on a clash."""
    names: list[str] = []
    for steps in key.steps:
        name = "key_" + re.sub(r"\W", "_", "_".join(steps), flags=re.ASCII)
        base, n = name, 2
        while name in names or name in DIFFERENCE_COLUMNS:
            name, n = f"{base}_{n}", n + 1
        names.append(name)
    return names


def _where(row: RowAt) -> tuple[str | None, int | None]:
    name, _, line = row.at.rpartition(":")
    return (_plain(name), int(line)) if line.isdigit() else (_plain(row.at), None)


def difference_rows(diff: RowDiff) -> Iterator[list[Any]]:
    """The rows of a result: [key values, kind, pointer, a, b, added, removed, a_file, a_line,
    b_file, b_line, message], the values as JSON text."""
    a_at = _where(diff.a[0]) if len(diff.a) == 1 else (None, None)
    b_at = _where(diff.b[0]) if len(diff.b) == 1 else (None, None)
    if diff.kind == "changed":
        for entry in diff.entries:
            added = removed = None
            a, b = entry.a, entry.b
            if entry.kind == "length_changed" and entry.tail is not None:
                items = json_text(list(entry.tail))
                added, removed = (items, None) if entry.lengths[1] > entry.lengths[0] else (None, items)
            yield [entry.kind, _plain(entry.pointer), _text(a), _text(b), added, removed, *a_at, *b_at, None]
    elif diff.kind == "duplicate_key":
        for row in diff.a:
            yield ["duplicate_key", "", _text(row.row), None, None, None, *_where(row), None, None, None]
        for row in diff.b:
            yield ["duplicate_key", "", None, _text(row.row), None, None, None, None, *_where(row), None]
    else:
        a = _text(diff.a[0].row) if diff.a and diff.a[0].row is not None else None
        b = _text(diff.b[0].row) if diff.b and diff.b[0].row is not None else None
        yield [diff.kind, "", a, b, None, None, *a_at, *b_at, _plain(diff.error or None)]


def _text(value: object) -> str | None:
    return None if value is MISSING else json_text(value)


def _plain(text: str | None) -> str | None:
    """Text that encodes as UTF-8: a lone surrogate (of a key in a pointer) as its escape."""
    return None if text is None else printable(text)


class _KeyColumn:
    """What the values of one key column were, to choose its type once all are known."""

    def __init__(self) -> None:
        self.types: set[type] = set()
        self.plain = True  # every string encodes as UTF-8, every int fits 64 bits

    def see(self, value: object) -> None:
        kind = type(value)
        if kind is type(None):
            return
        self.types.add(kind)
        if kind is int and value not in _INT64 or kind is str and not _encodes(cast(str, value)):
            self.plain = False

    @property
    def natural(self) -> type | None:
        """The one type of the values (int, float, str or bool), or None when they are written as JSON text."""
        if len(self.types) == 1 and self.plain and next(iter(self.types)) in (int, float, str, bool):
            return next(iter(self.types))
        return None if self.types else str


def _encodes(text: str) -> bool:
    if text.isascii():
        return True
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class DifferenceWriter(_Written):
    """A row per difference into one file (Parquet for .parquet, else JSON Lines, .gz compressed):
    typed key columns, then DIFFERENCE_COLUMNS (see the README for the schema).

    A key column takes the values' own type where they all have one (int as int64, float,
    string, bool), else their JSON text; as that is known only at the end, the rows are kept
    in a temporary file until close() writes the target."""

    def __init__(self, path: str, key: RowKey) -> None:
        self.path = path
        self.key = key
        if _is_parquet(path):
            parquet_module()  # RowsError saying what to install, before the comparison starts
        self.names = key_columns(key)
        self.columns = [_KeyColumn() for _ in key.pointers]
        beside = None if is_url(path) else os.path.dirname(os.path.abspath(path))
        with named(path):
            self._held = tempfile.TemporaryFile(prefix=".corvane-differences-", dir=beside)

    def __enter__(self) -> DifferenceWriter:
        return self

    def write(self, found: Iterable[RowDiff]) -> None:
        for diff in found:
            values = diff.key if diff.key else (None,) * len(self.columns)
            for column, value in zip(self.columns, values):
                column.see(value)
            keys = [to_strict_json(value) for value in values]
            with named(self.path):
                for row in difference_rows(diff):
                    self._held.write(json.dumps([*keys, *row], ensure_ascii=True).encode() + b"\n")

    def _rows(self) -> Iterator[list[Any]]:
        self._held.seek(0)
        natural = [column.natural for column in self.columns]
        for line in self._held:
            row = json.loads(line)
            for i, kind in enumerate(natural):
                value = row[i]
                if value is not None and kind is None:
                    row[i] = json_text(from_strict_json(value))
                elif kind is float and isinstance(value, dict):
                    row[i] = from_strict_json(value)  # NaN and the infinities, tagged in the held rows
            yield row

    def close(self) -> None:
        try:
            with named(self.path), atomic_output(self.path) as f:
                if _is_parquet(self.path):
                    self._parquet(f)
                else:
                    self._lines(f)
        finally:
            self._drop_held()

    def abort(self) -> None:
        self._drop_held()

    def _drop_held(self) -> None:
        # Its buffer is written out on closing, and may fail as the write before it did (a full
        # disk): that error says nothing more, and must not hide the one that named the file.
        with contextlib.suppress(OSError):
            self._held.close()

    def _lines(self, f: IO[bytes]) -> None:
        out = cast(IO[bytes], gzip.GzipFile(fileobj=f, mode="wb")) if self.path.endswith(".gz") else f
        names = [*self.names, *DIFFERENCE_COLUMNS]
        for row in self._rows():
            out.write(json_text(dict(zip(names, row))).encode() + b"\n")
        if out is not f:
            out.close()

    def _parquet(self, f: IO[bytes]) -> None:
        import pyarrow as pa

        types: dict[type | None, Any] = {int: pa.int64(), float: pa.float64(), str: pa.string(), bool: pa.bool_(), None: pa.string()}
        fields = [pa.field(name, types[column.natural]) for name, column in zip(self.names, self.columns)]
        fields += [pa.field(name, pa.int64() if name.endswith("_line") else pa.string()) for name in DIFFERENCE_COLUMNS]
        pointers = {name: pointer for name, pointer in zip(self.names, self.key.pointers)}
        schema = pa.schema(fields, metadata={b"corvane.key": json.dumps(pointers).encode()})
        with parquet_module().ParquetWriter(f, schema) as writer:
            held: list[list[Any]] = []
            for row in self._rows():
                held.append(row)
                if len(held) == _PARQUET_BATCH:
                    writer.write_table(pa.Table.from_pylist([dict(zip(schema.names, r)) for r in held], schema))
                    held.clear()
            writer.write_table(pa.Table.from_pylist([dict(zip(schema.names, r)) for r in held], schema))


def part_path(folder: str, part: int, suffix: str) -> str:
    return posixpath.join(folder, f"part-{part:05d}{suffix}")
