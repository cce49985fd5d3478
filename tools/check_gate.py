"""Checks which interpreter functions, and which helpers of other areas, each engine object file
calls: every one must be listed for that file (or for all of them) in the allow-list. Run by the
build after linking the module; exits 1 with the offending calls named.

The walk's safety rests on one rule: interpreter calls that may run Python code are made only
through the walk's gate, in python_calls.cpp. Calls that can run none (reading a dict in place,
making an int) may be made anywhere. A new call in another engine file, such as a repr() or a
rich comparison, or a helper that absorbs errors outside the gate, fails the build here.

    check_gate.py --allowed tools/gate_symbols.txt OBJECT...
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

# Undefined symbols that are the interpreter's (functions and data), and corvane's own.
C_API = re.compile(r"^_?Py")
OURS = re.compile(r"^corvane::")


def read_allowed(path: str) -> dict[str, set[str]]:
    allowed: dict[str, set[str]] = {"*": set()}
    section = "*"
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1].strip()
                allowed.setdefault(section, set())
                continue
            allowed[section].add(line)
    return allowed


def symbols(obj: str, undefined: bool) -> set[str]:
    args = ["nm", "-C", "--format=just-symbols", "-u" if undefined else "--defined-only", obj]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    return {line.strip() for line in out.splitlines() if line.strip()}


def called_name(symbol: str) -> str:
    """A demangled C++ symbol without its parameter list: `corvane::fail(std::string)` -> `corvane::fail`."""
    return symbol.split("(", 1)[0]


def source_of(obj: str) -> str:
    """`.../src/engine/map.cpp.o` -> `map.cpp`."""
    name = os.path.basename(obj)
    return name[:-2] if name.endswith(".o") else name


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allowed", required=True)
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()
    allowed = read_allowed(args.allowed)
    defined_in_engine = {called_name(s) for obj in args.objects for s in symbols(obj, undefined=False)}
    problems = []
    for obj in args.objects:
        source = source_of(obj)
        permitted = allowed["*"] | allowed.get(source, set())
        for symbol in sorted(symbols(obj, undefined=True)):
            name = called_name(symbol)
            if C_API.match(name) or (OURS.match(name) and name not in defined_in_engine):
                if name not in permitted:
                    problems.append(f"{source}: calls {name}")
    if problems:
        print("check_gate: engine files call what the allow-list does not give them:", file=sys.stderr)
        for problem in problems:
            print("  " + problem, file=sys.stderr)
        print(f"check_gate: list a call in {args.allowed} only if it can run no Python code, or move it into "
              "python_calls.cpp behind the gate", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
