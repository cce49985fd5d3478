"""The two passes over the data, each a function of one picklable task so that it runs alike in
this process, in a worker process or on a Dask worker.

Spilling: a block's rows go to its own spill file, in pickled batches of (key text, number,
payload) per partition (a stable hash of the key text), and the batches' places are returned.
Comparing: a partition's batches of both sides are read back and its keys compared.
"""

from __future__ import annotations

import json
import os
import pickle
import zlib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, Final

from ..inputs import InputError, fast_json, parse_json
from ..report import Filter, Patterns, ToleranceSpec, compile_filter
from ._keys import RowKey, compare_key, key_order, key_text, sort_found
from ._results import RowAt, RowDiff, RowsError, RowSummary
from ._sources import Block, lines_before, open_binary, read_block

BUFFER_BYTES: Final = 16 << 20  # rows a spilling task holds before it writes them out
_TICK_ROWS: Final = 4096  # rows between two progress reports

Piece = tuple[int, int, int]  # (block, offset, length) of one pickled batch in the block's spill file
Record = tuple[str, int, bytes]  # (key text, number in the block, payload)


@dataclass(frozen=True, slots=True)
class Terms:
    """What every task of both passes needs: the key and the filter. Both are built where the
    comparison is asked for, so that a bad pointer fails at once and not in a worker."""

    key: RowKey
    filter: Filter

    @classmethod
    def of(cls, key: str | Sequence[str], ignore: Patterns, only: Patterns, float_tolerance: ToleranceSpec) -> Terms:
        return cls(RowKey(key), compile_filter(ignore, only, float_tolerance))


# --- progress ---------------------------------------------------------------------------------------
# A spilling task reports the rows and bytes it has read every few thousand rows through this hook;
# a worker process sets it to add to counters shared with the parent.

_report: Callable[[int, int], None] = lambda rows, size: None


def set_reporter(report: Callable[[int, int], None]) -> None:
    global _report
    _report = report


# --- keys ---------------------------------------------------------------------------------------------


def _decode(payload: bytes) -> object:
    fast = fast_json()
    if fast is not None:
        try:
            return fast(payload)
        except Exception:  # noqa: BLE001 - the standard library decides, as corvane-diff does
            pass
    return json.loads(payload)


def load_line(payload: bytes, where: Callable[[], tuple[str, int]]) -> object:
    """A JSON line's value; RowsError naming the file and line (`where` is asked only then)."""
    try:
        return _decode(payload)
    except UnicodeDecodeError as exc:
        name, line = where()
        raise RowsError(f"{name}:{line}: not UTF-8 text (bad byte at offset {exc.start})") from None
    except (ValueError, RecursionError):
        name, line = where()
        try:
            return parse_json(name, payload, line)  # the error message of corvane-diff, or the value
        except InputError as exc:
            raise RowsError(str(exc)) from None


class KeyReader:
    """Reads the key of a JSON line without decoding the rest where msgspec is there: a decoder
    for a struct of the key fields alone skips the others several times faster."""

    def __init__(self, key: RowKey) -> None:
        self.key = key
        self._fast = _key_struct(key.steps)
        self._misses = 0

    def values(self, payload: bytes, row: object, where: Callable[[], tuple[str, int]]) -> tuple[object, ...]:
        """The key of a row (RowsError naming the row when it has none or the line is no JSON)."""
        found = self._fast_values(payload) if row is None and self._fast is not None else None
        if found is None:
            if row is None:
                row = load_line(payload, where)
            found = self.key.find(row)
        if found is None:
            name, line = where()
            raise RowsError(f"{name}:{line}: {self.key.missing(row)}")
        return found

    def _fast_values(self, payload: bytes) -> tuple[object, ...] | None:
        assert self._fast is not None
        decode, getters = self._fast
        try:
            decoded = decode(payload)
        except Exception:  # noqa: BLE001 - anything unusual: the whole line is decoded
            self._misses += 1
            if self._misses > 1000:  # rows of another shape: stop trying
                self._fast = None
            return None
        if not payload.isascii() and not _utf8(payload):
            return None  # the struct decoder leaves skipped strings unchecked: the full decode tells
        return tuple(getter(decoded) for getter in getters)


