#!/bin/sh
# ostrel.exe under Wine on a file whose file system fills up during the
# copy-back: the run must say where it saved the complete result, and that
# file must hold it. Needs root to mount a small tmpfs; skipped otherwise.
# Usage: wine_disk_full_test.sh WINE OSTREL_EXE
set -eu
wine=$1
exe=$2
skip=77
[ "$(id -u)" = 0 ] || { echo "skipped: mounting a tmpfs needs root"; exit $skip; }
dir=$(mktemp -d /tmp/ostrel-wine-test.XXXXXX)
trap 'umount "$dir/full" 2>/dev/null || true; rm -rf "$dir"' EXIT
mkdir "$dir/full"
mount -t tmpfs -o size=1m tmpfs "$dir/full" || { echo "skipped: cannot mount a tmpfs"; exit $skip; }
# 400000 short lines grow from 800000 bytes to 1200000: more than fits.
perl -e 'print "x\n" x 400000' >"$dir/full/f"
perl -e 'print "x\r\n" x 400000' >"$dir/expected"
status=0
WINEDEBUG=-all "$wine" "$exe" "Z:$(echo "$dir/full/f" | tr / '\\')" \
  >"$dir/out" || status=$?
cat "$dir/out"
[ "$status" = 1 ] || { echo "FAIL: exit status $status, not 1"; exit 1; }
grep -q "Disk full" "$dir/out" || { echo "FAIL: the failure is not named"; exit 1; }
named=$(tr -d '\r' <"$dir/out" | sed -n 's/^Its complete new text is saved in "\(.*\)"\.$/\1/p')
[ -n "$named" ] || { echo "FAIL: the message names no saved file"; exit 1; }
saved=$(WINEDEBUG=-all "$wine" winepath -u "$named" | tr -d '\r')
trap 'umount "$dir/full" 2>/dev/null || true; rm -rf "$dir" "$saved"' EXIT
cmp "$dir/expected" "$saved" || { echo "FAIL: $saved is not the complete result"; exit 1; }
echo "PASS"
