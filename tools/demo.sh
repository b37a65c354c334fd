#!/usr/bin/env bash
# The loader at work without an instrument: starts zorbelmeter-sim (a simulated
# Zorbelmeter with firmware V1.23 on a pseudo-terminal, its line paced at the
# instrument's 19200 bit/s), writes a sample firmware
# file, and starts the loader with COM3 pointing at the simulator and its settings
# in a temporary folder (your own settings are not touched). When the loader exits,
# the simulator is stopped and the image it received is compared with the file.
#
# Usage: tools/demo.sh [BUILD_DIR]     (make demo does the build first)
# Exit status: 0 when the received image equals the file or nothing was written,
# 1 when they differ, 2 when the demo could not start.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${1:-build}
loader=$build_dir/app/zorbelfwloader
sim=$build_dir/sim/zorbelmeter-sim
sim_version=123           # the simulator answers the version query with V1.23
sim_baud=19200            # the instrument's line speed, so the write takes as long as on the bench
com_name=COM3
dump_wait_s=2             # for the simulator to take in the end of the last transfer

fail_status=2
# shellcheck source=tools/simulator.sh
source tools/simulator.sh
require_built demo "$loader" "$sim"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    fail "no display: start the demo from a desktop session (tools/screenshots.sh runs headless)"
fi

demo_dir=$(cd "$build_dir" && pwd)/demo
mkdir -p "$demo_dir"
firmware=$demo_dir/zorbelmeter-fw-v1.24.hex
received=$demo_dir/received-flash.bin
sim_log=$demo_dir/zorbelmeter-sim.log
loader_log=$demo_dir/zorbelfwloader.log
rm -f "$received"
python3 tools/make-sample-firmware.py "$firmware" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/zorbelfwloader-demo.XXXXXX")
cleanup() {
    stop_simulator
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_simulator "$sim" "$sim_log" --version "$sim_version" --baud "$sim_baud" --dump="$received" ||
    fail "the simulator did not start"
device=$simulator_device

cat <<EOF

  Simulated Zorbelmeter (firmware V1.23) on $device, reached as $com_name.
  Sample firmware file:

      $firmware

  In the loader window:
    1. Wait for "HW gefunden an: $com_name" in the status bar and
       "Zorbelmeter, FW: V1.23" (COM1 and COM2 are tried first and do not exist).
    2. Press "HEX-Datei", type or paste the path above into the file name field
       and open it: "HEX-Datei OK!! Laenge: 11999 Byte".
    3. Press "Write Flash" and wait for "Flash neu beschrieben!" (about 7 seconds:
       the line runs at the instrument's 19200 bit/s).
    4. Press "Exit".

  Logs: $loader_log
        $sim_log

EOF

status=0
env XDG_CONFIG_HOME="$work/config" ZORBEL_PORTS="$com_name=$device" \
    "$loader" >"$loader_log" 2>&1 || status=$?
# A transfer that was cut off never ends; one that ended is dumped within moments.
wait_for_simulator_dump "$sim_log" "$dump_wait_s" || true
stop_simulator
if [ "$status" -ne 0 ]; then
    echo "demo: the loader ended with status $status (see $loader_log)" >&2
fi

if [ ! -f "$received" ]; then
    echo "The flash was not written: the simulator received no complete image."
    exit 0
fi
python3 tools/make-sample-firmware.py --check-dump "$received" "$firmware" || exit 1
