"""Values as short JSON text, for one-line reports."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from json.encoder import encode_basestring
from typing import Any

_ENCODER = json.JSONEncoder(ensure_ascii=False, default=repr, check_circular=False)


def _float_text(x: float) -> str:
    if x != x:
        return "NaN"
    if x in (math.inf, -math.inf):
        return "Infinity" if x > 0 else "-Infinity"
    return float.__repr__(x)


# JSON text of the leaf values of exactly these types, without the encoder's set-up per call.
SCALAR_TEXT: dict[type, Callable[[Any], str]] = {
    str: encode_basestring,
    int: int.__repr__,
    float: _float_text,
    bool: lambda v: "true" if v else "false",
    type(None): lambda v: "null",
}


def shorten(value: object, width: int) -> str:
    """`value` as JSON text of at most `width` characters, cut with "…" when longer.

    Only as much of the value is encoded as the width needs, so a huge subtree costs no more
    than a small one. Values JSON cannot show are shown by their repr.
    """
    if isinstance(value, str) and len(value) > width:
        value = value[:width]  # enough characters to fill the width once quoted
    scalar = SCALAR_TEXT.get(type(value))
    try:
        if scalar is not None:
            text = scalar(value)
        else:
            parts: list[str] = []
            size = 0
            for chunk in _ENCODER.iterencode(value):
                parts.append(chunk)
                size += len(chunk)
                if size > width:
                    break
            text = "".join(parts)
    except (TypeError, ValueError):  # keys that JSON cannot show, such as tuples from YAML
        text = repr(value)
    except RecursionError:  # a value nested deeper than the encoder can go
        text = "…"
    return text if len(text) <= width else text[: width - 1] + "…"
