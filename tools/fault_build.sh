#!/usr/bin/env bash
# Builds the module with the allocation-failure injector (src/testing) into build/faults for
# the given interpreter's virtual environment, and runs the allocation-failure tests against
# it. Extra arguments go to pytest (for example --leak-check under the debug interpreter).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${1:?usage: fault_build.sh VENV [pytest arguments]}
shift
BUILD=build/faults-$(basename "$VENV")
"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DCORVANE_FAULT_INJECTION=ON -DCORVANE_WERROR="${WERROR:-OFF}" \
    -DPython_EXECUTABLE="$PWD/$VENV/bin/python" >"$BUILD.configure.log" 2>&1 \
    || { cat "$BUILD.configure.log" >&2; exit 2; }
"$VENV/bin/cmake" --build "$BUILD" >"$BUILD.build.log" 2>&1 || { cat "$BUILD.build.log" >&2; exit 2; }
PYTHONPATH="$PWD/$BUILD" "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/test_alloc_failures.py tests/test_mutation_fuzz.py -k "alloc or memory_running_out" "$@"
