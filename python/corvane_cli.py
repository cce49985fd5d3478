"""corvane-diff: compare two JSON (or YAML) documents with corvane and print the differences.

Exit status: 0 when the documents are equal, 1 when they differ, 2 when a document cannot be
read or parsed, or the comparison fails.
"""

from __future__ import annotations

import argparse
import functools
import io
import json
import math
import os
import re
import sys
from collections.abc import Callable, Iterator
from importlib import metadata
from json.encoder import encode_basestring
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from corvane import Output, corvane

if TYPE_CHECKING:  # the record classes are reached through an Output, never imported
    from corvane import DictDiff, IterLenMismatch, TypeAndValChange, ValChange

    Change = ValChange | TypeAndValChange

PROG = "corvane-diff"
YAML_SUFFIXES = (".yaml", ".yml")


class InputError(Exception):
    """A document that cannot be read or parsed; the message names the file."""


class CompareError(Exception):
    """The comparison itself failed (a PanicException from the module)."""


# --- paths and values --------------------------------------------------------------------------


def json_pointer(path: list[object]) -> str:
    """The path as an RFC 6901 JSON pointer ("" is the whole document)."""
    if not path:
        return ""
    steps = list(map(str, path))
    joined = "/".join(steps)
    if "~" in joined or joined.count("/") != len(steps) - 1:  # a step that needs escaping
        joined = "/".join(step.replace("~", "~0").replace("/", "~1") for step in steps)
    return "/" + joined


_ENCODER = json.JSONEncoder(ensure_ascii=False, default=repr, check_circular=False)


def _float_text(x: float) -> str:
    if x != x:
        return "NaN"
    if x in (math.inf, -math.inf):
        return "Infinity" if x > 0 else "-Infinity"
    return float.__repr__(x)


# JSON text of the leaf values of exactly these types, without the encoder's set-up per call.
_SCALAR_TEXT: dict[type, Callable[[Any], str]] = {
    str: encode_basestring,
    int: int.__repr__,
    float: _float_text,
    bool: lambda v: "true" if v else "false",
    type(None): lambda v: "null",
}


def shorten(value: object, width: int) -> str:
    """`value` as JSON text of at most `width` characters, cut with "…" when longer.

    Only as much of the value is encoded as the width needs, so a huge subtree costs no more
    than a small one.
    """
    if isinstance(value, str) and len(value) > width:
        value = value[:width]  # enough characters to fill the width once quoted
    scalar = _SCALAR_TEXT.get(type(value))
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
    return text if len(text) <= width else text[: width - 1] + "…"


# --- loading -----------------------------------------------------------------------------------


def load(path: str) -> object:
    file = Path(path)
    try:
        data = file.read_bytes()
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise InputError(f"{path}: not UTF-8 text (bad byte at offset {exc.start})") from None
    if file.suffix.lower() in YAML_SUFFIXES:
        return load_yaml(path, text)
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise InputError(f"{path}:{exc.lineno}:{exc.colno}: invalid JSON: {exc.msg}") from None
    except ValueError as exc:  # e.g. an integer longer than the interpreter converts
        raise InputError(f"{path}: invalid JSON: {exc}") from None
    except RecursionError:
        raise InputError(f"{path}: nested too deeply to load") from None


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


def load_yaml(path: str, text: str) -> object:
    try:
        import yaml  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise InputError(f"{path}: reading YAML needs the PyYAML package (pip install pyyaml)") from None
    try:
        return yaml.load(text, Loader=_yaml_loader())
    except yaml.MarkedYAMLError as exc:
        mark = exc.problem_mark
        where = f"{path}:{mark.line + 1}:{mark.column + 1}" if mark is not None else path
        raise InputError(f"{where}: invalid YAML: {exc.problem or exc.context}") from None
    except yaml.YAMLError as exc:
        raise InputError(f"{path}: invalid YAML: {exc}") from None
    except RecursionError:
        raise InputError(f"{path}: nested too deeply to load") from None


# --- comparing ---------------------------------------------------------------------------------

_REASON = re.compile(r"value: (.*), traceback:", re.S)


def compare(first: object, second: object) -> Output:
    """corvane(first, second), with an internal failure turned into a CompareError.

    The module writes its own diagnostic to sys.stderr before it raises; that is dropped
    here, and the error's message says what went wrong instead (the underlying exception).
    """
    held, sys.stderr = sys.stderr, io.StringIO()
    try:
        return corvane(first, second)
    except Exception:
        raise
    except BaseException as exc:  # PanicException derives from BaseException
        if type(exc).__name__ != "PanicException":
            raise
        message = str(exc)
        reason = _REASON.search(message)
        raise CompareError(reason.group(1) if reason else message) from None
    finally:
        sys.stderr = held


