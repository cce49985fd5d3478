"""The rules of data documents: corvane's own walk under the rules that JSON, YAML, TOML and dataset
rows mean, built into the corvane module's shared object and loaded from it under its own name,
corvane_report._native (the corvane module itself keeps its two names).

    bool is a kind of its own (true against 1 is a change of kind); a string, and bytes, is a value
    and never a sequence; ints of any size and strings of any code points (lone surrogates too) are
    compared exactly; None is a value; NaN equals NaN unless nan_equal=False; dates, datetimes,
    times and bytes are compared by their fields (the same instant in two offsets is equal; naive
    and aware ones are different kinds); lists are aligned (an inserted or removed item is one
    entry at its position), matched by a key inside each item, compared as multisets, or compared
    by position, as asked.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from types import ModuleType
from typing import Literal

import corvane

from ._paths import MISSING, position_of
from ._patterns import DEEP, ONE, KeyStep, parse

Lists = Literal["align", "position"]
# How the items of one pair of lists are paired: the two modes of `lists`, or by a key, or as multisets.
ListMode = Literal["align", "position", "keyed", "unordered"]
# A pattern as the engine takes it: steps of text, None for `*` and Ellipsis for `**`.
EnginePattern = tuple[object, ...]

_NAME = "corvane_report._native"


def _load() -> ModuleType:
    if _NAME in sys.modules:
        return sys.modules[_NAME]
    loader = importlib.machinery.ExtensionFileLoader(_NAME, corvane.__file__)
    spec = importlib.util.spec_from_loader(_NAME, loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[_NAME] = module
    return module


_native = _load()


def native_module() -> ModuleType:
    """corvane_report._native, for the other tools that use its functions."""
    return _native


def parse_pattern(pattern: str) -> EnginePattern:
    """A JSON pointer pattern ("*" one step, "**" any number) as the engine's steps: text, None for
    `*`, Ellipsis for `**`. A step ~(KEY) (a key that is not a string) names it by its text."""
    steps: list[object] = []
    for token in parse(pattern):
        if token is ONE:
            steps.append(None)
        elif token is DEEP:
            steps.append(...)
        else:
            steps.append(token.literal if isinstance(token, KeyStep) else token)
    return tuple(steps)


def parse_list_key(spec: str) -> tuple[EnginePattern, tuple[str, ...]]:
    """'/users=/id': the lists at /users matched by the value at /id in each item."""
    where, sep, key = spec.partition("=")
    if not sep or not key.startswith("/"):
        raise ValueError(f"a list key is PATTERN=POINTER, as in '/users=/id': {spec!r}")
    steps = parse_pattern(key)
    if any(step is None or step is ... for step in steps):
        raise ValueError(f"the key of a list key is a plain JSON pointer, without '*': {spec!r}")
    return parse_pattern(where), tuple(str(step) for step in steps)


@dataclass(frozen=True)
class DataRules:
    """How data documents are compared: NaN against NaN, and how the items of lists are paired
    (aligned, or by position; by a key at the lists that `list_keys` name, as multisets at those
    that `unordered` names)."""

    nan_equal: bool = True
    lists: Lists = "align"
    list_keys: tuple[str, ...] = ()
    unordered: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if self.lists not in ("align", "position"):
            raise ValueError(f"lists is 'align' or 'position', not {self.lists!r}")
        object.__setattr__(self, "_keyed", tuple(parse_list_key(spec) for spec in self.list_keys))
        object.__setattr__(self, "_unordered", tuple(parse_pattern(p) for p in self.unordered))

    def mode_at(self, path: Sequence[object]) -> tuple[ListMode, tuple[str, ...]]:
        """How the lists at `path` (a's steps) are paired, as the engine decides it: the first list
        key whose pattern matches, else the first unordered pattern, else `lists`; with the key's
        steps for a keyed list (else ())."""
        keyed: tuple[tuple[EnginePattern, tuple[str, ...]], ...] = getattr(self, "_keyed")
        unordered: tuple[EnginePattern, ...] = getattr(self, "_unordered")
        for where, key in keyed:
            if matches(where, path):
                return "keyed", key
        if any(matches(pattern, path) for pattern in unordered):
            return "unordered", ()
        return self.lists, ()

    @property
    def pairs_by_pattern(self) -> bool:
        """Whether some lists are keyed or unordered (so that `mode_at` depends on the path)."""
        return bool(self.list_keys or self.unordered)

    def differences(self, a: object, b: object) -> list[tuple[str, tuple[object, ...], object, object]]:
        """(kind, path, a, b) of every difference, in walk order (MISSING where a side has none)."""
        found: list[tuple[str, tuple[object, ...], object, object]] = _native.diff(
            a, b, missing=MISSING, nan_equal=self.nan_equal, lists=self.lists,
            keyed=getattr(self, "_keyed"), unordered=getattr(self, "_unordered"))
        return found


def _step_is(text: str, step: object) -> bool:
    # A str key by its characters; an int key or a position by its digits (as the engine reads them).
    if type(step) is str:
        return step == text
    return type(step) is int and len(text) <= 18 and position_of(text) == step


def matches(pattern: EnginePattern, path: Sequence[object]) -> bool:
    """Whether the engine's pattern matches the whole of `path` ("*" one step, "**" any number)."""
    states = {0}
    for step in path:
        following: set[int] = set()
        for p in _closure(pattern, states):
            if p == len(pattern):
                continue
            token = pattern[p]
            if token is ...:
                following.add(p)
            elif token is None or _step_is(str(token), step):
                following.add(p + 1)
        if not following:
            return False
        states = following
    return len(pattern) in _closure(pattern, states)


def _closure(pattern: EnginePattern, states: set[int]) -> set[int]:
    # A "**" may match no step: whoever stands before it stands after it too.
    closed = set(states)
    for p in sorted(states):
        while p < len(pattern) and pattern[p] is ...:
            p += 1
            closed.add(p)
    return closed
