"""The native helpers of keyed datasets: whatever the line reader keys, the general reader keys alike, and
what it cannot vouch for it leaves to that reader; identical_spans never reads out of bounds."""

import json
import random
import sys
import zlib
from array import array

import pytest

from corvane_report.rows._keys import RowKey
from corvane_report.rows._partitions import KeyReader, identical_spans, key_lines
from corvane_report.rows._sources import Batch

PARTS = 7


def general(line: bytes, pointers: tuple[str, ...]) -> str | None:
    """The key text the general reader gives a line, or None when it has none."""
    reader = KeyReader(RowKey(pointers))
    texts, _ = reader.texts(Batch([1], [line], None, False, len(line), 1), lambda n: ("f", n))
    return texts[0]


def native(line: bytes, pointers: tuple[str, ...]) -> str | None:
    """The key text the native reader gives a line, or None when it leaves it (or it is blank)."""
    steps = RowKey(pointers).steps
    consumed, lines, parts, numbers, payloads = key_lines(line, steps, PARTS, 0, True)
    assert (consumed, lines) == (len(line), 1)
    if not parts:
        assert payloads == ([] if line.isspace() else [line]) and numbers == ([] if line.isspace() else [1])
        return None
    ((part, texts, numbers_bytes, sizes, blob),) = parts
    assert blob == line and array("q", numbers_bytes).tolist() == [1] and array("q", sizes).tolist() == [len(line)]
    assert part == zlib.crc32(texts[0].encode()) % PARTS
    return texts[0]


KEYED = [
    (b'{"id": 1}\n', ("/id",), "1"),
    (b'{"id":-0}', ("/id",), "0"),
    (b'{"id": 123456789012345678901234567890}\r\n', ("/id",), "123456789012345678901234567890"),
    (b' {"x": [1, {"id": 2}], "id": "caf\xc3\xa9 \xf0\x9f\x98\x80"} \n', ("/id",), '"caf\u00e9 \U0001f600"'),
    (b'{"id": true, "n": null}', ("/id", "/n"), "true,null"),
    (b'{"a": {"b": {"c": "x"}}, "z": false}', ("/a/b/c", "/z"), '"x",false'),
    (b'{"id": "\x7f"}', ("/id",), '"\x7f"'),
    (b'{"k": "a\\"b", "id": 5, "s": "\\u00e9\\ud800"}', ("/id",), "5"),  # escapes outside the key
]


@pytest.mark.parametrize("line, pointers, text", KEYED)
def test_keyed_lines_give_the_general_readers_text(line, pointers, text):
    assert general(line, pointers) == text
    assert native(line, pointers) == text


LEFT = [
    b'{"id": 1.0}',  # a float key: its text is the float's, not the literal's
    b'{"id": 1e2}',
    b'{"id": "a\\u0062"}',  # escapes in the key
    b'{"i\\u0064": 1}',  # an escaped member name on the key's way
    b'{"id": 1, "id": 2}',  # the last one counts
    b'{"a": {"id": 1}, "a": {"x": 1}}',
    b'{"id": NaN}',
    b'{"id": 1, "x": Infinity}',
    b'\xef\xbb\xbf{"id": 1}',  # a byte order mark
    b'{"id": 1, "x": "\xed\xa0\x80"}',  # an encoded surrogate
    b'{"id": 1, "x": "\xc0\xaf"}',  # an overlong form
    b'{"id": 1, "x": "\xf4\x90\x80\x80"}',  # past U+10FFFF
    b'{"id": 1, "x": "\xe2\x82"}',  # cut short
    b'{"id": 1, "x": "a\tb"}',  # a control character in a string
    b'{"id": 1} x',
    b'{"id": 1}\r{"id": 2}\n',
    b'{"id": 1,}',
    b'{"id": 01}',
    b'{"id": [1]}',
    b'{"id": {"a": 1}}',
    b'[{"id": 1}]',
    b'{"x": 1}',
    b'{"id": 1, "x": ' + b"[" * 1001 + b"]" * 1001 + b"}",  # deeper than the reader goes
    b'{"id": 1, "x": ' + b"9" * 4001 + b"}",  # more digits than it vouches for
    b'{"id": 1, "x": "\\x"}',
    b'{"id": 1, "x": "\\u12g4"}',
    b"\x0c{}",
]


