"""The two passes over the data, each a function of one picklable task so that it runs alike in
this process, in a worker process or on a Dask worker.

Spilling: a block's rows go to its own spill file, batch by batch, by partition (a stable hash
of the key text); each piece holds the key texts, the row numbers and the payloads as one blob,
so that writing and reading it back costs a few large copies rather than an object per row.
JSON Lines are checked and keyed by the native line reader where it can (corvane_report._native
.key_lines, which makes no object but the key text); the lines it leaves go the general way.
Rows that cannot be read or keyed go, with on_error="record", to one more partition of their own.
Comparing: a partition's pieces of both sides are read back and its keys compared; byte-identical
lines are equal unread where the comparison's rules allow it (_rules.same_unread).
"""

from __future__ import annotations

import bisect
import errno
import functools
import itertools
import json
import operator
import os
import pickle
import re
import sys
import threading
import zlib
from array import array
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, Final, Literal, cast

from ..inputs import InputError, fast_json, parse_json
from ..report import SCALAR_TEXT, native_module
from ._keys import RowKey, Terms, compare_key, key_order, key_text, sort_found
from ._output import Rendered, rendered_record
from ._results import RowAt, RowDiff, RowsError, RowSummary, SpillFolderFull
from ._rules import SHORT_LINE, unread_pairs
from ._sources import Batch, Block, line_chunks, lines_before, open_binary, read_block, read_into

__all__ = [
    "CompareTask", "Compared", "KeyReader", "Piece", "Side", "SpillResult", "SpillTask", "Where",
    "compare_partition", "compare_sides", "load_line", "release_buffers", "set_reporter", "spill_block", "where_table",
]

key_lines: Final = native_module().key_lines
identical_spans: Final = native_module().identical_spans
BUFFER_BYTES: Final = 16 << 20  # rows a spilling task holds before it writes them out

# (block, offset, head, blob) of one batch in the block's spill file: where it starts, the length of
# its pickled head (key texts, row numbers, payload offsets), then that of its payloads' blob.
Piece = tuple[int, int, int, int]


# --- progress ---------------------------------------------------------------------------------------
# A spilling task reports the rows and bytes it has read after every batch through this hook, one
# per thread (two runs of one process, in two threads, count apart); a worker process sets it to
# add to counters shared with the parent.

_reporters = threading.local()


def _ignore(rows: int, size: int) -> None:
    pass


def _report(rows: int, size: int) -> None:
    getattr(_reporters, "report", _ignore)(rows, size)


def set_reporter(report: Callable[[int, int], None] | None) -> Callable[[int, int], None]:
    """Sets this thread's hook (None: none); returns the one it replaces."""
    previous: Callable[[int, int], None] = getattr(_reporters, "report", _ignore)
    _reporters.report = report or _ignore
    return previous


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
            # the error message of corvane-diff (its column on the line, without the line's end), or the value
            return parse_json(name, payload.rstrip(b"\r\n"), line)
        except InputError as exc:
            raise RowsError(str(exc)) from None


Locate = Callable[[int], tuple[str, int]]  # a row's number in its block -> (file, line in the file)


def locator(block: Block) -> Locate:
    """(file, line) of a row of `block`; the lines before the block are counted once, when first asked."""
    before: list[int] = []

    def locate(number: int) -> tuple[str, int]:
        if not before:
            before.append(lines_before(block))
        return block.path, before[0] + number

    return locate


