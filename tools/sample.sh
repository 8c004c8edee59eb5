#!/bin/sh
# Builds ostrel and runs it on a copy of the bundled sample, showing the file
# before and after (cat -A: ^I is a tab, ^M$ a CR LF line end, $ a LF alone).
# It builds only the program, in build/ with the preset tools/test.sh uses,
# so that tools/test.sh afterwards reuses what was compiled here.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ostrel -j "$(nproc)"
dir=build/sample
mkdir -p "$dir"
cp sample/notes.txt "$dir/notes.txt"
echo "--- $dir/notes.txt before ---"
cat -A "$dir/notes.txt"
echo
echo "--- ostrel $dir/notes.txt ---"
status=0
(cd "$dir" && ../ostrel notes.txt) || status=$?
echo "--- $dir/notes.txt after (exit status $status) ---"
cat -A "$dir/notes.txt"
echo
