#!/bin/sh
# ostrel.exe under Wine on a file whose full path is longer than MAX_PATH
# (260 characters), named plainly and in the \\?\ form. Wine accepts long
# paths whatever the manifest says, so this checks ostrel's own handling of
# such names, not the Windows policy that the manifest answers to.
# Usage: wine_long_path_test.sh WINE OSTREL_EXE
set -eu
wine=$1
exe=$2
dir=$(mktemp -d /tmp/ostrel-wine-long-path.XXXXXX)
trap 'rm -rf "$dir"' EXIT
deep=$dir
for level in 1 2 3 4 5 6; do deep=$deep/directory-$level-$(printf '%040d' 0); done
mkdir -p "$deep"
windows_name="Z:$(echo "$deep/indented.txt" | tr / '\\')"
[ ${#windows_name} -gt 260 ] || { echo "FAIL: the test path is too short"; exit 1; }
printf '  one\n\ttwo\n    three' >"$dir/original"
printf 'one\r\n\ttwo\r\nthree' >"$dir/expected"
failed=0
for name in "$windows_name" "\\\\?\\$windows_name"; do
  cp "$dir/original" "$deep/indented.txt"
  status=0
  WINEDEBUG=-all "$wine" "$exe" "$name" >"$dir/out" 2>&1 || status=$?
  if [ "$status" != 0 ] || ! cmp -s "$dir/expected" "$deep/indented.txt"; then
    printf "FAIL: exit status %s for %s:\n" "$status" "$name"
    cat "$dir/out"
    failed=1
  fi
done
[ $failed = 0 ] && echo "PASS"
exit $failed