class KeyReader:
    """Reads the keys of JSON lines without decoding the rest where msgspec is there: a decoder
    for a struct of the key fields alone skips the others several times faster."""

    def __init__(self, key: RowKey) -> None:
        self.key = key

    @functools.cached_property
    def _fast(self) -> tuple[Callable[[bytes], Any], list[Callable[[Any], object]]] | None:
        """The struct decoder, made when first needed: the native reader may leave no line to it."""
        return _key_struct(self.key.steps)

    def texts(self, batch: Batch, locate: Locate) -> tuple[list[str | None], list[tuple[int, str]]]:
        """The key text of each row of the batch (None where it has none), and (position in the
        batch, message) of the rows without one."""
        if batch.rows is None and self._fast is not None:
            found = self._fast_texts(batch)
            if found is not None:
                return found, []
        texts: list[str | None] = []
        failed: list[tuple[int, str]] = []
        rows = batch.rows or itertools.repeat(None)
        for i, (number, payload, row) in enumerate(zip(batch.numbers, batch.payloads, rows)):
            try:
                texts.append(key_text(self.values(payload, row, lambda: locate(number))))
            except RowsError as exc:
                texts.append(None)
                failed.append((i, str(exc)))
        return texts, failed

    def values(self, payload: bytes, row: object, where: Callable[[], tuple[str, int]]) -> tuple[object, ...]:
        """The key of a row (RowsError naming the row when it has none or the line is no JSON)."""
        if row is None:
            row = load_line(payload, where)
        found = self.key.find(row)
        if found is None:
            name, line = where()
            raise RowsError(f"{name}:{line}: {self.key.missing(row)}")
        return found

    def _fast_texts(self, batch: Batch) -> list[str | None] | None:
        """The batch's key texts from the struct decoder, or None when any row needs the full decode."""
        assert self._fast is not None
        decode, getters = self._fast
        if _long_digits(batch.payloads):
            return None  # the struct decoder skips an int the full decode refuses for its digits
        try:
            decoded = list(map(decode, batch.payloads))
        except Exception:  # noqa: BLE001 - a row of another shape, or no JSON: each row decoded whole
            return None
        if not batch.ascii and not all(payload.isascii() or _utf8(payload) for payload in batch.payloads):
            return None  # the struct decoder leaves skipped strings unchecked: the full decode tells
        columns = [_column_texts(list(map(get, decoded))) for get in getters]
        return columns[0] if len(columns) == 1 else [",".join(parts) for parts in zip(*columns)]


def _column_texts(values: list[object]) -> list[str | None]:
    """key_text of each value alone; a column of one scalar type (the usual key) in one call."""
    kinds = set(map(type, values))
    if len(kinds) == 1:
        kind = kinds.pop()
        if kind is int:
            try:
                return list(map(int.__repr__, values))
            except ValueError:  # more digits than the interpreter writes: SCALAR_TEXT says so
                pass
        scalar = SCALAR_TEXT.get(kind)
        if scalar is not None:
            return list(map(scalar, values))
    return [key_text((value,)) for value in values]


def _long_digits(payloads: list[bytes]) -> bool:
    """Whether a line holds more digits in a row than the interpreter converts to an int."""
    limit = sys.get_int_max_str_digits()
    if not limit or max(map(len, payloads), default=0) <= limit:
        return False
    run = re.compile(rb"\d{%d}" % (limit + 1))
    return any(run.search(payload) for payload in payloads)


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
        get: Callable[[Any], object] = operator.attrgetter(".".join(names))
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
    """What spilling a block gave: its physical lines (or rows), and its batches by partition;
    partition `partitions` holds the rows that could not be keyed."""

    block: int
    lines: int
    pieces: dict[int, list[Piece]] = field(default_factory=dict)


def spill_path(folder: str, block: int) -> str:
    return os.path.join(folder, f"{block:06d}.spill")


