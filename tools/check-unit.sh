#!/usr/bin/env bash
# Checks the station's systemd unit with systemd-analyze verify, as an instance, with
# ExecStart pointed at the zorbelflash of a build tree (the installed path need not
# exist here). Nothing is installed: the copy lives in a temporary folder.
#
# Usage: tools/check-unit.sh [BUILD_DIR]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
program=$(realpath "$build_dir/cli/zorbelflash")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|/usr/bin/zorbelflash|$program|" packaging/systemd/zorbelflash-station@.service \
    > "$work/zorbelflash-station@line1.service"
# The manual page it names is installed with the package, not here.
systemd-analyze verify --man=no "$work/zorbelflash-station@line1.service"
echo "unit: zorbelflash-station@.service verified"
