"""Path patterns: JSON pointers in which "*" matches one step and "**" any number, matched step by
step (a small automaton over the pattern's steps), against paths and into the values below them."""

from __future__ import annotations

import re
from collections.abc import Collection, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Final

from ._paths import is_key, key_literal


class _Wildcard:
    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text

    def __repr__(self) -> str:
        return self.text


ONE: Final = _Wildcard("*")  # any one step
DEEP: Final = _Wildcard("**")  # any number of steps, none included


@dataclass(frozen=True, slots=True)
class KeyStep:
    """The pattern step ~(KEY): a mapping key that is not a string, by its literal (1, true, null)."""

    literal: str


Token = str | KeyStep | _Wildcard
States = frozenset[int]  # the pattern steps still to match, by index; len(tokens) when all matched

_TILDE = re.compile(r"~(?![01])")
_BRACKETED = re.compile(r"\[(?:\d*|\*)\]")


def _unescape(step: str, pattern: str) -> str:
    if "~" in step and _TILDE.search(step):
        raise ValueError(f"'~' in a pattern is written '~0', '/' in a key '~1', and a key that is not a string "
                         f"~(KEY): {pattern!r}")
    return step.replace("~1", "/").replace("~0", "~")


def parse(pattern: str) -> tuple[Token, ...]:
    """The steps of a pattern; ValueError, naming the pattern, when it is not one."""
    if not pattern:
        return ()
    if not pattern.startswith("/"):
        raise ValueError(f"a pattern is a JSON pointer, starting with '/' (or empty for the whole document): {pattern!r}")
    tokens: list[Token] = []
    for raw in pattern[1:].split("/"):
        if raw == "**":
            if not tokens or tokens[-1] is not DEEP:
                tokens.append(DEEP)
        elif raw == "*":
            tokens.append(ONE)
        elif raw.startswith("~(") and raw.endswith(")"):
            tokens.append(KeyStep(_unescape(raw[2:-1], pattern)))
        elif _BRACKETED.fullmatch(raw):
            raise ValueError(f"a position in a pattern is a plain number (/items/0) and any one step is * "
                             f"(/items/*), not {raw}: {pattern!r}")
        else:
            tokens.append(_unescape(raw, pattern))
    return tuple(tokens)


def _matches(token: Token, step: object, key: bool) -> bool:
    if token is ONE:
        return True
    if isinstance(token, KeyStep):
        return key and key_literal(step) == token.literal
    if type(step) is str:
        return step == token
    # A position, or a key that is not a string: matched by its text as well (/ports/80 names
    # the key 80 as it names the key "80"); ~(80) names the key 80 alone.
    return token == str(step) or (key and token == key_literal(step))


@dataclass(frozen=True, slots=True)
class Pattern:
    tokens: tuple[Token, ...]

    @property
    def done(self) -> int:
        return len(self.tokens)

    def _closure(self, states: set[int]) -> States:
        # A "**" may match no step: whoever stands before it stands after it too.
        for i in list(states):
            if i < self.done and self.tokens[i] is DEEP:
                states.add(i + 1)
        return frozenset(states)

    def start(self) -> States:
        return self._closure({0})

    def advance(self, states: States, step: object, key: bool) -> States:
        following: set[int] = set()
        for i in states:
            if i == self.done:
                continue
            token = self.tokens[i]
            if token is DEEP:
                following.add(i)
            elif _matches(token, step, key):
                following.add(i + 1)
        return self._closure(following)

    def run(self, path: Sequence[object], keyed: Collection[int]) -> States | None:
        """None when the pattern matches `path` or a path above it; else what is left to match below."""
        states = self.start()
        for i, step in enumerate(path):
            if self.done in states:
                return None
            states = self.advance(states, step, is_key(path, i, keyed))
            if not states:
                return states
        return None if self.done in states else states

    def reaches(self, states: States, value: object) -> bool:
        """Whether a path below `value` completes the match (each container entered once per state)."""
        stack = [(value, states)]
        entered: set[tuple[int, States]] = set()
        while stack:
            container, here = stack.pop()
            for step, key, item in _items(container):
                following = self.advance(here, step, key)
                if not following:
                    continue
                if self.done in following:
                    return True
                if (id(item), following) not in entered:
                    entered.add((id(item), following))
                    stack.append((item, following))
        return False


def _items(value: object) -> Iterator[tuple[object, bool, object]]:
    """(step, whether it is a key that is not a string, item) of a mapping or a list."""
    if isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            yield i, False, item
    elif isinstance(value, Mapping):
        try:
            items = list(value.items())
        except Exception:  # noqa: BLE001 - a user mapping that cannot list its items has none here
            return
        for key, item in items:
            yield key, type(key) is not str, item
