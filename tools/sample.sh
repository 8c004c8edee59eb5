#!/bin/sh
# Builds ostrel and runs it on a copy of the bundled sample, showing the file
# before and after (cat -A: ^I is a tab, ^M$ a CR LF line end, $ a LF alone).
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake -S . -B build -G Ninja -DOSTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build --target ostrel
cp sample/notes.txt build/notes.txt
echo "--- build/notes.txt before ---"
cat -A build/notes.txt
echo
echo "--- ostrel build/notes.txt ---"
status=0
(cd build && ./ostrel notes.txt) || status=$?
echo "--- build/notes.txt after (exit status $status) ---"
cat -A build/notes.txt
echo
