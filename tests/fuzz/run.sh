#!/bin/sh
# Runs each fuzz target for SECONDS over its seeds and prints each one's executions per second
# and corpus size. What a run adds goes to a working corpus in BUILD_DIR/fuzz-corpus/ (the next
# run starts from it), so the committed seeds stay small; crashes go to BUILD_DIR/fuzz-artifacts/.
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS] [TARGET...]
set -u
build=${1:?build folder}
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))
here=$(cd "$(dirname "$0")" && pwd)
targets=${*:-$(ls "$here/corpus")}
artifacts="$build/fuzz-artifacts"
# A smaller quarantine and no fill of new blocks: about twice the executions for the targets
# that make sockets and Qt objects on every input.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64:max_malloc_fill_size=0}"
mkdir -p "$artifacts"
summary=""
failed=0
for name in $targets; do
    work="$build/fuzz-corpus/$name"
    mkdir -p "$work"
    log="$build/fuzz-$name.log"
    echo "fuzz_$name: ${seconds} s"
    "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=25 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$work" "$here/corpus/$name" >"$log" 2>&1
    status=$?
    execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(grep -o 'corp: [0-9]*/[0-9A-Za-z]*' "$log" | tail -n 1 | cut -d' ' -f2)
    result=ok
    if [ "$status" -ne 0 ]; then
        result="FOUND (see $log)"
        failed=1
    fi
    summary="$summary$(printf '%-16s %8s exec/s %10s runs  corpus %-12s %s' "$name" "${execs:-?}" "${units:-?}" "${corpus:-?}" "$result")
"
done
printf '\n%s' "$summary"
exit $failed