class _Writer:
    """A block's spill file: rows held by partition (key texts, row numbers, payload sizes and the
    payloads as a few blobs), written out as one piece per partition whenever BUFFER_BYTES are held."""

    def __init__(self, folder: str, block: int, partitions: int) -> None:
        self.block = block
        self.partitions = partitions
        self.file: IO[bytes] = open(spill_path(folder, block), "wb")
        count = partitions + 1  # the last: rows without a key
        self.texts: list[list[str]] = [[] for _ in range(count)]
        self.numbers = [array("q") for _ in range(count)]
        self.sizes = [array("q") for _ in range(count)]
        self.blobs: list[list[bytes]] = [[] for _ in range(count)]
        self.held = 0
        self.pieces: dict[int, list[Piece]] = {}

    def add(self, texts: list[str | None], batch: Batch) -> None:
        numbers, payloads = batch.numbers, batch.payloads
        if None in texts:
            kept = [i for i, text in enumerate(texts) if text is not None]
            texts = [texts[i] for i in kept]
            numbers, payloads = [numbers[i] for i in kept], [payloads[i] for i in kept]
        keyed = cast(list[str], texts)
        parts, crc32 = self.partitions, zlib.crc32
        try:
            codes = list(map(parts.__rmod__, map(crc32, map(str.encode, keyed))))
        except UnicodeEncodeError:  # a lone surrogate in a key
            codes = [partition_of(text, parts) for text in keyed]
        # The rows ordered by partition (a stable sort: each partition keeps the batch's order),
        # then each partition's run added at once: a few calls per partition, not three per row.
        order = sorted(range(len(codes)), key=codes.__getitem__)
        codes = list(map(codes.__getitem__, order))
        keyed = list(map(keyed.__getitem__, order))
        numbers = list(map(numbers.__getitem__, order))
        payloads = list(map(payloads.__getitem__, order))
        start = 0
        while start < len(codes):
            part = codes[start]
            stop = bisect.bisect_right(codes, part, start)
            self._put(part, keyed[start:stop], numbers[start:stop], payloads[start:stop])
            start = stop
        self._held(batch.bytes + 64 * len(keyed))

    def add_parts(self, parts: list[tuple[int, list[str], bytes, bytes, bytes]]) -> int:
        """Rows read and keyed by the native line reader: (part, key texts, numbers and sizes as
        int64 bytes, the lines as one blob) per partition. Returns the rows added."""
        rows = size = 0
        for part, texts, numbers, sizes, blob in parts:
            self.texts[part] += texts
            self.numbers[part].frombytes(numbers)
            self.sizes[part].frombytes(sizes)
            self.blobs[part].append(blob)
            rows += len(texts)
            size += len(blob)
        self._held(size + 64 * rows)
        return rows

    def add_error(self, message: str, number: int, payload: bytes) -> None:
        self._put(self.partitions, [message], [number], [payload])
        self._held(len(payload) + len(message))

    def _put(self, part: int, texts: list[str], numbers: list[int], payloads: list[bytes]) -> None:
        self.texts[part] += texts
        self.numbers[part].extend(numbers)
        self.sizes[part].extend(map(len, payloads))
        self.blobs[part].append(b"".join(payloads))

    def _held(self, size: int) -> None:
        self.held += size
        if self.held > BUFFER_BYTES:
            self.flush()

    def flush(self) -> None:
        for part, texts in enumerate(self.texts):
            if not texts:
                continue
            offsets = array("q", itertools.accumulate(self.sizes[part], initial=0))
            head = pickle.dumps((texts, self.numbers[part], offsets), pickle.HIGHEST_PROTOCOL)
            self.pieces.setdefault(part, []).append((self.block, self.file.tell(), len(head), offsets[-1]))
            self.file.write(head)
            for blob in self.blobs[part]:
                self.file.write(blob)
            self.texts[part], self.numbers[part], self.sizes[part], self.blobs[part] = [], array("q"), array("q"), []
        self.held = 0


def spill_block(task: SpillTask, rows: Iterable[object] | None = None) -> SpillResult:
    """Spill one block (the iterable `rows` for a block of Python rows) by partition."""
    try:
        return _spill(task, rows)
    except OSError as exc:
        if exc.errno in (errno.ENOSPC, errno.EDQUOT):
            raise SpillFolderFull(task.folder) from None
        raise


def _spill(task: SpillTask, rows: Iterable[object] | None) -> SpillResult:
    block = task.block
    reader = KeyReader(task.terms.key)
    locate = locator(block)
    writer = _Writer(task.folder, block.index, task.partitions)
    steps = native_steps(task.terms.key, task.partitions) if block.kind in ("jsonl", "gzip") else None
    batches = read_block(block, rows) if steps is None else _natively_keyed(block, steps, writer)
    lines = 0
    try:
        for batch in batches:
            lines = batch.last
            if not batch.numbers:
                continue
            texts, failed = reader.texts(batch, locate)
            for i, message in failed:
                if task.terms.on_error == "fail":
                    raise RowsError(message)
                writer.add_error(message, batch.numbers[i], batch.payloads[i])
            writer.add(texts, batch)
            _report(len(batch.numbers), batch.bytes)
        writer.flush()
    finally:
        writer.file.close()
    return SpillResult(block.index, lines, writer.pieces)


