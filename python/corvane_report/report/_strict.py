"""Strict JSON for values that may hold NaN, infinities, dates or bytes, written without loss.

A value JSON cannot write is tagged: {"$float": "NaN"}, {"$float": "Infinity"},
{"$float": "-Infinity"}; {"$date": "2024-01-02"}, {"$datetime": "2024-01-02T10:00:00+01:00"},
{"$time": "10:00:00"} (ISO 8601); {"$bytes": "<base64>"}. So that no document mapping is taken
for a tag, a mapping whose only key is a tag or "$object" is wrapped as {"$object": <the mapping>}.
`from_strict_json` undoes all of them. Keys that are not strings are written as JSON writes them
(1 -> "1"), or by their repr; other values JSON has no form for (sets, say) by their repr.
Surrogates, which UTF-8 cannot hold, are written as JSON escapes (\\ud800), so the text is always
valid UTF-8. A value that holds itself raises ValueError naming where.
"""

from __future__ import annotations

import base64
import datetime
import json
import math
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from ._paths import json_pointer
from ._text import printable

_SPECIAL = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}
_READERS: dict[str, Callable[[str], object]] = {
    "$date": datetime.date.fromisoformat,
    "$datetime": datetime.datetime.fromisoformat,
    "$time": datetime.time.fromisoformat,
    "$bytes": lambda text: base64.b64decode(text, validate=True),
}
_TAGS = ("$float", "$object", *_READERS)
_QUOTED_TAGS = tuple(f'"{tag}"' for tag in _TAGS)  # as they stand in JSON text


def _key(key: object) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key) if not isinstance(key, float) or math.isfinite(key) else repr(key)
    return repr(key)


def _leaf(value: object) -> Any:
    """A value that is no container, as plain JSON data."""
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")}
    if value is None or isinstance(value, (str, int)):
        return value
    if isinstance(value, datetime.datetime):
        return {"$datetime": value.isoformat()}
    if isinstance(value, datetime.date):
        return {"$date": value.isoformat()}
    if isinstance(value, datetime.time):
        return {"$time": value.isoformat()}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    return repr(value)


Frame = tuple[Iterator[tuple[object, object]], Any, int, object]  # (items, output, id, step)


def _open(value: object) -> tuple[Any, Any, Iterator[tuple[object, object]]] | None:
    """(what stands in the output, the container its items go to, its items) of a container."""
    if isinstance(value, Mapping):
        mapping: dict[str, Any] = {}
        keys = list(value.keys())
        wrapped = len(keys) == 1 and _key(keys[0]) in _TAGS
        return ({"$object": mapping} if wrapped else mapping), mapping, iter(list(value.items()))
    if isinstance(value, (list, tuple)):
        items: list[Any] = []
        return items, items, enumerate(value)
    return None


def to_strict_json(value: object) -> Any:
    """`value` as plain JSON data (dict, list, str, int, finite float, bool, None), tagged as
    above; without recursion, so that any depth the documents have is written."""
    opened = _open(value)
    if opened is None:
        return _leaf(value)
    result, output, items = opened
    frames: list[Frame] = [(items, output, id(value), None)]
    inside = {id(value)}
    while frames:
        items, output, ident, _ = frames[-1]
        following = next(items, None)
        if following is None:
            frames.pop()
            inside.discard(ident)
            continue
        step, item = following
        opened = _open(item)
        converted = _leaf(item) if opened is None else opened[0]
        if isinstance(output, dict):
            output[_key(step)] = converted
        else:
            output.append(converted)
        if opened is not None:
            if id(item) in inside:
                path = [frame[3] for frame in frames[1:]] + [step]
                raise ValueError(f"the value at {json_pointer(path) or '(root)'} holds itself (say, a YAML alias "
                                 "inside its own anchor), and JSON cannot write it")
            inside.add(id(item))
            frames.append((opened[2], opened[1], id(item), step))
    return result


def from_strict_json(value: Any) -> Any:
    """The inverse of to_strict_json on what JSON holds."""
    if isinstance(value, dict):
        if len(value) == 1:
            ((key, inner),) = value.items()
            if key == "$float" and inner in _SPECIAL:
                return _SPECIAL[inner]
            if key in _READERS and isinstance(inner, str):
                try:
                    return _READERS[key](inner)
                except ValueError:  # not a tag this module wrote: a document's own mapping
                    pass
            if key == "$object" and isinstance(inner, dict):
                return {k: from_strict_json(v) for k, v in inner.items()}
        return {k: from_strict_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [from_strict_json(item) for item in value]
    return value


def dumps_strict(value: object, *, indent: int | None = None) -> str:
    """`value` as strict JSON text (never NaN or Infinity), tagged only where it must be.

    ValueError when the value holds itself, naming where.
    """
    try:
        text = json.dumps(value, ensure_ascii=False, allow_nan=False, indent=indent)
    except (ValueError, TypeError, RecursionError):  # a non-finite float, a value JSON cannot write, a cycle
        text = None
    if text is None or ('"$' in text and any(tag in text for tag in _QUOTED_TAGS)):
        plain = to_strict_json(value)
        try:
            text = json.dumps(plain, ensure_ascii=False, allow_nan=False, indent=indent)
        except RecursionError:
            raise ValueError("a value is nested too deeply to write as JSON") from None
    return printable(text)
