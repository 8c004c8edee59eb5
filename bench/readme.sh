#!/bin/sh
# Puts the benchmark's tables, bench/results/latest.md, into README.md
# between the two marker lines below, so that the README shows the committed
# results and nothing copied by hand. bench/run.sh runs it after a full run.
#   bench/readme.sh           rewrite that section of README.md
#   bench/readme.sh --check   only compare; fail if README.md differs
set -eu
cd "$(dirname "$0")/.."
begin='<!-- benchmark results begin: made by bench/readme.sh from bench/results/latest.md -->'
end='<!-- benchmark results end -->'
[ "$(grep -c -x -F -e "$begin" -e "$end" README.md)" = 2 ] ||
  { echo "README.md needs the lines $begin and $end, once each" >&2; exit 1; }
spliced=$(mktemp "${TMPDIR:-/tmp}/ostrel-readme.XXXXXX")
trap 'rm -f "$spliced"' EXIT
awk -v begin="$begin" -v end="$end" -v results=bench/results/latest.md '
  $0 == begin { print; while ((getline line < results) > 0) print line; skip = 1; next }
  $0 == end { skip = 0 }
  !skip' README.md >"$spliced"
if [ "${1:-}" = "--check" ]; then
  diff -u README.md "$spliced" ||
    { echo "README.md does not show bench/results/latest.md: run sh bench/readme.sh" >&2; exit 1; }
  echo "README.md shows bench/results/latest.md"
else
  cat "$spliced" >README.md
fi
