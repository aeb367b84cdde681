#!/bin/sh
# Runs every fuzz target for a bounded time on a copy of its checked-in corpus,
# JOBS targets at a time (default: the number of processors).
# Usage: fuzz/run.sh BUILD_DIR [SECONDS]. Any finding fails the run; the
# crashing input is kept in fuzz/findings/.
set -eu
build=$1
seconds=${2:-20}
jobs=${JOBS:-$(nproc)}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/findings"
logs=$(mktemp -d)

# One target: its verdict goes to $logs/NAME.result, its log to $logs/NAME.log.
run_one() {
    target=$1
    name=$(basename "$target" | sed 's/^fuzz_//')
    work=$(mktemp -d)
    cp -r "$here/corpus/$name/." "$work/" 2>/dev/null || true
    if "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$here/findings/$name-" "$work" >"$logs/$name.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$name.log")
        cov=$(sed -n 's/.*DONE *cov: *\([0-9]*\).*/\1/p' "$logs/$name.log")
        echo "fuzz $name: $runs executions, cov $cov, no finding" >"$logs/$name.result"
    else
        echo "fuzz $name: FINDING" >"$logs/$name.result"
    fi
    rm -rf "$work"
}

running=0
for target in "$build"/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    run_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

failed=0
for result in "$logs"/*.result; do
    cat "$result"
    if grep -q FINDING "$result"; then
        tail -40 "${result%.result}.log"
        failed=1
    fi
done
rm -rf "$logs"
exit $failed
