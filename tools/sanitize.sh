#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan and
# runs the test suite against it. Any sanitizer report fails the run, also one written by a
# child process or one that did not stop the process: reports go to files, which are shown
# at the end. Extra arguments are passed to pytest (for example a test file).
#
# The interpreter itself is not instrumented: the runtimes are preloaded, and
# PYTHONMALLOC=malloc routes every object allocation through the sanitizer's allocator, so
# that a reference-count error in the module shows up as a use after free.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
BUILD=build/asan
[ -x "$VENV/bin/python" ] || { echo "sanitize: $VENV is missing; run make build first" >&2; exit 2; }
start=$(date +%s)

# RelWithDebInfo only adds -g here: the build's own -O2 stays, and reports get line numbers.
"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON -DPython_EXECUTABLE="$PWD/$VENV/bin/python" \
    >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log" >&2; exit 2; }
"$VENV/bin/cmake" --build "$BUILD" >"$BUILD.build.log" 2>&1 || { cat "$BUILD.build.log" >&2; exit 2; }

ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [ -f "$lib" ] || { echo "sanitize: runtime $lib not found" >&2; exit 2; }
done

LOGS="$BUILD/reports"
rm -rf "$LOGS" && mkdir -p "$LOGS"

export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
# allocator_may_return_null: a huge allocation fails with MemoryError, as without the sanitizer.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:log_path=$PWD/$LOGS/asan"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$LOGS/ubsan"

run() { LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" "$VENV/bin/python" "$@"; }

module=$(run -c 'import corvane; print(corvane.__file__)')
echo "sanitize: testing $module"
case "$module" in
"$PWD/$BUILD"/*) ;;
*) echo "sanitize: the sanitized module is not the one imported" >&2; exit 2 ;;
esac

# Instrumented frames are many times larger than plain ones (about 5 to 9 kB per level of
# nesting instead of 0.4 kB), so the module gets more stack for the same depths as the
# release build. Deselected:
# - the nests of a million levels, which only repeat the 100000-level cases, slowly;
# - the interrupt test, whose child caps its address space, which the sanitizer's shadow
#   memory cannot live with;
# - the check that `==` itself overflows on a 100000-deep nest, a property of the
#   interpreter's stack that the larger stack changes.
ulimit -s 65536
status=0
# tests/tools holds only pure-Python code (report, tool, plugin): the release suite runs it.
run -m pytest -q -p no:cacheprovider -k "not 1000000 and not deep-nests" --ignore=tests/tools \
    --deselect tests/test_failures.py::test_endless_input_can_be_interrupted "$@" || status=$?

if compgen -G "$LOGS/*" >/dev/null; then
    echo "sanitize: sanitizer reports:" >&2
    for f in "$LOGS"/*; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    [ "$status" -ne 0 ] || status=1
fi
echo "sanitize: done in $(($(date +%s) - start)) s, exit status $status"
exit "$status"