def _utf8(payload: bytes) -> bool:
    try:
        payload.decode()
    except UnicodeDecodeError:
        return False
    return True


def _key_struct(steps: Sequence[Sequence[str]]) -> tuple[Callable[[bytes], Any], list[Callable[[Any], object]]] | None:
    try:
        import msgspec
    except ImportError:
        return None
    tree: dict[str, Any] = {}
    for path in steps:
        node = tree
        for step in path[:-1]:
            node = node.setdefault(step, {})
            if node is None:
                return None  # one pointer ends where another goes on
        if path[-1] in node:
            return None
        node[path[-1]] = None

    def struct(node: dict[str, Any], name: str) -> Any:
        fields = [(f"f{i}", object if sub is None else struct(sub, f"{name}_{i}")) for i, sub in enumerate(node.values())]
        return msgspec.defstruct(name, fields, rename={f"f{i}": step for i, step in enumerate(node)})

    def getter(path: Sequence[str]) -> Callable[[Any], object]:
        names = []
        node = tree
        for step in path:
            names.append(f"f{list(node).index(step)}")
            node = node[step]

        def get(decoded: Any) -> object:
            for name in names:
                decoded = getattr(decoded, name)
            return decoded

        return get

    decoder = msgspec.json.Decoder(struct(tree, "Key"))
    return decoder.decode, [getter(path) for path in steps]


def partition_of(text: str, partitions: int) -> int:
    """A stable hash (the same in every process, unlike hash()) of the key text."""
    return zlib.crc32(text.encode("utf-8", "surrogatepass")) % partitions


# --- spilling -----------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class SpillTask:
    block: Block
    folder: str
    partitions: int
    terms: Terms


@dataclass(frozen=True, slots=True)
class SpillResult:
    """What spilling a block gave: its physical lines (or rows), its rows, and its batches by partition."""

    block: int
    lines: int
    rows: int
    pieces: dict[int, list[Piece]] = field(default_factory=dict)


def spill_path(folder: str, block: int) -> str:
    return os.path.join(folder, f"{block:06d}.spill")


class _Writer:
    def __init__(self, folder: str, block: int, partitions: int) -> None:
        self.block = block
        self.partitions = partitions
        self.file: IO[bytes] = open(spill_path(folder, block), "wb")
        self.buffers: dict[int, list[Record]] = {}
        self.held = 0
        self.pieces: dict[int, list[Piece]] = {}

    def add(self, text: str, number: int, payload: bytes) -> None:
        self.buffers.setdefault(partition_of(text, self.partitions), []).append((text, number, payload))
        self.held += len(payload) + len(text) + 64
        if self.held > BUFFER_BYTES:
            self.flush()

    def flush(self) -> None:
        for part in sorted(self.buffers):
            data = pickle.dumps(self.buffers[part], pickle.HIGHEST_PROTOCOL)
            self.pieces.setdefault(part, []).append((self.block, self.file.tell(), len(data)))
            self.file.write(data)
        self.buffers.clear()
        self.held = 0


def spill_block(task: SpillTask, rows: Iterable[object] | None = None) -> SpillResult:
    """Spill one block (the iterable `rows` for a block of Python rows) by partition."""
    block = task.block
    reader = KeyReader(task.terms.key)
    writer = _Writer(task.folder, block.index, task.partitions)
    number = count = size = 0
    try:
        for number, payload, row in read_block(block, rows):
            if not payload:
                continue
            values = reader.values(payload, row, lambda: (block.path, lines_before(block) + number))
            writer.add(key_text(values), number, payload)
            count += 1
            size += len(payload) + 1
            if count % _TICK_ROWS == 0:
                _report(_TICK_ROWS, size)
                size = 0
        writer.flush()
    finally:
        writer.file.close()
    _report(count % _TICK_ROWS, size)
    return SpillResult(block.index, number, count, writer.pieces)


# --- comparing ----------------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Where:
    """How a block's rows are named and read: its file, the rows before it, its side and format."""

    path: str
    first: int
    side: str
    pickled: bool


