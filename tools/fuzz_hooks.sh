#!/usr/bin/env bash
# The long run of the mutating-hook fuzzer (tests/test_mutation_fuzz.py) under AddressSanitizer
# and UndefinedBehaviorSanitizer: rounds of ROUND examples (default 20000), each round with a
# new seed, until MINUTES minutes (default 60) have passed. Every round goes through
# tools/sanitize.sh, so any sanitizer report fails it; the output of a failed round is kept
# in build/fuzz-hooks/. Prints the examples run per test and the failures, and exits non-zero
# if any round failed.
set -uo pipefail
cd "$(dirname "$0")/.."

MINUTES=${1:-60}
ROUND=${2:-20000}
OUT=build/fuzz-hooks
mkdir -p "$OUT"
STATS="$OUT/stats"
: >"$STATS"
deadline=$(($(date +%s) + MINUTES * 60))
rounds=0
failed=0
while [ "$(date +%s)" -lt "$deadline" ]; do
    rounds=$((rounds + 1))
    seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
    log="$OUT/round-$rounds.log"
    echo "fuzz-hooks: round $rounds, seed $seed, $ROUND examples"
    # Each round has an example database of its own, so that it does not replay another's failures.
    if CORVANE_HOOK_EXAMPLES=$ROUND CORVANE_HOOK_STATS="$STATS" HYPOTHESIS_STORAGE_DIRECTORY="$OUT/db-$rounds" \
        bash tools/sanitize.sh tests/test_mutation_fuzz.py -k "not chosen" --hypothesis-seed="$seed" \
        >"$log" 2>&1; then
        rm -rf "$log" "$OUT/db-$rounds"
    else
        failed=$((failed + 1))
        echo "fuzz-hooks: round $rounds FAILED (seed $seed), output in $log"
        grep -E "^(FAILED|ERROR)|sanitizer reports|Failing test case" -A1 "$log" | head -20
    fi
done
echo "fuzz-hooks: $rounds rounds in $MINUTES minutes, $failed failed"
awk '{ split($2, n, "="); count[$1] += n[2]; if ($3 != "first_failure=None") failures[$1]++ }
     END { for (t in count) printf "fuzz-hooks: %s: %d examples, %d failing rounds\n", t, count[t], failures[t] + 0 }' "$STATS"
[ "$failed" -eq 0 ]
