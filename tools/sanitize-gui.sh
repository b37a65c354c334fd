#!/usr/bin/env bash
# The loader itself, from the sanitizer build, on a real X server (Xvfb): started
# against zorbelmeter-sim, left to find the instrument, then closed with SIGTERM (which
# closes it as Exit does). A sanitizer report, a leak at exit among them, fails the
# run. The tests run headless (offscreen); this covers what only a display brings in:
# the xcb platform plugin and what it loads (D-Bus, input methods, accessibility).
#
# Usage: tools/sanitize-gui.sh [SANITIZE_DIR]
#   make sanitize runs it after the tests, with the sanitizer options (and the leak
#   suppressions in tests/sanitizers/lsan.supp) in the environment.
# Exit status: 0 when the loader found the instrument and ended with status 0.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${1:-build-sanitize}
loader=$build_dir/app/zorbelfwloader
sim=$build_dir/sim/zorbelmeter-sim
xvfb_screen=1024x768x24
ready_timeout_s=120       # the sanitizer build starts slowly
exit_timeout_s=60
ready_line="Version: 123" # discovery read the simulator's reply: the event loop runs

# shellcheck source=tools/simulator.sh
source tools/simulator.sh
require_built sanitize "$loader" "$sim"
bash tools/install-deps.sh xvfb xauth

# strict_string_checks (make sanitize) makes the strndup check read up to a string's
# terminator; libxkbcommon-x11 rightly hands strndup the counted, unterminated atom
# names of X replies, which then read as an overflow. Only that check goes, and only
# here: the loader's own code calls no strndup.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}intercept_strndup=0"

work=$(mktemp -d "${TMPDIR:-/tmp}/zorbelfwloader-sanitize-gui.XXXXXX")
xvfb_pid=""
loader_pid=""
cleanup() {
    if [ -n "$loader_pid" ] && kill -0 "$loader_pid" 2>/dev/null; then
        kill -KILL "$loader_pid" 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
        kill -TERM "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    stop_simulator
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# An X server on a free display; it names the display once it is ready.
Xvfb -displayfd 3 -screen 0 "$xvfb_screen" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for ((tenths = 0; tenths < 100; tenths++)); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb named no display"
display=":$(tr -d '[:space:]' <"$work/display")"

start_simulator "$sim" "$work/sim.log" || fail "the simulator did not start"

mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
# No session bus, as on a bare X session: the same run on every machine, and the
# loader under test never talks to the desktop session it was started from.
env -u DBUS_SESSION_BUS_ADDRESS DISPLAY="$display" QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$work/config" \
    XDG_RUNTIME_DIR="$work/runtime" ZORBEL_PORTS="COM1=$simulator_device" \
    "$loader" >"$work/loader.log" 2>&1 &
loader_pid=$!

for ((tenths = 0; tenths < ready_timeout_s * 10; tenths++)); do
    grep -qs "$ready_line" "$work/loader.log" && break
    kill -0 "$loader_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q "$ready_line" "$work/loader.log"; then
    cat "$work/loader.log" >&2
    fail "the loader did not find the simulated instrument"
fi

kill -TERM "$loader_pid"
status=0
for ((tenths = 0; tenths < exit_timeout_s * 10; tenths++)); do
    kill -0 "$loader_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$loader_pid" 2>/dev/null; then
    cat "$work/loader.log" >&2
    fail "the loader did not end within $exit_timeout_s s of SIGTERM"
fi
wait "$loader_pid" || status=$?
loader_pid=""
cat "$work/loader.log"
if [ "$status" -ne 0 ]; then
    fail "the loader ended with status $status under the sanitizers (log above)"
fi
echo "sanitize-gui: the loader started on $display, found the instrument and closed cleanly"
