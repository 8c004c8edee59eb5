#!/bin/sh
# Builds ostrel and runs it on a copy of the bundled sample, showing the file
# before and after (cat -A: ^I is a tab, ^M$ a CR LF line end, $ a LF alone).
# The build has a directory of its own, build-sample/, without the tests, so
# that it never reconfigures build/, where tools/test.sh builds them.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
dir=build-sample
cmake -S . -B "$dir" -G Ninja -DOSTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --target ostrel
cp sample/notes.txt "$dir/notes.txt"
echo "--- $dir/notes.txt before ---"
cat -A "$dir/notes.txt"
echo
echo "--- ostrel $dir/notes.txt ---"
status=0
(cd "$dir" && ./ostrel notes.txt) || status=$?
echo "--- $dir/notes.txt after (exit status $status) ---"
cat -A "$dir/notes.txt"
echo
