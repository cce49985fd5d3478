"""Values as short JSON text, for one-line reports."""

from __future__ import annotations

import datetime
import math
import re
from collections.abc import Callable, Iterator
from json.encoder import encode_basestring
from typing import Any

from ._paths import key_literal

_SURROGATE = re.compile("[\ud800-\udfff]")


def printable(text: str) -> str:
    """`text` with its surrogates written as JSON escapes (\\ud800): no UTF-8 output can hold a
    lone one, and JSON strings read the escape back as the same character."""
    if text.isascii() or not _SURROGATE.search(text):
        return text
    return _SURROGATE.sub(lambda found: f"\\u{ord(found.group()):04x}", text)


def _float_text(x: float) -> str:
    if x != x:
        return "NaN"
    if x in (math.inf, -math.inf):
        return "Infinity" if x > 0 else "-Infinity"
    return float.__repr__(x)


def _int_text(x: int) -> str:
    try:
        return int.__repr__(x)
    except ValueError:  # more digits than the interpreter converts to text
        return f"<an int of about {int(x.bit_length() * math.log10(2)) + 1} digits>"


# JSON text of the leaf values of exactly these types, without the encoder's set-up per call.
SCALAR_TEXT: dict[type, Callable[[Any], str]] = {
    str: lambda v: printable(encode_basestring(v)),
    int: _int_text,
    float: _float_text,
    bool: lambda v: "true" if v else "false",
    type(None): lambda v: "null",
}


def _other_text(value: object) -> str:
    """A value JSON has no form for, unquoted so that it is never taken for a string: dates and
    times in ISO form (2024-01-02), anything else by its repr."""
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    try:
        return printable(repr(value))
    except Exception:  # noqa: BLE001 - a repr that raises, or one nested too deeply to make
        return f"<{type(value).__name__}>"


def _leaf_text(value: object, width: int) -> str:
    scalar = SCALAR_TEXT.get(type(value))
    if scalar is not None:
        # A string is cut to what the width can show before it is encoded.
        return scalar(value[: width + 1] if type(value) is str else value)
    if isinstance(value, str):
        return printable(encode_basestring(value[: width + 1]))
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return _int_text(value)
    if isinstance(value, float):
        return _float_text(value)
    return _other_text(value)


def _key_text(key: object) -> str:
    # A key that is not a string is shown unquoted (1, true, null), never as the string key "1".
    return printable(encode_basestring(key)) if isinstance(key, str) else printable(key_literal(key))


def _children(value: object) -> tuple[str, str, Iterator[tuple[str, object]]] | None:
    """(opening, closing, (lead text, item) pairs) of a container shown as JSON, else None."""
    if isinstance(value, dict):
        return "{", "}", ((", " * (i > 0) + _key_text(k) + ": ", v) for i, (k, v) in enumerate(value.items()))
    if isinstance(value, (list, tuple)):
        return "[", "]", ((", " * (i > 0), v) for i, v in enumerate(value))
    return None


def _chunks(value: object, width: int) -> Iterator[str]:
    """`value` as JSON text, chunk by chunk, without recursion; a container met again inside
    itself (a YAML alias in its own anchor) is shown as "…"."""
    frames: list[tuple[Iterator[tuple[str, object]], str, int]] = []
    inside: set[int] = set()
    lead, item = "", value
    while True:
        opened = _children(item)
        if opened is None:
            yield lead + _leaf_text(item, width)
        elif id(item) in inside:
            yield lead + "…"
        else:
            opening, closing, items = opened
            yield lead + opening
            frames.append((items, closing, id(item)))
            inside.add(id(item))
        while frames:
            items, closing, ident = frames[-1]
            following = next(items, None)
            if following is not None:
                lead, item = following
                break
            frames.pop()
            inside.discard(ident)
            yield closing
        else:
            return


def shorten(value: object, width: int) -> str:
    """`value` as JSON text of at most `width` characters, cut with "…" when longer.

    Only as much of the value is encoded as the width needs, so a huge subtree costs no more
    than a small one. Values JSON cannot show are shown unquoted: dates and times in ISO
    form, anything else by its repr. Surrogates are written as JSON escapes (\\ud800).
    """
    parts: list[str] = []
    size = 0
    for chunk in _chunks(value, width):
        parts.append(chunk)
        size += len(chunk)
        if size > width:
            break
    text = "".join(parts)
    return text if len(text) <= width else text[: width - 1] + "…"


def _first_difference(a: str, b: str) -> int:
    """The index of the first character where a and b differ (the shorter length if none)."""
    low, high = 0, min(len(a), len(b))
    while low < high:  # slices compare in C: a binary search beats a loop over the characters
        middle = (low + high + 1) // 2
        if a[low:middle] == b[low:middle]:
            low = middle
        else:
            high = middle - 1
    return low


def _window(text: str, start: int, width: int) -> str:
    body = printable(encode_basestring(text[start : start + width]))[1:-1]
    shown = "…" + body
    if start + width >= len(text) and len(shown) < width:
        return shown + '"'
    return shown[: width - 1] + "…"


def _digits_window(text: str, start: int, width: int) -> str:
    shown = ("…" if start else "") + text[start : start + width]
    return shown if start + width >= len(text) and len(shown) <= width else shown[: width - 1] + "…"


def shorten_pair(a: object, b: object, width: int) -> tuple[str, str]:
    """The two values of a change, each shortened to `width` characters. Two strings (or two
    integers) whose first difference lies past what the cut shows are both shown from a little
    before it, from the same character, with "…" where they are cut: …ar","baz" -> …ar","bay"."""
    plain = shorten(a, width), shorten(b, width)
    if not (plain[0].endswith("…") or plain[1].endswith("…")):
        return plain
    if type(a) is int and type(b) is int:
        digits = _int_text(a), _int_text(b)
        at = _first_difference(*digits)
        if at < width - width // 3 or not all(text.lstrip("-").isdigit() for text in digits):
            return plain
        # As many digits as the width holds, the first difference among them.
        start = max(0, min(at - width // 3, max(map(len, digits)) - (width - 1)))
        return _digits_window(digits[0], start, width), _digits_window(digits[1], start, width)
    if not (isinstance(a, str) and isinstance(b, str)):
        return plain
    context = width // 3
    at = _first_difference(a, b)
    if at < width - context:
        return plain
    start = at - context
    return _window(a, start, width), _window(b, start, width)
