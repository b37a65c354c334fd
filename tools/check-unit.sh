#!/usr/bin/env bash
# Checks the station's systemd unit with systemd-analyze verify, as an instance. The
# installed /usr/bin/zorbelflash need not exist here: ExecStart is pointed at a program
# that does (verify asks only that the command can be started). Nothing is installed:
# the copy lives in a temporary folder.
#
# Usage: tools/check-unit.sh
set -euo pipefail
cd "$(dirname "$0")/.."
stand_in=$(command -v true)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|/usr/bin/zorbelflash|$stand_in|" packaging/systemd/zorbelflash-station@.service \
    > "$work/zorbelflash-station@line1.service"
# The manual page it names is installed with the package, not here.
systemd-analyze verify --man=no "$work/zorbelflash-station@line1.service"
echo "unit: zorbelflash-station@.service verified"
