"""Key paths: JSON pointers for them, and reading the value a path leads to in a document."""

from __future__ import annotations

import enum
from collections.abc import Mapping, Sequence


class Missing(enum.Enum):
    """The type of MISSING, the absent side of an added or removed item."""

    MISSING = "MISSING"

    def __repr__(self) -> str:
        return "MISSING"

    def __bool__(self) -> bool:
        return False


MISSING = Missing.MISSING


def step_text(step: object) -> str:
    # Keys from YAML or Python need not be strings; a pointer shows them as their text.
    return step if type(step) is str else str(step)


def json_pointer(path: Sequence[object]) -> str:
    """The path as an RFC 6901 JSON pointer ("" is the whole document)."""
    if not path:
        return ""
    steps = list(map(step_text, path))
    joined = "/".join(steps)
    if "~" in joined or joined.count("/") != len(steps) - 1:  # a step that needs escaping
        joined = "/".join(step.replace("~", "~0").replace("/", "~1") for step in steps)
    return "/" + joined


def split_pointer(pointer: str) -> list[str]:
    """The unescaped steps of a JSON pointer; ValueError when it does not start with "/"."""
    if not pointer:
        return []
    if not pointer.startswith("/"):
        raise ValueError(f"a JSON pointer starts with '/' (or is empty for the whole document): {pointer!r}")
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
