# shellcheck shell=bash
# Starting and stopping zorbelmeter-sim from a script; sourced by tools/demo.sh,
# tools/screenshots.sh and tools/sanitize-gui.sh.
#
#   fail MESSAGE...
#       stops the script with its name and the message on stderr, with exit status
#       $fail_status (1 unless the script sets it before sourcing this file).
#   require_built MAKE_TARGET PROGRAM...
#       fails unless every PROGRAM has been built (by make MAKE_TARGET).
#   start_simulator SIM_BINARY LOG_FILE [options...]
#       starts the simulator in the background with its events in LOG_FILE and
#       waits until it is ready; sets simulator_pid and simulator_device (the
#       pseudo-terminal to open). Returns 1 (with the log on stderr) when it fails.
#   wait_for_simulator_dump LOG_FILE SECONDS
#       for a simulator started with --dump: waits until every transfer it started
#       has been dumped (the last bytes of a transfer may still be on their way when
#       the loader ends), for at most SECONDS. True when none is outstanding.
#   stop_simulator
#       stops it (SIGTERM) and waits for it; does nothing when none runs.

fail_status=${fail_status:-1}
script_name=$(basename "$0" .sh)

fail() {
    echo "$script_name: $*" >&2
    exit "$fail_status"
}

require_built() {
    local target=$1 program
    shift
    for program in "$@"; do
        [ -x "$program" ] || fail "$program is missing; run 'make $target' first"
    done
}

simulator_ready_timeout_s=10
simulator_pid=""
simulator_device=""

start_simulator() {
    local binary=$1 log=$2
    shift 2
    local fifo_dir
    fifo_dir=$(mktemp -d "${TMPDIR:-/tmp}/zorbelmeter-sim.XXXXXX")
    # The simulator prints its device path as its first line; read it through a
    # pipe, so the caller goes on as soon as the simulator is ready.
    mkfifo "$fifo_dir/out"
    "$binary" "$@" >"$fifo_dir/out" 2>"$log" &
    simulator_pid=$!
    simulator_device=""
    exec {simulator_fd}<"$fifo_dir/out"
    read -r -t "$simulator_ready_timeout_s" simulator_device <&"$simulator_fd" || true
    exec {simulator_fd}<&-
    rm -rf "$fifo_dir"
    if [ -z "$simulator_device" ]; then
        stop_simulator
        echo "the simulator did not start:" >&2
        cat "$log" >&2 || true
        return 1
    fi
}

simulator_dumps_outstanding() {
    local log=$1 started dumped
    started=$(grep -c "transfer started" "$log" 2>/dev/null) || true
    dumped=$(grep -c -E "flash written to|cannot write" "$log" 2>/dev/null) || true
    [ "${started:-0}" -gt "${dumped:-0}" ]
}

wait_for_simulator_dump() {
    local log=$1 seconds=$2 tenths
    for ((tenths = 0; tenths < seconds * 10; tenths++)); do
        simulator_dumps_outstanding "$log" || return 0
        kill -0 "$simulator_pid" 2>/dev/null || break
        sleep 0.1
    done
    ! simulator_dumps_outstanding "$log"
}

stop_simulator() {
    if [ -n "$simulator_pid" ] && kill -0 "$simulator_pid" 2>/dev/null; then
        kill -TERM "$simulator_pid"
        wait "$simulator_pid" 2>/dev/null || true
    fi
    simulator_pid=""
}
