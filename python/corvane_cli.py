"""corvane-diff: compare two JSON (or YAML) documents with corvane and print the differences.

Exit status: 0 when the documents are equal, 1 when they differ, 2 on bad input.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from corvane import corvane

KINDS = (
    ("val_changes", "changed"),
    ("type_and_val_changes", "type changed"),
    ("dict_items_added", "added"),
    ("dict_items_removed", "removed"),
    ("iter_len_mismatch", "length changed"),
)


class InputError(Exception):
    """A document that cannot be read or parsed; the message names the file."""


def json_pointer(path: list[object]) -> str:
    """The path as an RFC 6901 JSON pointer ("" is the whole document)."""
    return "".join("/" + str(step).replace("~", "~0").replace("/", "~1") for step in path)


def shorten(value: object, width: int) -> str:
    text = json.dumps(value, ensure_ascii=False, default=repr)
    return text if len(text) <= width else text[: width - 1] + "…"


def load(path: str) -> object:
    file = Path(path)
    try:
        text = file.read_text(encoding="utf-8")
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise InputError(f"{path}: not UTF-8 text (byte {exc.start})") from None
    if file.suffix.lower() in (".yaml", ".yml"):
        return load_yaml(path, text)
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise InputError(f"{path}:{exc.lineno}:{exc.colno}: invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise InputError(f"{path}: nested too deeply to load") from None


def load_yaml(path: str, text: str) -> object:
    try:
        import yaml  # optional: only when the user has a YAML library
    except ImportError:
        raise InputError(f"{path}: reading YAML needs the PyYAML package") from None
    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as exc:
        raise InputError(f"{path}: invalid YAML: {exc}") from None


def record_fields(kind: str, rec: object) -> dict[str, object]:
    if kind.startswith("dict_items"):
        return {"key": rec.key, "value": rec.val}
    if kind == "iter_len_mismatch":
        return {"a_len": rec.a_len, "b_len": rec.b_len}
    return {"a": rec.a, "b": rec.b}


def as_json(out: object) -> dict[str, list[dict[str, object]]]:
    return {
        kind: [{"path": json_pointer(rec.path), **record_fields(kind, rec)} for rec in getattr(out, kind)]
        for kind, _ in KINDS
    }


def print_text(out: object, width: int, stream) -> int:
    total = 0
    for kind, title in KINDS:
        records = getattr(out, kind)
        if not records:
            continue
        total += len(records)
        stream.write(f"{title} ({len(records)}):\n")
        for rec in records:
            where = json_pointer(rec.path) or "/"
            if kind.startswith("dict_items"):
                key = json_pointer([*rec.path, rec.key])
                stream.write(f"  {key}: {shorten(rec.val, width)}\n")
            elif kind == "iter_len_mismatch":
                stream.write(f"  {where}: {rec.a_len} -> {rec.b_len} items\n")
            else:
                stream.write(f"  {where}: {shorten(rec.a, width)} -> {shorten(rec.b, width)}\n")
    if total == 0:
        stream.write("no differences\n")
    return total


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="corvane-diff", description="Show the differences between two JSON or YAML documents."
    )
    parser.add_argument("first", help="the first (old) document")
    parser.add_argument("second", help="the second (new) document")
    parser.add_argument("--json", action="store_true", help="print the records as JSON")
    parser.add_argument("--width", type=int, default=60, help="shorten values to this many characters")
    args = parser.parse_args(argv)
    try:
        first, second = load(args.first), load(args.second)
    except InputError as exc:
        print(f"corvane-diff: {exc}", file=sys.stderr)
        return 2
    out = corvane(first, second)
    if args.json:
        report = as_json(out)
        json.dump(report, sys.stdout, ensure_ascii=False, indent=2, default=repr)
        sys.stdout.write("\n")
        differs = any(report.values())
    else:
        differs = print_text(out, max(args.width, 8), sys.stdout) > 0
    return 1 if differs else 0


if __name__ == "__main__":
    sys.exit(main())
