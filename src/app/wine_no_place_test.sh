#!/bin/sh
# ostrel.exe under Wine where no folder may take its work file: the file's
# own folder and the private one are both open to everyone's writes. The
# run must give Windows's own reason for the refusal.
# Usage: wine_no_place_test.sh WINE OSTREL_EXE
set -eu
wine=$1
exe=$2
dir=$(mktemp -d /tmp/ostrel-wine-no-place.XXXXXX)
trap 'rm -rf "$dir"' EXIT
# A Wine prefix of the test's own, whose private folder it may open to all.
WINEPREFIX=$dir/prefix
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
# The first run makes the prefix and the private folder.
printf '  one\n' >"$dir/first"
"$wine" "$exe" "Z:$(echo "$dir/first" | tr / '\\')" >/dev/null 2>&1
chmod 777 "$WINEPREFIX"/drive_c/users/*/AppData/Local/Temp
mkdir "$dir/open"
chmod 777 "$dir/open"
printf '  one\n' >"$dir/open/f"
folder="Z:$(echo "$dir/open" | tr / '\\')"
status=0
"$wine" "$exe" "$folder\\f" >"$dir/out" 2>&1 || status=$?
cat "$dir/out"
[ "$status" = 1 ] || { echo "FAIL: exit status $status, not 1"; exit 1; }
# Wine's wording of ERROR_ACCESS_DENIED, for the private folder, which is
# the last place tried.
tr -d '\r' <"$dir/out" | grep -Eqx 'Could not create a work file in ".*\\Temp": Access denied' ||
  { echo "FAIL: not the reason Windows gives"; exit 1; }
echo "PASS"
