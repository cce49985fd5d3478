"""The two sides as blocks that can be read apart: JSON Lines files (plain or gzip) cut at line
boundaries, Parquet files by row groups, and rows handed over in Python.

A block is read in batches of a few thousand rows (Batch): for each row its line (JSON Lines)
or row (Parquet, Python) counted from 1 within the block, the bytes it is spilled as (the line
itself, or the pickled row), and the rows when they are already objects (None for lines not
yet decoded). Batches keep the per-row work of the readers in C: a JSON Lines block is read in
chunks of a few megabytes and split into lines at once.
"""

from __future__ import annotations

import contextlib
import datetime
import decimal
import glob
import gzip
import io
import itertools
import os
import pickle
import stat
import zlib
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, Final, Literal, NamedTuple, cast

from ._results import RowsError

BlockKind = Literal["jsonl", "gzip", "parquet", "rows"]
PARQUET_SUFFIXES: Final = (".parquet", ".parq", ".pq")
_GZIP_MAGIC: Final = b"\x1f\x8b"
_PARQUET_MAGIC: Final = b"PAR1"
_BATCH_ROWS: Final = 4096
CHUNK_BYTES: Final = 4 << 20  # bytes of a JSON Lines file split into lines at once
Source = str | os.PathLike[str] | Iterable[object]


@dataclass(frozen=True, slots=True)
class Block:
    """A part of one side read by one task.

    start, stop   byte offsets of a JSON Lines block (stop None: to the end); the row groups
                  [start, stop) of a Parquet block
    first_row     rows of the file before the block, when known without reading it (Parquet;
                  0 for the first block of a file); None for the later blocks of a JSON Lines file
    size          bytes of input the block stands for (an estimate for gzip and Parquet; 0 for
                  rows and pipes), taken while planning, for the partition count and progress
    """

    side: str
    index: int
    path: str
    kind: BlockKind
    start: int = 0
    stop: int | None = None
    first_row: int | None = 0
    size: int = 0


def is_url(path: str) -> bool:
    return "://" in path


def open_binary(path: str) -> IO[bytes]:
    """A file or an fsspec URL, opened for reading bytes."""
    if not is_url(path):
        return open(path, "rb")
    import fsspec  # type: ignore[import-untyped, unused-ignore]

    opened: IO[bytes] = fsspec.open(path, "rb").open()
    return opened


# --- planning -----------------------------------------------------------------------------------------


def files_of(source: str) -> list[str]:
    """The files a side names: a file, a directory's files (sorted; names starting with "_" or "."
    left out, as Spark and Dask write them beside the data), or a glob pattern."""
    if is_url(source):
        return _url_files(source)
    if any(ch in source for ch in "*?["):
        found = sorted(path for path in glob.glob(source, recursive=True) if os.path.isfile(path))
    elif os.path.isdir(source):
        found = sorted(str(path) for path in Path(source).rglob("*") if path.is_file() and not _hidden(path.name))
    else:
        found = [source]
    if not found:
        raise RowsError(f"{source}: no files")
    return found


def _hidden(name: str) -> bool:
    return name.startswith(("_", "."))


def _url_files(source: str) -> list[str]:
    import fsspec

    fs, path = fsspec.core.url_to_fs(source)
    if any(ch in path for ch in "*?["):
        paths = sorted(fs.glob(path))
    elif fs.isdir(path):
        paths = sorted(p for p in fs.find(path) if not _hidden(p.rsplit("/", 1)[-1]))
    else:
        paths = [path]
    if not paths:
        raise RowsError(f"{source}: no files")
    return [fs.unstrip_protocol(p) for p in paths]


def _kind(path: str, head: bytes) -> BlockKind:
    if path.lower().endswith(PARQUET_SUFFIXES) or head.startswith(_PARQUET_MAGIC):
        return "parquet"
    return "gzip" if head.startswith(_GZIP_MAGIC) else "jsonl"


def plan_file(side: str, path: str, first_index: int, block_bytes: int) -> list[Block]:
    """The blocks of one file, numbered from `first_index`."""
    if not is_url(path):
        try:
            mode = os.stat(path).st_mode
        except OSError as exc:
            raise RowsError(f"{path}: cannot read: {exc.strerror or exc}") from None
        if not stat.S_ISREG(mode):  # a pipe cannot be cut or read twice: the reader tells gzip itself
            return [Block(side, first_index, path, "jsonl")]
    try:
        with open_binary(path) as f:
            head = f.read(4)
            kind = _kind(path, head)
            if kind == "parquet":
                return _parquet_blocks(side, path, f, first_index)
            if kind == "gzip":
                return [Block(side, first_index, path, "gzip", size=_gzip_size(f))]
            return _line_blocks(side, path, f, first_index, block_bytes)
    except OSError as exc:
        raise RowsError(f"{path}: cannot read: {exc.strerror or exc}") from None


