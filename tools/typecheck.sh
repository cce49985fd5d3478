#!/usr/bin/env bash
# The type stubs (python/corvane-stubs) against the installed module, a typed usage file that
# must pass mypy --strict, a file of mistakes that mypy must report one by one, and the companion
# package (python/corvane_report) under mypy --strict. Run after `make build` (`make typecheck` does both).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PY:-.venv/bin/python}
MYPY=("$PY" -m mypy --strict --cache-dir build/mypy-cache --no-error-summary)

# A virtual environment made before mypy joined the test dependencies lacks it.
"$PY" -c 'import mypy' 2>/dev/null || "$PY" -m pip install --quiet --disable-pip-version-check mypy

echo "typecheck: stubtest against the installed module"
# From another folder, so that only the installed module and stubs are seen.
(cd /tmp && "$OLDPWD/$PY" -m mypy.stubtest corvane)

echo "typecheck: mypy --strict on the usage file and the companion package"
"${MYPY[@]}" tests/typing/usage.py python/corvane_report
"$PY" tests/typing/usage.py >/dev/null 2>&1 || { echo "typecheck: tests/typing/usage.py fails when run" >&2; exit 1; }

echo "typecheck: every marked line of tests/typing/bad.py is an error of its code, and nothing else"
report=$("${MYPY[@]}" --show-error-codes tests/typing/bad.py || true)
"$PY" - tests/typing/bad.py "$report" <<'PYEOF'
import re, sys
path, report = sys.argv[1], sys.argv[2]
expected = {(n, m.group(1)) for n, line in enumerate(open(path, encoding="utf-8"), 1)
            if (m := re.search(r"# expect: ([\w-]+)", line))}
found = {(int(m.group(1)), m.group(2)) for m in re.finditer(r"^\S+:(\d+): error: .*\[([\w-]+)\]$", report, re.M)}
for line, code in sorted(expected - found):
    print(f"{path}:{line}: expected a mypy error [{code}], got none", file=sys.stderr)
for line, code in sorted(found - expected):
    print(f"{path}:{line}: unexpected mypy error [{code}]", file=sys.stderr)
if expected != found or not expected:
    print(report, file=sys.stderr)
    sys.exit(1)
print(f"typecheck: {len(expected)} expected errors reported")
PYEOF
echo "typecheck: passed"
