"""Strict JSON for values that may hold NaN or infinities, written without loss.

A float JSON cannot write is tagged: {"$float": "NaN"}, {"$float": "Infinity"},
{"$float": "-Infinity"}; bytes (a binary column of a Parquet file) as {"$bytes": "<base64>"}.
So that no document mapping is taken for a tag, a mapping whose only key is "$float", "$bytes"
or "$object" is wrapped as {"$object": <the mapping>}. `from_strict_json` undoes them. Keys
that are not strings are written as JSON writes them (1 -> "1"), or by their repr; values JSON
has no form for (sets, dates) by their repr.
"""

from __future__ import annotations

import base64
import binascii
import json
import math
from collections.abc import Mapping
from typing import Any

_TAGS = ("$float", "$bytes", "$object")
_SPECIAL = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def _key(key: object) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key) if not isinstance(key, float) or math.isfinite(key) else repr(key)
    return repr(key)


def to_strict_json(value: object) -> Any:
    """`value` as plain JSON data (dict, list, str, int, finite float, bool, None), tagged as above."""
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")}
    if isinstance(value, Mapping):
        mapping = {_key(k): to_strict_json(v) for k, v in value.items()}
        return {"$object": mapping} if len(mapping) == 1 and next(iter(mapping)) in _TAGS else mapping
    if isinstance(value, (list, tuple)):
        return [to_strict_json(item) for item in value]
    if value is None or isinstance(value, (str, int)):
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    return repr(value)


def from_strict_json(value: Any) -> Any:
    """The inverse of to_strict_json on what JSON holds."""
    if isinstance(value, dict):
        if len(value) == 1:
            ((key, inner),) = value.items()
            if key == "$float" and inner in _SPECIAL:
                return _SPECIAL[inner]
            if key == "$bytes" and isinstance(inner, str):
                try:
                    return base64.b64decode(inner, validate=True)
                except binascii.Error:
                    pass
            if key == "$object" and isinstance(inner, dict):
                return {k: from_strict_json(v) for k, v in inner.items()}
        return {k: from_strict_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [from_strict_json(item) for item in value]
    return value


def dumps_strict(value: object, *, indent: int | None = None) -> str:
    """`value` as strict JSON text (never NaN or Infinity), tagged only where it must be."""
    try:
        text = json.dumps(value, ensure_ascii=False, allow_nan=False, indent=indent)
    except (ValueError, TypeError):  # a non-finite float, or a key or value JSON cannot write
        text = None
    if text is None or any(f'"{tag}"' in text for tag in _TAGS):
        text = json.dumps(to_strict_json(value), ensure_ascii=False, allow_nan=False, indent=indent)
    return text