def _line_blocks(side: str, path: str, f: IO[bytes], first_index: int, block_bytes: int) -> list[Block]:
    size = f.seek(0, io.SEEK_END)
    starts = [0]
    for nominal in range(block_bytes, size, block_bytes):
        if nominal <= starts[-1]:
            continue
        f.seek(nominal)
        f.readline()  # a block starts after a newline: the line under way belongs to the one before
        if f.tell() < size:
            starts.append(f.tell())
    stops: list[int | None] = [*starts[1:], None]
    return [Block(side, first_index + i, path, "jsonl", start, stop, 0 if i == 0 else None,
                  (size if stop is None else stop) - start)
            for i, (start, stop) in enumerate(zip(starts, stops))]


def _gzip_size(f: IO[bytes]) -> int:
    size = f.seek(0, io.SEEK_END)
    if size < 4:
        return size
    # The trailer holds the size modulo 4 GiB; a well compressed file is larger still.
    f.seek(size - 4)
    return max(int.from_bytes(f.read(4), "little"), 8 * size)


def _parquet_blocks(side: str, path: str, f: IO[bytes], first_index: int) -> list[Block]:
    pq = parquet_module()
    meta = pq.ParquetFile(f).metadata
    blocks, first = [], 0
    for group in range(meta.num_row_groups):
        row_group = meta.row_group(group)
        blocks.append(Block(side, first_index + group, path, "parquet", group, group + 1, first, row_group.total_byte_size))
        first += row_group.num_rows
    return blocks or [Block(side, first_index, path, "parquet", 0, 0)]


# --- reading ------------------------------------------------------------------------------------------


class Batch(NamedTuple):
    """Rows of a block: numbers (line or row, from 1 within the block), payloads (the line, or the
    pickled row), rows (the objects, or None for lines), whether the lines are all ASCII, and the
    bytes read for them."""

    numbers: list[int]
    payloads: list[bytes]
    rows: list[object] | None
    ascii: bool = False
    bytes: int = 0
    last: int = 0  # the number of the block's last line (blank ones included) or row so far


def read_block(block: Block, rows: Iterable[object] | None = None) -> Iterator[Batch]:
    """The rows of a block in batches; `rows` is the iterable of a "rows" block."""
    if block.kind == "rows":
        assert rows is not None
        return _object_batches(enumerate(rows, 1))
    if block.kind == "parquet":
        return _parquet_rows(block)
    return _lines(block)


def _object_batches(numbered: Iterable[tuple[int, object]]) -> Iterator[Batch]:
    numbers: list[int] = []
    rows: list[object] = []
    for number, row in numbered:
        numbers.append(number)
        rows.append(row)
        if len(rows) == _BATCH_ROWS:
            yield _pickled(numbers, rows)
            numbers, rows = [], []
    if rows:
        yield _pickled(numbers, rows)


def _pickled(numbers: list[int], rows: list[object]) -> Batch:
    payloads = [pickle.dumps(row, pickle.HIGHEST_PROTOCOL) for row in rows]
    return Batch(numbers, payloads, rows, bytes=sum(map(len, payloads)), last=numbers[-1])


@contextlib.contextmanager
def _opened_lines(block: Block) -> Iterator[tuple[IO[bytes], int | None]]:
    """A JSON Lines block's file (decompressed where it is gzip) at the block's start, and the
    bytes it holds (None: to the end); a damaged or cut gzip stream is a RowsError."""
    with open_binary(block.path) as raw:
        f: IO[bytes] = raw
        if block.start:
            f.seek(block.start)
        elif block.kind == "gzip" or (isinstance(raw, io.BufferedReader) and raw.peek(2)[:2] == _GZIP_MAGIC):
            f = cast(IO[bytes], gzip.GzipFile(fileobj=raw))
        left = None if block.stop is None else block.stop - block.start  # a block ends where a line starts
        try:
            yield f, left
        except (OSError, EOFError, zlib.error) as exc:  # zlib.error: a damaged deflate stream
            raise RowsError(f"{block.path}: cannot read: {exc}") from None


def _lines(block: Block) -> Iterator[Batch]:
    with _opened_lines(block) as (f, left):
        yield from _split(f, left)


