#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzzing build for a fixed time and prints,
# per harness, executions per second, coverage and whether it found anything.
#
# Usage: run-fuzzers.sh BUILD_DIR SECONDS [fresh]
#
# Each harness works on a scratch corpus in BUILD_DIR/fuzz-work/<harness>/,
# seeded from the committed tests/fuzz/corpus/<harness>/ (which is never
# written to). Without "fresh" the scratch corpus grows from run to run; with
# it, the run starts from the committed seeds alone. A finding is kept in
# BUILD_DIR/fuzz-work/<harness>/artifacts/ and makes the script exit with 1.
set -uo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS [fresh]" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
seconds=$2
mode=${3:-keep}
source_dir=$(cd "$(dirname "$0")" && pwd)

# Per input: a run longer than this counts as a hang (seconds).
readonly per_input_timeout=10

# The harnesses write their files to a scratch folder; in memory, if the
# machine offers one, that is several times faster than a disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

harnesses=()
for seeds in "$source_dir"/corpus/*/; do
    name=$(basename "$seeds")
    if [ -x "$build_dir/tests/fuzz/$name" ]; then
        harnesses+=("$name")
    else
        echo "note: $name is not built, skipped"
    fi
done
if [ ${#harnesses[@]} -eq 0 ]; then
    echo "no harness built in $build_dir" >&2
    exit 2
fi

stat_of() { # stat name, log file
    grep -o "^stat::$1: *[0-9]*" "$2" | tail -n 1 | grep -o '[0-9]*$' || echo "-"
}
status_field() { # field name (cov, ft, corp), log file
    grep -E '^#[0-9]+' "$2" | grep -o "$1: [0-9/a-zA-Z]*" | tail -n 1 | cut -d' ' -f2 || echo "-"
}

failed=0
summary=()
for name in "${harnesses[@]}"; do
    work="$build_dir/fuzz-work/$name"
    if [ "$mode" = fresh ]; then
        rm -rf "$work"
    fi
    mkdir -p "$work/corpus" "$work/artifacts"
    cp -n "$source_dir/corpus/$name"/* "$work/corpus/"
    log="$work/log.txt"

    echo "== $name: ${seconds} s"
    "$build_dir/tests/fuzz/$name" "$work/corpus" \
        -max_total_time="$seconds" -timeout="$per_input_timeout" \
        -use_value_profile=1 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" >"$log" 2>&1
    rc=$?

    verdict=ok
    if [ $rc -ne 0 ]; then
        verdict="FINDING (exit $rc)"
        failed=1
        echo "-- $name stopped on a finding; end of its log ($log):"
        tail -n 60 "$log"
        echo "-- input kept as:"
        ls -1 "$work/artifacts/"
    fi
    summary+=("$(printf '%-20s %10s %10s %8s %8s %8s %8s  %s' "$name" \
        "$(stat_of number_of_executed_units "$log")" "$(stat_of average_exec_per_sec "$log")" \
        "$(status_field cov "$log")" "$(status_field ft "$log")" \
        "$(stat_of new_units_added "$log")" "$(stat_of peak_rss_mb "$log")" "$verdict")")
done

echo
printf '%-20s %10s %10s %8s %8s %8s %8s  %s\n' harness runs "exec/s" cov ft "new" "rss MB" result
for line in "${summary[@]}"; do
    echo "$line"
done
exit $failed
