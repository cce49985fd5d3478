"""The formats, a parser each: JSON (msgspec's decoder where installed), JSON Lines, TOML and
YAML. Each takes the file's bytes and its name, and raises InputError naming the file and,
where the parser tells it, the line and column."""

from __future__ import annotations

import functools
import json
import tomllib
from collections.abc import Callable
from typing import Any


class InputError(Exception):
    """A document that cannot be read or parsed; the message names the file."""


def _text(name: str, data: bytes) -> str:
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise InputError(f"{name}: not UTF-8 text (bad byte at offset {exc.start})") from None


# --- JSON ---------------------------------------------------------------------------------------
# msgspec, where installed, decodes JSON several times faster than the standard library and gives
# the very same objects: ints of any size stay ints, floats stay floats, a duplicate key keeps its
# last value at its first place. Where the two differ it fails instead (NaN and Infinity literals,
# lone surrogates, numbers out of float range, a byte-order mark), and then the
# standard library reads the document, as it does without msgspec.


@functools.cache
def fast_json() -> Callable[[bytes], Any] | None:
    try:
        import msgspec
    except ImportError:
        return None
    decode: Callable[[bytes], Any] = msgspec.json.Decoder().decode
    return decode


def _json_error(name: str, exc: ValueError, line: int | None) -> InputError:
    if isinstance(exc, json.JSONDecodeError):
        return InputError(f"{name}:{line or exc.lineno}:{exc.colno}: invalid JSON: {exc.msg}")
    where = name if line is None else f"{name}:{line}"
    return InputError(f"{where}: invalid JSON: {exc}")  # e.g. an integer longer than the interpreter converts


def parse_json(name: str, data: bytes, line: int | None = None) -> object:
    """One JSON document; `line` is its line number when it is one line of a larger file."""
    fast = fast_json()
    if fast is not None:
        try:
            return fast(data)
        except Exception:  # noqa: BLE001 - any failure: the standard library decides
            pass
    text = _text(name, data)
    try:
        return json.loads(text)
    except ValueError as exc:
        raise _json_error(name, exc, line) from None
    except RecursionError:
        raise InputError(f"{name}: nested too deeply to load") from None


def parse_json_lines(name: str, data: bytes) -> list[object]:
    """JSON Lines: one JSON value a line, blank lines skipped; the rows in a list."""
    return [parse_json(name, line, number) for number, line in enumerate(data.splitlines(), 1) if line.strip()]


# --- TOML ---------------------------------------------------------------------------------------


def parse_toml(name: str, data: bytes) -> object:
    try:
        # Dates, times and date-times stay datetime objects, as tomllib makes them.
        return tomllib.loads(_text(name, data))
    except tomllib.TOMLDecodeError as exc:
        raise InputError(f"{name}:{exc.lineno}:{exc.colno}: invalid TOML: {exc.msg}") from None


# --- YAML ---------------------------------------------------------------------------------------


@functools.cache
def _yaml_loader() -> type:
    import yaml  # type: ignore[import-untyped, import-not-found, unused-ignore]

    # The safe loader as it is: timestamps become datetime.date and datetime.datetime objects.
    loader: type = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    return loader


def parse_yaml(name: str, data: bytes) -> list[object]:
    """The documents of a YAML stream, in order."""
    try:
        import yaml  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise InputError(f"{name}: reading YAML needs the PyYAML package (pip install pyyaml)") from None
    try:
        return list(yaml.load_all(_text(name, data), Loader=_yaml_loader()))
    except yaml.MarkedYAMLError as exc:
        mark = exc.problem_mark
        where = f"{name}:{mark.line + 1}:{mark.column + 1}" if mark is not None else name
        raise InputError(f"{where}: invalid YAML: {exc.problem or exc.context}") from None
    except yaml.YAMLError as exc:  # its text may run over several lines: one line, as every message
        raise InputError(f"{name}: invalid YAML: {' '.join(line.strip() for line in str(exc).splitlines())}") from None
    except RecursionError:
        raise InputError(f"{name}: nested too deeply to load") from None
    except (ValueError, TypeError, OverflowError) as exc:  # a value the constructors cannot make (an int too long)
        raise InputError(f"{name}: cannot load YAML: {exc}") from None
