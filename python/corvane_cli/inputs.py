"""Reading the documents: JSON, JSON Lines, YAML (several documents to a file), TOML, standard input."""

from __future__ import annotations

import datetime
import functools
import json
import sys
import tomllib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

FORMATS = ("json", "jsonl", "yaml", "toml")
SUFFIXES = {".json": "json", ".jsonl": "jsonl", ".ndjson": "jsonl", ".yaml": "yaml", ".yml": "yaml", ".toml": "toml"}
STDIN = "-"


class InputError(Exception):
    """A document that cannot be read or parsed; the message names the file."""


@dataclass
class Loaded:
    value: object
    stream: list[object] | None = None  # the documents of a YAML file, one or more


def format_of(name: str, given: str | None) -> str | None:
    """The format `name` is read in: the one given, else by its ending (None when unknown)."""
    if given is not None:
        return given
    return SUFFIXES.get(Path(name).suffix.lower())


def read_bytes(name: str) -> bytes:
    if name == STDIN:
        return sys.stdin.buffer.read()
    try:
        return Path(name).read_bytes()
    except IsADirectoryError:
        raise InputError(f"{name}: is a directory (compare two directories with -r)") from None
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None


def _text(name: str, data: bytes) -> str:
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise InputError(f"{name}: not UTF-8 text (bad byte at offset {exc.start})") from None


def load(name: str, fmt: str | None = None) -> Loaded:
    """Read and parse the file `name` ("-" for standard input) in `fmt` (default: by its ending, else JSON)."""
    data = read_bytes(name)
    fmt = format_of(name, fmt) or "json"
    if fmt == "json":
        return Loaded(parse_json(name, data))
    if fmt == "jsonl":
        return Loaded(parse_json_lines(name, data))
    if fmt == "toml":
        return Loaded(parse_toml(name, _text(name, data)))
    stream = parse_yaml(name, _text(name, data))
    return Loaded(stream[0] if len(stream) == 1 else (stream or None), stream)


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


def _dates_as_text(value: object) -> object:
    # corvane has no rule for dates (equal ones would always be reported as changed), so they
    # become their ISO text, which is equal exactly when the dates are.
    if isinstance(value, dict):
        return {key: _dates_as_text(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_dates_as_text(item) for item in value]
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    return value


def parse_toml(name: str, text: str) -> object:
    try:
        return _dates_as_text(tomllib.loads(text))
    except tomllib.TOMLDecodeError as exc:
        raise InputError(f"{name}:{exc.lineno}:{exc.colno}: invalid TOML: {exc.msg}") from None


# --- YAML ---------------------------------------------------------------------------------------


@functools.cache
def _yaml_loader() -> type:
    import yaml  # type: ignore[import-untyped, import-not-found, unused-ignore]

    base = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    # Dates and times stay text: corvane has no comparison rule for datetime objects, so two
    # equal dates would otherwise always be reported as changed.
    resolvers = {
        first: [(tag, regexp) for tag, regexp in entries if tag != "tag:yaml.org,2002:timestamp"]
        for first, entries in base.yaml_implicit_resolvers.items()
    }
    return type("Loader", (base,), {"yaml_implicit_resolvers": resolvers})


def parse_yaml(name: str, text: str) -> list[object]:
    """The documents of a YAML stream, in order."""
    try:
        import yaml  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise InputError(f"{name}: reading YAML needs the PyYAML package (pip install pyyaml)") from None
    try:
        return list(yaml.load_all(text, Loader=_yaml_loader()))
    except yaml.MarkedYAMLError as exc:
        mark = exc.problem_mark
        where = f"{name}:{mark.line + 1}:{mark.column + 1}" if mark is not None else name
        raise InputError(f"{where}: invalid YAML: {exc.problem or exc.context}") from None
    except yaml.YAMLError as exc:
        raise InputError(f"{name}: invalid YAML: {exc}") from None
    except RecursionError:
        raise InputError(f"{name}: nested too deeply to load") from None


def load_pair(first: str, second: str, fmt: str | None = None) -> tuple[object, object]:
    """Both documents. A YAML file of several documents is their list; when only one side has
    several, the other side's single YAML document is compared as a list of one."""
    if first == STDIN and second == STDIN:
        raise InputError("-: standard input can be read for one of the two documents only")
    a, b = load(first, fmt), load(second, fmt)
    if any(x.stream is not None and len(x.stream) > 1 for x in (a, b)):
        return _as_stream(a), _as_stream(b)
    return a.value, b.value


def _as_stream(loaded: Loaded) -> object:
    return loaded.stream if loaded.stream is not None else loaded.value