def native_steps(key: RowKey, partitions: int) -> tuple[tuple[str, ...], ...] | None:
    """The key's steps when the native line reader can read keys of its shape, else None."""
    try:
        key_lines(b"", key.steps, partitions, 0, True)
    except (ValueError, UnicodeEncodeError):
        return None
    return key.steps


def _natively_keyed(block: Block, steps: tuple[tuple[str, ...], ...], writer: _Writer) -> Iterator[Batch]:
    """A JSON Lines block read in chunks by the native line reader, whose keyed rows go straight
    to the writer; what it yields are the lines it leaves to the general reader (any it cannot
    vouch for: bad JSON, no key, a float key, escapes in the key, ...), as batches."""
    number = 0
    for chunk, last in line_chunks(block):
        consumed, lines, parts, numbers, payloads = key_lines(chunk, steps, writer.partitions, number, last)
        if consumed != len(chunk):  # a chunk holds whole lines: anything left would be lost
            raise RowsError(f"{block.path}: a line cut where the reader took it whole (at byte {consumed} of a chunk)")
        rows = writer.add_parts(parts)
        number += lines
        unsure = sum(map(len, payloads))
        _report(rows, len(chunk) - unsure)
        yield Batch(numbers, payloads, None, False, unsure, number)


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
    errors: bool = False  # the partition of the rows that could not be keyed
    render: Literal["jsonl", "parquet"] | None = None  # results made into records here (rendered_record)


@dataclass(slots=True)
class Compared:
    found: list[RowDiff]
    summary: RowSummary
    rendered: list[Rendered] = field(default_factory=list)  # instead of `found`, when the task says so


@dataclass(slots=True)
class Side:
    """The rows of one side of a partition: key text, block and number as parallel lists, and the
    payloads in one buffer, row i's at offsets[i]:offsets[i + 1] (sliced only for the rows read)."""

    texts: list[str] = field(default_factory=list)
    blocks: list[int] = field(default_factory=list)
    numbers: list[int] = field(default_factory=list)
    blob: bytearray = field(default_factory=bytearray)
    offsets: array[int] = field(default_factory=lambda: array("q", [0]))

    def extend(self, blocks: Iterable[int], texts: list[str], numbers: Iterable[int], payloads: list[bytes]) -> None:
        """Rows given as objects: their blocks, key texts, numbers and payloads."""
        self.texts += texts
        self.blocks += blocks
        self.numbers += numbers
        self._add_ends(itertools.accumulate(map(len, payloads)))
        self.blob += b"".join(payloads)

    def read_piece(self, f: IO[bytes], block: int, head: int, size: int) -> None:
        """A spilled piece read from `f` at its start: the head, then its payloads into the buffer."""
        texts, numbers, offsets = pickle.loads(f.read(head))
        self.texts += texts
        self.blocks += itertools.repeat(block, len(texts))
        self.numbers += numbers
        base = self.offsets[-1]
        self._add_ends(offsets[1:])
        with memoryview(self.blob) as view, view[base:base + size] as room:  # read_partition sized the buffer
            if read_into(f, room) != size:
                raise OSError(errno.EIO, f"a spill file ends inside a piece of block {block}")

    def _add_ends(self, ends: Iterable[int]) -> None:
        """The ends of new rows' payloads, counted from the end of the rows before them."""
        base = self.offsets[-1]
        self.offsets.extend(ends if base == 0 else map(base.__add__, ends))

    def payload(self, i: int) -> bytes:
        return bytes(memoryview(self.blob)[self.offsets[i]:self.offsets[i + 1]])


