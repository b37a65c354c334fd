#!/usr/bin/env bash
# Runs zorbelflash against a journald of its own, in a private mount namespace: the
# journal's sockets and files live on tmpfs mounts that only this namespace sees, so
# the machine's own journal (if any) is neither read nor written.
#
#   journal-namespace.sh OUTDIR ZORBELFLASH ARGS...      (run as root, inside unshare -m)
#
# OUTDIR gets: refused.rc and refused.err (the run before any journal is there), record.json
# and run.rc (the run with the journal), journal.json (its entries, one JSON object a line).
# Exit status 77: the namespace cannot be set up here.
set -u
out=$1
shift
journald=/lib/systemd/systemd-journald
[ -x "$journald" ] || { echo "no $journald" >&2; exit 77; }
mount --make-rprivate / 2>/dev/null
# /run whole (journald makes its folders there) and the persistent journal's folder,
# where the machine has one; nothing is made outside these mounts.
for folder in /run /var/log/journal; do
    [ -d "$folder" ] || continue
    mount -t tmpfs tmpfs "$folder" || { echo "cannot mount a tmpfs on $folder" >&2; exit 77; }
done

# No journal yet: --journal refuses before anything is sent.
"$@" > /dev/null 2> "$out/refused.err"
echo $? > "$out/refused.rc"

"$journald" &
journal_pid=$!
trap 'kill $journal_pid 2>/dev/null; wait $journal_pid 2>/dev/null' EXIT
for _ in $(seq 100); do
    [ -S /run/systemd/journal/socket ] && break
    sleep 0.1
done
[ -S /run/systemd/journal/socket ] || { echo "journald did not start" >&2; exit 77; }

"$@" > "$out/record.json" 2> "$out/run.err"
echo $? > "$out/run.rc"
# journald writes the entry to its file as it takes it; give it the moment to.
for _ in $(seq 100); do
    journalctl --no-pager -D /run/log/journal -o json SYSLOG_IDENTIFIER=zorbelflash > "$out/journal.json" 2>/dev/null
    [ -s "$out/journal.json" ] && break
    sleep 0.1
done
exit 0
