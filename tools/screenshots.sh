#!/usr/bin/env bash
# Takes the pictures in docs/screenshots: the loader's window at each stage, against
# zorbelmeter-sim, headless under Xvfb. tools/screenshot-driver runs the window and
# presses its buttons as a user would; the loader itself is not changed for this.
#
#   searching.png    the scan under way ("Suche HW :COM2")
#   found.png        the instrument found on COM3, firmware V1.23
#   file-dialog.png  "HEX-Datei" pressed, the sample firmware picked in the dialog
#   loaded.png       the file accepted ("HEX-Datei OK!! Laenge: 11999 Byte")
#   writing.png      the flash write half done
#   written.png      "Flash neu beschrieben!"
#   aborted.png      the instrument stopped asking for blocks: "Flash schreiben abgebrochen, ..."
#   station.png      zorbelstation on sixteen simulated slots in mixed states (tools/station-screenshot)
#
# Usage: tools/screenshots.sh [BUILD_DIR] [OUTPUT_DIR]
#        (make screenshots builds first; OUTPUT_DIR defaults to docs/screenshots)
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${1:-build}
out_dir=${2:-docs/screenshots}
driver=$build_dir/tools/screenshot-driver
station_driver=$build_dir/tools/station-screenshot
sim=$build_dir/sim/zorbelmeter-sim
com_name=COM3
sim_version=123
sim_baud=19200            # the real line speed, so the write takes as long as on the bench
stall_after_blocks=60     # where the simulated instrument stops asking, for aborted.png
xvfb_screen=1024x768x24
station_screen=1280x800x24 # the screen the station's grid is laid out for
dump_wait_s=10            # for the simulator to take in the end of the transfer

# shellcheck source=tools/simulator.sh
source tools/simulator.sh
require_built screenshots "$driver" "$sim" "$station_driver"
bash tools/install-deps.sh xvfb xauth

mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zorbelfwloader-shots.XXXXXX")
cleanup() {
    stop_simulator
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/firmware" "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
firmware=$work/firmware/zorbelmeter-fw-v1.24.hex
python3 tools/make-sample-firmware.py "$firmware" >/dev/null

# Runs the driver on a display of its own against the simulator started last, with
# settings in a scratch folder (the user's own are not touched).
run_driver() {
    env XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
        ZORBEL_PORTS="$com_name=$simulator_device" QT_QPA_PLATFORM=xcb \
        QT_LOGGING_RULES="default.debug=false;zorbel.*.debug=false;zorbel.*.info=false" \
        xvfb-run --auto-servernum --server-args="-screen 0 $xvfb_screen -nolisten tcp" \
        "$driver" --hex "$firmware" "$@"
}

echo "screenshots: the whole way to a written flash"
start_simulator "$sim" "$work/sim-written.log" --version "$sim_version" --baud "$sim_baud" \
    --dump="$work/received.bin" || fail "the simulator did not start"
run_driver \
    --shot "searching=$out_dir/searching.png" \
    --shot "found=$out_dir/found.png" \
    --shot "dialog=$out_dir/file-dialog.png" \
    --shot "loaded=$out_dir/loaded.png" \
    --shot "writing=$out_dir/writing.png" \
    --shot "written=$out_dir/written.png" ||
    fail "the run to a written flash failed (simulator log: $(cat "$work/sim-written.log"))"
wait_for_simulator_dump "$work/sim-written.log" "$dump_wait_s" || true
stop_simulator
python3 tools/make-sample-firmware.py --check-dump "$work/received.bin" "$firmware" ||
    fail "the simulated instrument did not receive the file's image"

echo "screenshots: a transfer the instrument stops after $stall_after_blocks blocks"
start_simulator "$sim" "$work/sim-aborted.log" --version "$sim_version" --baud "$sim_baud" \
    --stall-after="$stall_after_blocks" || fail "the simulator did not start"
run_driver --shot "aborted=$out_dir/aborted.png" ||
    fail "the aborted run failed (simulator log: $(cat "$work/sim-aborted.log"))"
stop_simulator

echo "screenshots: the station on sixteen simulated slots"
env XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb \
    QT_LOGGING_RULES="default.debug=false;zorbel.*.debug=false;zorbel.*.info=false" \
    xvfb-run --auto-servernum --server-args="-screen 0 $station_screen -nolisten tcp" \
    "$station_driver" --hex "$firmware" --out "$out_dir/station.png" ||
    fail "the station's picture was not taken"

echo "screenshots: written to $out_dir"