def where_table(blocks: Sequence[Block], lines: Sequence[int]) -> dict[int, Where]:
    """Each block's file, side and format, and the rows of its file before it, from the physical
    lines (or rows) of every block in order."""
    where: dict[int, Where] = {}
    before = 0
    for i, (block, count) in enumerate(zip(blocks, lines)):
        if i == 0 or (blocks[i - 1].path, blocks[i - 1].side) != (block.path, block.side):
            before = 0
        where[block.index] = Where(block.path, before, block.side, block.kind in ("parquet", "rows"))
        before += count
    return where


@dataclass(frozen=True, slots=True)
class CompareTask:
    part: int
    folder: str
    pieces: tuple[Piece, ...]
    blocks: Mapping[int, Where]
    terms: Terms


@dataclass(slots=True)
class Compared:
    part: int
    found: list[RowDiff]
    summary: RowSummary


Stored = tuple[int, int, bytes]  # (block, number, payload)


def _batches(folder: str, pieces: Sequence[Piece]) -> Iterator[tuple[int, list[Record]]]:
    by_block: dict[int, list[Piece]] = {}
    for piece in pieces:
        by_block.setdefault(piece[0], []).append(piece)
    for block, own in sorted(by_block.items()):
        with open_binary(spill_path(folder, block)) as f:
            for _, offset, length in own:
                f.seek(offset)
                yield block, pickle.loads(f.read(length))


def read_partition(folder: str, pieces: Sequence[Piece], blocks: Mapping[int, Where]) -> tuple[dict[str, list[Stored]], dict[str, list[Stored]]]:
    """A partition's rows of each side by key text."""
    sides: dict[str, dict[str, list[Stored]]] = {"a": {}, "b": {}}
    for block, batch in _batches(folder, pieces):
        groups = sides[blocks[block].side]
        for text, number, payload in batch:
            groups.setdefault(text, []).append((block, number, payload))
    return sides["a"], sides["b"]


def _located(stored: Stored, blocks: Mapping[int, Where]) -> RowAt:
    block, number, payload = stored
    where = blocks[block]
    at = f"{where.path}:{where.first + number}"
    if where.pickled:
        return RowAt(at, pickle.loads(payload))
    return RowAt(at, load_line(payload, lambda: (where.path, where.first + number)))


def _same_line(a: Sequence[Stored], b: Sequence[Stored], blocks: Mapping[int, Where]) -> bool:
    """Two identical JSON lines: equal without decoding, unless a NaN, which differs from itself, may be in them."""
    if len(a) != 1 or len(b) != 1:
        return False
    (block_a, _, line_a), (block_b, _, line_b) = a[0], b[0]
    return line_a == line_b and not blocks[block_a].pickled and not blocks[block_b].pickled and b"NaN" not in line_a


def compare_groups(groups_a: Mapping[str, Sequence[Stored]], groups_b: Mapping[str, Sequence[Stored]],
                   blocks: Mapping[int, Where], terms: Terms) -> tuple[list[RowDiff], RowSummary]:
    """The differences of one partition in key order, and its counts."""
    key = terms.key
    summary = RowSummary(rows_a=sum(map(len, groups_a.values())), rows_b=sum(map(len, groups_b.values())))
    found: list[tuple[Any, str, RowDiff]] = []
    for text in sorted(groups_a.keys() | groups_b.keys()):
        a, b = groups_a.get(text, ()), groups_b.get(text, ())
        if _same_line(a, b, blocks):
            summary.equal += 1
            continue
        rows_a, rows_b = [_located(s, blocks) for s in a], [_located(s, blocks) for s in b]
        first = (rows_a or rows_b)[0]
        values = key.values(first.row, first.at)
        diff = compare_key(key, values, rows_a, rows_b, terms.filter)
        if diff is None:
            summary.equal += 1
            continue
        summary.count(diff)
        found.append((key_order(values), text, diff))
    return sort_found(found), summary


def compare_partition(task: CompareTask) -> Compared:
    groups_a, groups_b = read_partition(task.folder, task.pieces, task.blocks)
    found, summary = compare_groups(groups_a, groups_b, task.blocks, task.terms)
    return Compared(task.part, found, summary)