def read_into(f: IO[bytes], room: memoryview) -> int:
    """Bytes of `f` read into `room` (files, gzip streams and fsspec files all read into a buffer)."""
    return cast(io.BufferedIOBase, f).readinto(room)


def line_chunks(block: Block) -> Iterator[tuple[memoryview, bool]]:
    """A JSON Lines block as chunks of whole lines, each a view of one buffer that the next chunk
    reuses, and whether it is the last (which may end without a line end). A line longer than
    the buffer doubles it."""
    with _opened_lines(block) as (f, left):
        buffer = bytearray(CHUNK_BYTES)
        held = 0  # bytes of a line under way, carried to the front of the buffer
        while True:
            if held == len(buffer):
                buffer.extend(bytes(len(buffer)))
            room = len(buffer) - held if left is None else min(len(buffer) - held, left)
            got = 0
            if room > 0:
                got = read_into(f, memoryview(buffer)[held:held + room])
            if left is not None:
                left -= got
            filled, last = held + got, got == 0
            cut = filled if last else buffer.rfind(b"\n", held, filled) + 1
            if cut > 0:
                view = memoryview(buffer)[:cut]
                yield view, last
                view.release()
            if last:
                return
            if cut > 0:
                buffer[:filled - cut] = buffer[cut:filled]
                held = filled - cut
            else:
                held = filled


def _split(f: IO[bytes], left: int | None) -> Iterator[Batch]:
    """The lines of `f` (at most `left` bytes of it, which end at a line's end), blank ones
    counted but left out. readlines() with a size hint makes each line in C straight from the
    file's buffer: reading a chunk, joining the line cut at its end and splitting it copies
    every byte twice more, which cost more than the rest of reading."""
    number = 0
    while left is None or left > 0:
        lines = f.readlines(CHUNK_BYTES if left is None else min(CHUNK_BYTES, left))
        if not lines:
            break
        size = sum(map(len, lines))
        if left is not None:
            if size > left:  # the hint is passed by a line: it belongs to the next block
                kept = next(i for i, total in enumerate(itertools.accumulate(map(len, lines))) if total >= left)
                lines = lines[:kept + 1]
                size = sum(map(len, lines))
            left -= size
        yield _batch(lines, number, all(map(bytes.isascii, lines)), size)
        number += len(lines)


def _batch(lines: list[bytes], before: int, ascii: bool, size: int) -> Batch:
    # A line is its own payload, line end and all (JSON allows the white space; a copy without it
    # would cost a copy of every line); blank ones are counted and left out.
    if any(map(bytes.isspace, lines)):
        numbers = [number for number, line in enumerate(lines, before + 1) if not line.isspace()]
        payloads = [line for line in lines if not line.isspace()]
    else:
        numbers, payloads = list(range(before + 1, before + 1 + len(lines))), lines
    return Batch(numbers, payloads, None, ascii, size, before + len(lines))


def parquet_module() -> Any:
    try:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise RowsError("Parquet files need pyarrow: pip install 'corvane[parquet]'") from None
    return pq


def _parquet_rows(block: Block) -> Iterator[Batch]:
    pq = parquet_module()
    number = 0
    with open_binary(block.path) as f:
        try:
            batches = pq.ParquetFile(f).iter_batches(batch_size=_BATCH_ROWS, row_groups=range(block.start, block.stop or 0))
            for batch in batches:
                rows = [plain_values(row) for row in batch.to_pylist(maps_as_pydicts="strict")]
                if rows:
                    yield _pickled(list(range(number + 1, number + len(rows) + 1)), rows)
                number += len(rows)
        except (OSError, ValueError) as exc:  # pyarrow's errors derive from these
            raise RowsError(f"{block.path}: cannot read Parquet: {exc}") from None


def plain_values(value: object) -> object:
    """A Parquet row with dates, times and decimals as their text: corvane has no rule comparing
    them by value, so equal ones would always be reported as changed."""
    if isinstance(value, dict):
        return {key: plain_values(item) for key, item in value.items()}
    if isinstance(value, list):
        return [plain_values(item) for item in value]
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (datetime.timedelta, decimal.Decimal)):
        return str(value)
    return value


def lines_before(block: Block) -> int:
    """Lines of the file before a JSON Lines block: read only to name the line of an error."""
    if block.first_row is not None:
        return block.first_row
    count = 0
    with open_binary(block.path) as f:
        left = block.start
        while left > 0:
            chunk = f.read(min(left, 1 << 20))
            if not chunk:
                break
            count += chunk.count(b"\n")
            left -= len(chunk)
    return count