def read_partition(folder: str, pieces: Sequence[Piece], blocks: Mapping[int, Where]) -> tuple[Side, Side]:
    """A partition's rows of each side, in block order."""
    sides = {"a": Side(), "b": Side()}
    for name, side in sides.items():  # each side's buffer taken once, at its full size
        side.blob = _spare_buffer(sum(blob for block, _, _, blob in pieces if blocks[block].side == name))
    by_block: dict[int, list[Piece]] = {}
    for piece in pieces:
        by_block.setdefault(piece[0], []).append(piece)
    for block, own in sorted(by_block.items()):
        with open_binary(spill_path(folder, block)) as f:
            for _, offset, head, blob in own:
                f.seek(offset)
                sides[blocks[block].side].read_piece(f, block, head, blob)
    return sides["a"], sides["b"]


# Payload buffers of partitions compared, for the next ones: making a buffer costs zeroing and
# first touching each of its pages. Taken out while in use, so that threads and nested runs each
# have their own; dropped at the end of a run (release_buffers).
_SPARE: list[bytearray] = []


def _spare_buffer(size: int) -> bytearray:
    """A buffer of at least `size` bytes (its contents are whatever they were)."""
    try:
        buffer = _SPARE.pop()
    except IndexError:
        buffer = bytearray()
    if len(buffer) < size:
        buffer += bytes(size - len(buffer))
    return buffer


def _spare(*sides: Side) -> None:
    for side in sides:
        if len(_SPARE) < 2:
            _SPARE.append(side.blob)
        side.blob = bytearray()


def release_buffers() -> None:
    _SPARE.clear()


class _Pairing:
    """The rows of both sides of a partition matched by key text; the keys held by more than one
    row of a side apart, with the positions of all their rows."""

    def __init__(self, a: Side, b: Side) -> None:
        self.pos_a = dict(zip(a.texts, range(len(a.texts))))
        self.pos_b = dict(zip(b.texts, range(len(b.texts))))
        several = {text for texts, pos in ((a.texts, self.pos_a), (b.texts, self.pos_b)) if len(pos) < len(texts)
                   for text, n in Counter(texts).items() if n > 1}
        self.duplicates: dict[str, tuple[list[int], list[int]]] = {text: ([], []) for text in several}
        for side, texts in enumerate((a.texts, b.texts)):
            if several:
                for i, text in enumerate(texts):
                    if text in several:
                        self.duplicates[text][side].append(i)
        for text, (in_a, in_b) in self.duplicates.items():
            self.pos_a.pop(text, None)
            self.pos_b.pop(text, None)
            # in file order: a chunk's lines left to the general reader join its partition after the others
            in_a.sort(key=lambda i: (a.blocks[i], a.numbers[i]))
            in_b.sort(key=lambda j: (b.blocks[j], b.numbers[j]))


def compare_sides(a: Side, b: Side, blocks: Mapping[int, Where], terms: Terms) -> tuple[list[RowDiff], RowSummary]:
    """The differences of one partition in key order, and its counts."""
    summary = RowSummary(rows_a=len(a.texts), rows_b=len(b.texts))
    pairing = _Pairing(a, b)
    pos_a, pos_b = pairing.pos_a, pairing.pos_b
    # Every step below is a loop in C over the partition's keys: most rows are equal, unread.
    found_b = list(map(pos_b.pop, pos_a, itertools.repeat(None)))
    at_a = list(pos_a.values())
    matched = [j is not None for j in found_b]
    only_a = list(itertools.compress(at_a, map(operator.not_, matched)))
    ia = list(itertools.compress(at_a, matched))
    jb = cast(list[int], list(itertools.compress(found_b, matched)))
    codes = identical_spans(a.blob, a.offsets, ia, b.blob, b.offsets, jb, SHORT_LINE, not terms.rules.nan_equal)
    lines_a, lines_b = _all_lines(a, blocks), _all_lines(b, blocks)
    if lines_a is not None or lines_b is not None:  # pickled rows are never taken unread
        codes = bytes(c if (lines_a is None or lines_a(i)) and (lines_b is None or lines_b(j)) else 0 for c, i, j in zip(codes, ia, jb))
    unread = unread_pairs(codes, lambda k: a.payload(ia[k]), terms.rules.nan_equal)
    summary.equal = sum(unread)
    # A pair is compared when its lines differ, or are identical but cannot be taken unread.
    read = list(map(operator.not_, unread))
    pairs = list(zip(itertools.compress(ia, read), itertools.compress(jb, read)))
    groups: list[tuple[list[int], list[int]]] = [([i], []) for i in only_a] + [([], [j]) for j in pos_b.values()]
    groups += [([i], [j]) for i, j in pairs]
    groups += pairing.duplicates.values()
    found: list[tuple[Any, str, RowDiff]] = []
    for in_a, in_b in groups:
        diff = _compared(terms, [_located(a, i, blocks) for i in in_a], [_located(b, j, blocks) for j in in_b])
        if diff is None:
            summary.equal += 1
            continue
        summary.count(diff)
        found.append((key_order(diff.key), key_text(diff.key), diff))
    return sort_found(found), summary