# --- reporting ---------------------------------------------------------------------------------

KINDS = ("val_changes", "type_and_val_changes", "dict_items_added", "dict_items_removed", "iter_len_mismatch")


def _item_pointer(rec: DictDiff) -> str:
    return json_pointer([*rec.path, rec.key])


def as_json(out: Output) -> dict[str, list[dict[str, object]]]:
    """The five lists as JSON-ready dictionaries, paths as JSON pointers, values in full."""
    return {
        "val_changes": [_change(r) for r in out.val_changes],
        "type_and_val_changes": [_change(r) for r in out.type_and_val_changes],
        "dict_items_added": [_item(r) for r in out.dict_items_added],
        "dict_items_removed": [_item(r) for r in out.dict_items_removed],
        "iter_len_mismatch": [
            {"path": json_pointer(r.path), "a_len": r.a_len, "b_len": r.b_len} for r in out.iter_len_mismatch
        ],
    }


def _change(rec: Change) -> dict[str, object]:
    return {"path": json_pointer(rec.path), "a": rec.a, "b": rec.b}


def _item(rec: DictDiff) -> dict[str, object]:
    return {"path": _item_pointer(rec), "value": rec.val}


def text_lines(out: Output, width: int) -> Iterator[tuple[str, list[str]]]:
    """(heading, lines) for each non-empty list, in the order of Output's lists."""

    def where(path: list[object]) -> str:
        return json_pointer(path) or "(root)"

    def change(rec: Change) -> str:
        return f"  {where(rec.path)}: {shorten(rec.a, width)} -> {shorten(rec.b, width)}"

    def item(rec: DictDiff) -> str:
        return f"  {_item_pointer(rec)}: {shorten(rec.val, width)}"

    def length(rec: IterLenMismatch) -> str:
        return f"  {where(rec.path)}: {rec.a_len} -> {rec.b_len} items"

    sections = (
        ("changed", [change(r) for r in out.val_changes]),
        ("type changed", [change(r) for r in out.type_and_val_changes]),
        ("added", [item(r) for r in out.dict_items_added]),
        ("removed", [item(r) for r in out.dict_items_removed]),
        ("length changed", [length(r) for r in out.iter_len_mismatch]),
    )
    for title, lines in sections:
        if lines:
            yield f"{title} ({len(lines)}):", lines


def print_text(out: Output, width: int, stream: TextIO) -> int:
    """Write the report; return the number of differences."""
    total = 0
    for heading, lines in text_lines(out, width):
        total += len(lines)
        lines.insert(0, heading)
        lines.append("")
        stream.write("\n".join(lines))
    stream.write("no differences\n" if total == 0 else f"{total} difference{'s' * (total != 1)}\n")
    return total


# --- command line ------------------------------------------------------------------------------


def _version() -> str:
    try:
        return metadata.version("corvane")
    except metadata.PackageNotFoundError:
        return "unknown"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Show the differences between two JSON or YAML documents "
        "(files ending in .yaml or .yml are read as YAML, which needs PyYAML).",
        epilog="Exit status: 0 when the documents are equal, 1 when they differ, 2 on an error. "
        "Paths are JSON pointers. Numbers compare by kind and value: 1 and 1.0 differ, "
        "and NaN differs from itself.",
    )
    p.add_argument("first", help="the first (old) document")
    p.add_argument("second", help="the second (new) document")
    output = p.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print the records as JSON, values in full")
    output.add_argument("-q", "--quiet", action="store_true", help="print nothing; only the exit status tells")
    p.add_argument("--width", type=int, default=60, metavar="N",
                   help="shorten values to N characters (at least 8; default 60)")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        first, second = load(args.first), load(args.second)
        out = compare(first, second)
    except InputError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    except CompareError as exc:
        print(f"{PROG}: cannot compare {args.first} with {args.second}: {exc}", file=sys.stderr)
        return 2
    try:
        if args.quiet:
            differs = any(getattr(out, kind) for kind in KINDS)
        elif args.json:
            report = as_json(out)
            sys.stdout.write(json.dumps(report, ensure_ascii=False, indent=2, default=repr) + "\n")
            differs = any(report.values())
        else:
            differs = print_text(out, max(args.width, 8), sys.stdout) > 0
        sys.stdout.flush()
    except BrokenPipeError:  # the reader (say, `head`) has gone after some of the report: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 1 if differs else 0


if __name__ == "__main__":
    sys.exit(main())
