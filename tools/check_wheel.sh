#!/usr/bin/env bash
# Release check, as a user without the source tree would meet the package:
#   1. build the sdist into dist/ and check what it holds;
#   2. build the wheel from that sdist alone, with pip's build isolation (as on a fresh machine:
#      the build requirements come from the package index, so this step needs the network);
#   3. install the wheel into a new virtual environment and, from /, import the module, run
#      corvane-diff and let mypy (pointed at that environment) find the type stubs.
# Takes about a minute. Usage: bash tools/check_wheel.sh   (after `make build`, for .venv)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PY:-$ROOT/.venv/bin/python}       # has scikit-build-core (sdist) and mypy
PYTHON=${PYTHON:-python3.14}           # makes the new environment
WORK=$(mktemp -d /tmp/corvane-wheel.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
say() { echo "check_wheel: $*"; }
fail() { echo "check_wheel: FAILED: $*" >&2; exit 1; }

version=$("$PY" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
sdist=dist/corvane-$version.tar.gz
rm -f "$sdist" dist/corvane-"$version"-*.whl
mkdir -p dist

say "sdist $sdist"
"$PY" -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist >/dev/null
"$PY" - "$sdist" <<'PYEOF'
import sys, tarfile
names = {n.split("/", 1)[1] for n in tarfile.open(sys.argv[1]).getnames() if "/" in n}
need = {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "python/corvane_report/__init__.py",
        "python/corvane_report/py.typed", "python/corvane_report/cli/__init__.py", "python/corvane_report/pytest_plugin.py",
        "python/corvane_report/rows/__init__.py", "python/corvane-stubs/__init__.pyi", "src/lib/module.cpp",
        "examples/data/before.json"}
stray = sorted(n for n in names if n.split("/")[0] in (".venv", ".venv-debug", "build", "dist", ".git")
               or "__pycache__" in n)
if need - names or stray:
    sys.exit(f"sdist: missing {sorted(need - names)}, stray {stray[:5]}")
PYEOF

say "wheel from the sdist alone (build isolation)"
"$PY" -m pip wheel --quiet --no-deps --wheel-dir dist "$sdist" >"$WORK/wheel.log" 2>&1 \
    || { cat "$WORK/wheel.log" >&2; fail "pip wheel $sdist"; }
wheel=$(ls dist/corvane-"$version"-*.whl)
"$PY" - "$wheel" <<'PYEOF'
import re, sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
top = {n.split("/")[0] for n in names}
modules = {n for n in top if re.fullmatch(r"corvane\.cpython-314[^/]*\.so", n)}
expected = modules | {"corvane_report", "corvane-stubs"}
need = {"corvane-stubs/__init__.pyi", "corvane_report/__init__.py", "corvane_report/py.typed",
        "corvane_report/report/__init__.py", "corvane_report/inputs/__init__.py", "corvane_report/rows/__init__.py",
        "corvane_report/rows/_cluster.py", "corvane_report/cli/__init__.py", "corvane_report/pytest_plugin.py"}
entry_points = next((n for n in names if n.endswith(".dist-info/entry_points.txt")), None)
plugin = entry_points is not None and "corvane = corvane_report.pytest_plugin" in zipfile.ZipFile(sys.argv[1]).read(entry_points).decode()
extra = {n for n in top - expected if not n.endswith((".dist-info", ".data"))}
if len(modules) != 1 or need - names or extra or not plugin:
    sys.exit(f"wheel: unexpected contents {sorted(top)}")
PYEOF

say "new environment from $wheel"
"$PYTHON" -m venv "$WORK/venv"
"$WORK/venv/bin/pip" install --quiet --disable-pip-version-check "$wheel" >"$WORK/install.log" 2>&1 \
    || { cat "$WORK/install.log" >&2; fail "pip install $wheel"; }
cd /
"$WORK/venv/bin/python" -c '
import corvane, sys
assert corvane.__all__ == ["corvane", "Output"], corvane.__all__
assert not corvane.__file__.startswith(sys.argv[1]), corvane.__file__
out = corvane.corvane({"a": [1, 2]}, {"a": [1, 3]})
assert [(r.path, r.a, r.b) for r in out.val_changes] == [(["a", 1], 2, 3)]
' "$ROOT"
status=0
"$WORK/venv/bin/corvane-diff" "$ROOT/examples/data/before.json" "$ROOT/examples/data/after.json" >"$WORK/diff.txt" || status=$?
[ "$status" -eq 1 ] && grep -qx "11 differences" "$WORK/diff.txt" || fail "corvane-diff gave status $status"
[ "$("$WORK/venv/bin/corvane-diff" --version)" = "corvane-diff $version" ] || fail "corvane-diff --version"
"$WORK/venv/bin/python" -c 'import corvane_report, corvane_report.cli, corvane_report.rows' || fail "the companion package does not import"

say "mypy in the new environment finds the stubs"
cat >"$WORK/good.py" <<'PYEOF'
from typing import assert_type
from corvane import Output, corvane
out = corvane({"a": 1}, {"a": 2})
assert_type(out, Output)
assert_type(out.iter_len_mismatch[0].a_len if out.iter_len_mismatch else 0, int)
from corvane_report import Entry, entries
found = entries(out, ignore="/b", float_tolerance=1e-6)
assert_type(found, list[Entry])
assert_type(found[0].pointer if found else "", str)
PYEOF
printf 'from corvane import corvane\ncorvane(1, 2).val_change\n' >"$WORK/bad.py"
MYPY=("$PY" -m mypy --strict --no-incremental --cache-dir /dev/null --python-executable "$WORK/venv/bin/python")
"${MYPY[@]}" "$WORK/good.py" >"$WORK/good.log" || { cat "$WORK/good.log" >&2; fail "mypy on a correct file"; }
if "${MYPY[@]}" "$WORK/bad.py" >"$WORK/bad.log"; then fail "mypy accepted a wrong attribute"; fi
grep -q 'has no attribute "val_change".*\[attr-defined\]' "$WORK/bad.log" || { cat "$WORK/bad.log" >&2; fail "mypy's error"; }
say "passed ($sdist, $wheel)"