def _all_lines(side: Side, blocks: Mapping[int, Where]) -> Callable[[int], bool] | None:
    """Whether the row at a position is a JSON line (not a pickled row); None when all of them are."""
    kinds = {blocks[block].pickled for block in set(side.blocks)}
    if kinds <= {False}:
        return None
    if kinds == {True}:
        return lambda i: False
    return lambda i: not blocks[side.blocks[i]].pickled


def _located(side: Side, i: int, blocks: Mapping[int, Where]) -> RowAt | RowDiff:
    """The row at a position with where it was read, or an error record when its line cannot be read."""
    where = blocks[side.blocks[i]]
    line = where.first + side.numbers[i]
    at = f"{where.path}:{line}"
    if where.pickled:
        return RowAt(at, pickle.loads(side.payload(i)))
    try:
        return RowAt(at, load_line(side.payload(i), lambda: (where.path, line)))
    except RowsError as exc:
        return RowDiff("error", (), (RowAt(at, None),) if where.side == "a" else (),
                       (RowAt(at, None),) if where.side == "b" else (), error=str(exc))


def _compared(terms: Terms, a: list[RowAt | RowDiff], b: list[RowAt | RowDiff]) -> RowDiff | None:
    failed = next((row for row in (*a, *b) if isinstance(row, RowDiff)), None)
    if failed is not None:
        return terms.failed(failed.error, (), failed.a, failed.b)
    rows_a = [row for row in a if isinstance(row, RowAt)]
    rows_b = [row for row in b if isinstance(row, RowAt)]
    first = (rows_a or rows_b)[0]
    return compare_key(terms, terms.key.values(first.row, first.at), rows_a, rows_b)


def compare_partition(task: CompareTask) -> Compared:
    compared = _errors(task) if task.errors else _keyed(task)
    if task.render is not None:
        parquet = task.render == "parquet"
        compared.rendered = [rendered_record(diff, task.terms.key, parquet) for diff in compared.found]
        compared.found = []
    return compared


def _keyed(task: CompareTask) -> Compared:
    a, b = read_partition(task.folder, task.pieces, task.blocks)
    try:
        found, summary = compare_sides(a, b, task.blocks, task.terms)
    finally:
        _spare(a, b)
    return Compared(found, summary)


def _errors(task: CompareTask) -> Compared:
    """The rows that could not be keyed, as error records in file order."""
    a, b = read_partition(task.folder, task.pieces, task.blocks)
    found: list[RowDiff] = []
    for side in (a, b):
        for message, block, number in zip(side.texts, side.blocks, side.numbers):
            where = task.blocks[block]
            at = (RowAt(f"{where.path}:{where.first + number}", None),)
            found.append(RowDiff("error", (), at if where.side == "a" else (), at if where.side == "b" else (), error=message))
    summary = RowSummary(rows_a=len(a.texts), rows_b=len(b.texts), errors=len(found))
    return Compared(found, summary)
