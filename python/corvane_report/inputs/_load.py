"""Documents from files and standard input, in the format their ending tells or the one given."""

from __future__ import annotations

import gzip
import sys
import zlib
from dataclasses import dataclass
from pathlib import Path

from ._formats import InputError, parse_json, parse_json_lines, parse_toml, parse_yaml

FORMATS = ("json", "jsonl", "yaml", "toml")
SUFFIXES = {".json": "json", ".jsonl": "jsonl", ".ndjson": "jsonl", ".yaml": "yaml", ".yml": "yaml", ".toml": "toml"}
STDIN = "-"
_GZIP_MAGIC = b"\x1f\x8b"


@dataclass
class Loaded:
    value: object
    stream: list[object] | None = None  # the documents of a YAML file, one or more


def format_of(name: str, given: str | None) -> str | None:
    """The format `name` is read in: the one given, else by its ending, less a .gz (None when unknown)."""
    if given is not None:
        return given
    path = Path(name)
    if path.suffix.lower() == ".gz":  # a compressed file: by the ending before
        path = path.with_suffix("")
    return SUFFIXES.get(path.suffix.lower())


def read_bytes(name: str) -> bytes:
    if name == STDIN:
        return sys.stdin.buffer.read()
    try:
        return Path(name).read_bytes()
    except IsADirectoryError:
        raise InputError(f"{name}: is a directory (compare two directories with -r)") from None
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None


def _gunzipped(name: str, data: bytes) -> bytes:
    """A gzip-compressed document's bytes decompressed (it is read as its name less .gz says)."""
    try:
        return gzip.decompress(data)
    except (OSError, EOFError, zlib.error) as exc:
        raise InputError(f"{name}: cannot read: damaged gzip data ({exc})") from None


def load(name: str, fmt: str | None = None) -> Loaded:
    """Read and parse the file `name` ("-" for standard input) in `fmt` (default: by its ending,
    less a .gz, else JSON); gzip-compressed files are decompressed."""
    data = read_bytes(name)
    if data[:2] == _GZIP_MAGIC:
        data = _gunzipped(name, data)
    fmt = format_of(name, fmt) or "json"
    if fmt == "json":
        return Loaded(parse_json(name, data))
    if fmt == "jsonl":
        return Loaded(parse_json_lines(name, data))
    if fmt == "toml":
        return Loaded(parse_toml(name, data))
    stream = parse_yaml(name, data)
    return Loaded(stream[0] if len(stream) == 1 else (stream or None), stream)


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
