#!/bin/sh
# Runs every fuzz target for a bounded time on a copy of its checked-in corpus.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS]. Any finding fails the run; the
# crashing input is kept in fuzz/findings/.
set -eu
build=$1
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
failed=0
for target in "$build"/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=$(basename "$target" | sed 's/^fuzz_//')
    work=$(mktemp -d)
    mkdir -p "$here/findings"
    cp -r "$here/corpus/$name/." "$work/" 2>/dev/null || true
    if "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$here/findings/$name-" "$work" >"$work.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log")
        cov=$(sed -n 's/.*DONE *cov: *\([0-9]*\).*/\1/p' "$work.log")
        echo "fuzz $name: $runs executions, cov $cov, no finding"
    else
        echo "fuzz $name: FINDING"
        tail -40 "$work.log"
        failed=1
    fi
    rm -rf "$work" "$work.log"
done
exit $failed