@pytest.mark.parametrize("line", LEFT)
def test_lines_it_cannot_vouch_for_are_left_to_the_general_reader(line):
    assert native(line, ("/id",) if b'"a"' not in line else ("/a/id",)) is None


@pytest.fixture
def digit_limit():
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)  # the lowest a program can set
    yield
    sys.set_int_max_str_digits(old)


@pytest.mark.parametrize("line", [b'{"id": 1, "x": ' + b"1" * 641 + b"}", b'{"id": ' + b"1" * 641 + b"}",
                                  b'{"id": 1, "x": [' + b"1" * 700 + b", []]}"])
def test_ints_past_the_interpreters_digit_limit_are_the_general_readers(digit_limit, line):
    assert native(line, ("/id",)) is None
    assert general(line, ("/id",)) is None  # refused, whatever the decoder that reads the batch
    assert general(line[:-1] + b', "y": 1.' + b"5" * 700 + b"}", ("/id",)) is None
    assert general(b'{"id": 1, "x": 1.' + b"1" * 700 + b"}", ("/id",)) == "1"


class _Index:
    def __index__(self):
        return 0


class _Bool:
    def __bool__(self):
        return True


@pytest.mark.parametrize("partitions, number, final, error", [(-1, _Index(), True, OverflowError), (1.5, 0, _Bool(), TypeError),
                                                                (0, 0, True, ValueError)])
def test_a_bad_argument_raises_its_own_error(partitions, number, final, error):
    with pytest.raises(error):
        key_lines(b"", (("id",),), partitions, number, final)


@pytest.mark.parametrize("pad", [0, 7, 13])  # about the reader's windows of 8 and 16 bytes
def test_key_strings_are_keyed_exactly_when_they_are_utf8(pad):
    tails = [bytes([a, b]) for a in range(0x80, 0x100) for b in (0x7f, 0x80, 0xbf, 0xc0)]
    tails += [bytes([a, b, 0x80]) for a in (0xe0, 0xed, 0xef) for b in range(0x80, 0xc0)]
    tails += [bytes([a, b, 0x80, 0x80]) for a in (0xf0, 0xf4, 0xf5) for b in range(0x80, 0xc0)]
    for tail in tails:
        text = b'"' + b"x" * pad + tail + b'"'
        try:
            expected = text.decode()
        except UnicodeDecodeError:
            expected = None
        assert native(b'{"id":' + text + b"}", ("/id",)) == expected, tail


@pytest.mark.parametrize("line", [b"\n", b"  \t\r\n", b"\x0b\x0c \n"])
def test_blank_lines_are_counted_not_read(line):
    assert key_lines(line, (("id",),), PARTS, 10, True)[:5] == (len(line), 1, [], [], [])


def test_chunks_stop_at_the_last_line_end_unless_final():
    data = b'{"id": 1}\n\n{"id": 2}\n{"id": 3'
    consumed, lines, parts, _, payloads = key_lines(data, (("id",),), 1, 5, False)
    assert (consumed, lines, payloads) == (data.rindex(b"\n") + 1, 3, [])
    assert parts[0][1] == ["1", "2"] and array("q", parts[0][2]).tolist() == [6, 8]
    consumed, lines, parts, numbers, payloads = key_lines(data, (("id",),), 1, 5, True)
    assert (consumed, lines, numbers, payloads) == (len(data), 4, [9], [b'{"id": 3'])


def _value(rng: random.Random, depth: int) -> object:
    pick = rng.randrange(9 if depth < 4 else 6)
    if pick == 0:
        return rng.choice([None, True, False])
    if pick == 1:
        return rng.randrange(-10**20, 10**20) if rng.random() < 0.2 else rng.randrange(-50, 50)
    if pick == 2:
        return rng.choice([0.5, -1e300, 1.0, 3.25e-7])
    if pick in (3, 4, 5):
        return "".join(rng.choice(["a", "\u00e9", "\U0001f600", '"', "\\", "\n", "\ud800", "$", "\x7f", " "])
                       for _ in range(rng.randrange(12)))
    if pick in (6, 7):
        return {rng.choice(["id", "a", "b", "é"]): _value(rng, depth + 1) for _ in range(rng.randrange(4))}
    return [_value(rng, depth + 1) for _ in range(rng.randrange(4))]


