"""One comparison, its failure located in the documents."""

from __future__ import annotations

import contextlib
import io
import re
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, TextIO, TypeVar

from corvane import corvane

from ._paths import MISSING, json_pointer, value_at

if TYPE_CHECKING:
    from corvane import Output

_DIAGNOSTIC = "corvane: internal failure, raising PanicException:"
_REASON = re.compile(r"value: (.*), traceback:", re.S)
_INT128 = range(-(2**127), 2**127)
T = TypeVar("T")


class CompareError(Exception):
    """The comparison itself failed (the module's PanicException, which derives from BaseException).

    reason   the underlying exception, as the module names it (for example
             "OverflowError('Python int larger than 128 bits')")
    path     the path of a value that makes the comparison fail, when one was found
    side     "a" or "b": the document the value was found in, when found
    """

    def __init__(self, reason: str, path: tuple[object, ...] | None = None, side: str | None = None) -> None:
        self.reason, self.path, self.side = reason, path, side
        where = "" if path is None else f" at {json_pointer(path) or '(root)'} of {'the first' if side == 'a' else 'the second'} document"
        super().__init__(f"{reason}{where}")


def _is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException"


def _carries_interrupt(exc: BaseException) -> bool:
    """A PanicException made of a Ctrl-C that reached the comparison (a signal handler raised it
    inside a call whose own errors the module absorbs): a Ctrl-C, not a failure to compare."""
    return "type: <class 'KeyboardInterrupt'>" in str(exc)


class _WithoutDiagnostic(io.TextIOBase):
    """sys.stderr less the module's own line on a failure, which CompareError says again;
    everything else written meanwhile (by other threads, say) passes on at once."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def write(self, text: str) -> int:
        if not text.startswith(_DIAGNOSTIC):
            self.stream.write(text)
        return len(text)

    def flush(self) -> None:
        # Also called when this wrapper is collected, maybe after the stream was closed.
        if not self.stream.closed:
            self.stream.flush()


def compare(a: object, b: object, *, quiet: bool = False) -> Output:
    """corvane(a, b), with an internal failure raised as CompareError naming where it happened.

    The module writes its own diagnostic to sys.stderr before it fails; the CompareError says
    the same, so that line is held back. quiet=True drops everything else written to
    sys.stderr during the call too. Both replace sys.stderr during the call.
    """
    return guarded(corvane, a, b, quiet=quiet)


def guarded(call: Callable[[object, object], T], a: object, b: object, *, quiet: bool = False) -> T:
    """call(a, b), a comparison by the module (either rule set), its failure raised as
    CompareError naming where it happened, as `compare` does."""
    try:
        stream = io.StringIO() if quiet or sys.stderr is None else _WithoutDiagnostic(sys.stderr)
        with contextlib.redirect_stderr(stream):
            return call(a, b)
    except Exception:
        raise
    except BaseException as exc:
        if not _is_panic(exc):
            raise
        if _carries_interrupt(exc):
            raise KeyboardInterrupt from None
        message = str(exc)
        found = _REASON.search(message)
        reason = found.group(1) if found else message
        located = locate_failure(a, b, reason)
        if located is None and reason.startswith("RecursionError"):
            located = locate_cycle(a, b)
            if located is not None:
                reason = "a value holds itself (say, a YAML alias inside its own anchor)"
        raise CompareError(reason, *(located or (None, None))) from None


def _containers(value: object) -> Iterator[tuple[object, object]]:
    if isinstance(value, Mapping):
        return iter(list(value.items()))
    if isinstance(value, Sequence) and not isinstance(value, (str, bytes, bytearray)):
        return enumerate(value)
    return iter(())


def cycle_path(document: object) -> tuple[object, ...] | None:
    """The path of a container met again inside itself (a YAML alias in its own anchor), or None."""
    frames = [(_containers(document), id(document))]
    inside = {id(document)}
    steps: list[object] = []
    while frames:
        following = next(frames[-1][0], None)
        if following is None:
            inside.discard(frames.pop()[1])
            steps = steps[:-1]
            continue
        step, item = following
        if not isinstance(item, (Mapping, list, tuple)):
            continue
        if id(item) in inside:
            return (*steps, step)
        inside.add(id(item))
        frames.append((_containers(item), id(item)))
        steps.append(step)
    return None


def locate_cycle(a: object, b: object) -> tuple[tuple[object, ...], str] | None:
    for side, document in (("a", a), ("b", b)):
        path = cycle_path(document)
        if path is not None:
            return path, side
    return None


def _leaves(document: object) -> Iterator[tuple[tuple[object, ...], object]]:
    """(path, value) of every leaf in walk order, without recursion; iterators are left unread,
    and a container met again (an alias) is not entered twice."""
    stack: list[tuple[tuple[object, ...], object]] = [((), document)]
    entered: set[int] = set()
    while stack:
        path, value = stack.pop()
        if isinstance(value, (Mapping, Sequence)) and not isinstance(value, (str, bytes, bytearray)):
            if id(value) in entered:
                continue
            entered.add(id(value))
        if isinstance(value, Mapping):
            stack.extend(((*path, key), item) for key, item in reversed(list(value.items())))
        elif isinstance(value, Sequence) and not isinstance(value, (str, bytes, bytearray)):
            stack.extend(((*path, i), item) for i, item in reversed(list(enumerate(value))))
        else:
            yield path, value


def _unencodable(value: object) -> bool:
    if isinstance(value, int):
        return int(value) not in _INT128
    if isinstance(value, str) and not value.isascii():
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return True
    return False


def locate_failure(a: object, b: object, reason: str) -> tuple[tuple[object, ...], str] | None:
    """(path, side) of a value that makes comparing a with b fail, or None.

    Looks for the two failures documents hold (an integer beyond 128 bits, a string with a
    lone surrogate) one document at a time, and confirms each candidate by comparing only
    the two values at its path; no second comparison of the whole documents.
    """
    if not reason.startswith(("OverflowError", "UnicodeEncodeError")):
        return None
    for side, document in (("a", a), ("b", b)):
        for path, value in _leaves(document):
            if not _unencodable(value):
                continue
            pair = (value, value_at(b, path)) if side == "a" else (value_at(a, path), value)
            if MISSING in pair:
                continue
            try:
                with contextlib.redirect_stderr(io.StringIO()):
                    corvane(*pair)
            except Exception:
                raise
            except BaseException as exc:
                if not _is_panic(exc):
                    raise
                return path, side
    return None
