"""Key paths: JSON pointers for them, and reading the value a path leads to in a document.

A mapping key that is not a string has no JSON pointer of its own ("1" would name the string
key too), so where a path is shown it is written ~(KEY), KEY being its literal: ~(1), ~(true),
~(null), ~(2024-01-02). A pointer never holds "~" but as "~0" or "~1", so ~( names no string key.
"""

from __future__ import annotations

import datetime
import enum
import re
from collections.abc import Collection, Mapping, Sequence


class Missing(enum.Enum):
    """The type of MISSING, the absent side of an added or removed item."""

    MISSING = "MISSING"

    def __repr__(self) -> str:
        return "MISSING"

    def __bool__(self) -> bool:
        return False


MISSING = Missing.MISSING


def step_text(step: object) -> str:
    # Keys from YAML or Python need not be strings; a plain pointer shows them as their text.
    return step if type(step) is str else str(step)


def key_literal(key: object) -> str:
    """A key that is not a string as YAML and JSON write such a value: 1, true, null, 2024-01-02."""
    if key is None or isinstance(key, bool):
        return {None: "null", True: "true", False: "false"}[key]
    if type(key) is int:
        return str(key)
    if type(key) is float:
        return "NaN" if key != key else repr(key).replace("inf", "Infinity")
    if isinstance(key, (datetime.date, datetime.time)):
        return key.isoformat()
    return repr(key)


def position_of(step: str) -> int | None:
    """A pointer step as a list position: ASCII digits only (str.isdigit also takes "²", which
    int() refuses), as the engine reads them; None for any other step."""
    return int(step) if step.isascii() and step.isdigit() else None


def is_key(path: Sequence[object], i: int, keyed: Collection[int]) -> bool:
    """Whether step i of `path` is a mapping key that is not a string: an int only where
    `keyed` says so (otherwise it is a position), any other non-string always."""
    step = path[i]
    return i in keyed if type(step) is int else type(step) is not str


def json_pointer(path: Sequence[object], keyed: Collection[int] | None = None) -> str:
    """The path as an RFC 6901 JSON pointer ("" is the whole document).

    With `keyed` (the indexes of the int steps that are mapping keys, not positions), a key
    that is not a string is written ~(KEY); without it, as its text, as a patch needs.
    """
    if not path:
        return ""
    if keyed is not None and any(is_key(path, i, keyed) for i in range(len(path))):
        return "".join("/" + (f"~({_escape(key_literal(step))})" if is_key(path, i, keyed) else _escape(step_text(step)))
                       for i, step in enumerate(path))
    steps = list(map(step_text, path))
    joined = "/".join(steps)
    if "~" in joined or joined.count("/") != len(steps) - 1:  # a step that needs escaping
        joined = "/".join(map(_escape, steps))
    return "/" + joined


def _escape(step: str) -> str:
    return step.replace("~", "~0").replace("/", "~1")


_BAD_TILDE = re.compile(r"~(?![01])")


def split_pointer(pointer: str) -> list[str]:
    """The unescaped steps of a JSON pointer; ValueError when it does not start with "/"."""
    if not pointer:
        return []
    if not pointer.startswith("/"):
        raise ValueError(f"a JSON pointer starts with '/' (or is empty for the whole document): {pointer!r}")
    if "~" in pointer and _BAD_TILDE.search(pointer):
        raise ValueError(f"'~' in a JSON pointer is written '~0', and '/' in a key '~1': {pointer!r}")
    return [step.replace("~1", "/").replace("~0", "~") for step in pointer[1:].split("/")]


def child(container: object, step: object) -> object:
    """container[step] as the walk reads it, or MISSING where it cannot be read without side effects."""
    try:
        if isinstance(container, dict):  # get() leaves a defaultdict as it is
            return dict.get(container, step, MISSING)
        if isinstance(container, Mapping):
            return container[step]
        if isinstance(container, (Sequence, str)) and type(step) is int:
            return container[step] if 0 <= step < len(container) else MISSING
    except Exception:  # a user mapping's lookup may raise anything; the walk counted that as missing too
        return MISSING
    return MISSING  # iterators were consumed by the walk and anything else has no items


def value_at(document: object, path: Sequence[object]) -> object:
    """The value that `path` leads to in `document`, or MISSING."""
    value = document
    for step in path:
        value = child(value, step)
        if value is MISSING:
            break
    return value