def _mutated(rng: random.Random, line: bytes) -> bytes:
    if rng.random() < 0.6 or not line:
        return line
    data = bytearray(line)
    for _ in range(rng.randrange(1, 3)):
        at = rng.randrange(len(data))
        data[at:at + rng.randrange(2)] = bytes([rng.choice(b'{}[]",:\\ 0-eE.\xc3\xa9\xed\xff\t')])
    return bytes(data)


def test_fuzzed_lines_keyed_alike_or_left():
    rng = random.Random(20261208)
    keyed = 0
    for _ in range(4000):
        row = _value(rng, 1)
        if rng.random() < 0.8:
            key = rng.choice([rng.randrange(-5, 1000), f"k\u00e9{rng.randrange(9)}", _value(rng, 3)])
            row = {"id": key, "a": {"id": _value(rng, 3)}, **(row if isinstance(row, dict) else {"x": row})}
        text = json.dumps(row, ensure_ascii=rng.random() < 0.3, separators=rng.choice([(",", ":"), (", ", ": ")]))
        line = _mutated(rng, text.encode("utf-8", "surrogatepass")) + rng.choice([b"", b"\n", b"\r\n"])
        pointers = rng.choice([("/id",), ("/a/id",), ("/id", "/a/id")])
        found = native(line, pointers)
        if found is not None:
            keyed += 1
            assert found == general(line, pointers), line
            json.loads(line)  # whatever it vouches for is JSON
    assert keyed > 400  # the reader does take the ordinary lines


def test_identical_spans_checks_positions_and_offsets():
    blob, offsets = b"abcabd", array("q", [0, 3, 6])
    assert identical_spans(blob, offsets, [0, 1, 0], blob, offsets, [0, 0, 1], 3, False) == bytes([2, 0, 0])
    assert identical_spans(blob, offsets, [0], blob, offsets, [0], 4, False) == b"\x01"
    nans = b'[NaN]"NaN"'
    assert identical_spans(nans, array("q", [0, 5, 10]), [0, 1], nans, array("q", [0, 5, 10]), [0, 1], 99, True) == b"\x02\x02"
    with pytest.raises(IndexError):
        identical_spans(blob, offsets, [2], blob, offsets, [0], 4, False)
    with pytest.raises(IndexError):
        identical_spans(blob, offsets, [-1], blob, offsets, [0], 4, False)
    with pytest.raises(ValueError):
        identical_spans(blob, array("q", [0, 7]), [0], blob, offsets, [0], 4, False)
    with pytest.raises(TypeError):
        identical_spans(blob, b"\x00" * 5, [0], blob, offsets, [0], 4, False)
    with pytest.raises(TypeError):  # eight bytes an item, but no int64
        identical_spans(blob, array("d", [0, 3]), [0], blob, offsets, [0], 4, False)
    assert identical_spans(blob, memoryview(b"\x00" + offsets.tobytes())[1:].cast("q"), [1], blob, offsets, [1], 4, False) == b"\x01"
    with pytest.raises(TypeError):
        identical_spans(blob, offsets, [0], blob, offsets, [0, 1], 4, False)


def test_chunks_keyed_in_several_threads_at_once():
    from concurrent.futures import ThreadPoolExecutor

    data = b"".join(b'{"id": %d, "x": "%s"}\n' % (i, b"y" * (i % 50)) for i in range(20_000))
    expected = key_lines(data, (("id",),), PARTS, 0, True)
    with ThreadPoolExecutor(4) as pool:  # the scan lets the interpreter's lock go
        found = list(pool.map(lambda _: key_lines(data, (("id",),), PARTS, 0, True), range(8)))
    assert all(result == expected for result in found) and len(expected[2]) == PARTS
