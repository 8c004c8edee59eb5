#!/bin/sh
# Times ostrel against the floor (two cat passes over the file), sed -i and an
# exact perl -pi equivalent, each on a fresh copy of the same data before
# every timed run, and measures peak memory. The ostrel timed is the one the
# Debian package ships: built with the same settings, installed stripped.
#
#   bench/run.sh            the full run (about ten minutes; 3 GiB of free disk):
#                           writes bench/results/latest.json, latest.md (the
#                           tables) and latest.png (the chart), and puts the
#                           tables into README.md (bench/readme.sh)
#   bench/run.sh --quick    tiny inputs, to check that the script works: the
#                           same files go to build-bench/quick/ instead
set -eu
cd "$(dirname "$0")/.."
quick=false
[ "${1:-}" = "--quick" ] && quick=true

sh tools/install-deps.sh hyperfine gnuplot-nox time jq perl dos2unix
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 >/dev/null
cmake --install build-bench --strip --prefix "$work/usr" >/dev/null
ostrel=$work/usr/bin/ostrel
build="the packaged build: libstdc++ linked in, the C library shared, stripped"
if $quick; then
  # Never over the committed results.
  results=$PWD/build-bench/quick
else
  results=$PWD/bench/results
fi
mkdir -p "$results"
# Other work on the machine slows every command; the load is recorded with
# the results so that a reader can judge them.
load_start=$(cut -d ' ' -f 1-3 /proc/loadavg)

q() {  # q WORD: WORD quoted for the shell that runs hyperfine's commands
  printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}

if $quick; then
  sets="lf-64k:65536:lf crlf-64k:65536:crlf long-256k:262144:long clean-64k:65536:clean"
  big=""
  runs=3
else
  sets="lf-1m:1048576:lf lf-64m:67108864:lf crlf-64m:67108864:crlf long-64m:67108864:long utf16-64m:67108864:utf16 clean-64m:67108864:clean"
  big="lf-1g"
  runs=20
fi

hf() {  # hyperfine, quiet unless it fails
  hyperfine --style basic "$@" >/dev/null 2>"$work/hyperfine.log" || {
    cat "$work/hyperfine.log"
    exit 1
  }
}

rows=$work/rows.tsv  # set, bytes, floor, ostrel, sed, perl (median seconds)
: >"$rows"
for set in $sets; do
  name=${set%%:*}; rest=${set#*:}; bytes=${rest%%:*}; variant=${rest#*:}
  perl bench/gen.pl "$bytes" "$variant" >"$work/$name"
  f=$(q "$work/file")
  copy=$(q "$work/copy")
  echo "== $name"
  hf --warmup 2 --runs "$runs" --export-json "$work/$name.json" \
    --prepare "cp $(q "$work/$name") $f" \
    -n floor "cat $f > $copy && cat $copy > $f" \
    -n ostrel "$(q "$ostrel") $f > /dev/null" \
    -n sed "sed -i 's/^ *//' $f" \
    -n perl "perl -pi -e 's/^ +//; s/\\r?\\n\\z/\\r\\n/' $f"
  jq -r --arg set "$name" --arg bytes "$bytes" \
    '[$set, $bytes] + [.results[].median | tostring] | @tsv' "$work/$name.json" >>"$rows"
done

# Cost per byte from 1 MiB up: ostrel and the floor alone on 1 GiB.
flat=$work/flat.tsv
: >"$flat"
if [ -n "$big" ]; then
  perl bench/gen.pl 67108864 lf >"$work/part"
  for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16; do cat "$work/part"; done >"$work/$big"
  rm -f "$work/part"
  f=$(q "$work/file")
  copy=$(q "$work/copy")
  echo "== $big"
  hf --warmup 1 --runs 3 --export-json "$work/$big.json" \
    --prepare "cp $(q "$work/$big") $f" \
    -n floor "cat $f > $copy && cat $copy > $f" \
    -n ostrel "$(q "$ostrel") $f > /dev/null"
  jq -r --arg set "$big" --arg bytes 1073741824 \
    '[$set, $bytes] + [.results[].median | tostring] | @tsv' "$work/$big.json" >>"$flat"
fi

# Whole runs on small files, where process start-up is most of the cost.
perl bench/gen.pl 1024 lf >"$work/small"
mkdir "$work/many"
i=0
while [ $i -lt 1000 ]; do cp "$work/small" "$work/many/$i.txt"; i=$((i + 1)); done
echo "== small files"
one=$(q "$work/one")
hf -N --warmup 20 --runs $((runs * 20)) --export-json "$work/small.json" \
  --prepare "cp $(q "$work/small") $one" \
  -n ostrel "$(q "$ostrel") $one" -n unix2dos "unix2dos -q $one" \
  -n sed "sed -i 's/^ *//' $one"
loop=$(q "$work/loop")
hf --warmup 1 --runs "$runs" --export-json "$work/loop.json" \
  --prepare "rm -rf $loop && cp -r $(q "$work/many") $loop" \
  -n ostrel "for f in $loop/*; do $(q "$ostrel") \"\$f\" > /dev/null; done" \
  -n unix2dos "for f in $loop/*; do unix2dos -q \"\$f\"; done"

# Peak resident memory, smallest and largest file.
peak() {  # peak FILE: kilobytes
  cp "$1" "$work/file"
  /usr/bin/time -f %M "$ostrel" "$work/file" 2>&1 >/dev/null | tail -n 1
}
largest=${big:-$name}
mem_small=$(peak "$work/small")
mem_large=$(peak "$work/$largest")
large_bytes=$(stat -c %s "$work/$largest")

machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(free -g | awk '/Mem:/ {print $2}') GiB, Linux $(uname -r), $(df -T "$work" | awk 'NR == 2 {print $2}') in $(dirname "$work")"

jq -n --arg machine "$machine" --arg date "$(date -u +%Y-%m-%dT%H:%MZ)" --arg build "$build" \
  --arg load_start "$load_start" --arg load_end "$(cut -d ' ' -f 1-3 /proc/loadavg)" \
  --rawfile rows "$rows" --rawfile flat "$flat" \
  --slurpfile small "$work/small.json" --slurpfile loop "$work/loop.json" \
  --argjson mem_small "$mem_small" --argjson mem_large "$mem_large" \
  --argjson large_bytes "$large_bytes" '
  def table: split("\n") | map(select(length > 0) | split("\t"));
  def medians: .results | map({(.command): .median}) | add;
  {machine: $machine, date: $date, build: $build,
   load_average: {start: $load_start, end: $load_end},
   sets: ($rows | table | map({set: .[0], bytes: (.[1] | tonumber), floor: (.[2] | tonumber),
          ostrel: (.[3] | tonumber), sed: (.[4] | tonumber), perl: (.[5] | tonumber)})),
   flat: ($flat | table | map({set: .[0], bytes: (.[1] | tonumber), floor: (.[2] | tonumber),
          ostrel: (.[3] | tonumber)})),
   small_file: ($small[0] | medians), thousand_small_files: ($loop[0] | medians),
   peak_memory_kib: {small_file: $mem_small, largest_file: $mem_large,
                     largest_file_bytes: $large_bytes}}' >"$results/latest.json"

# The table, in Markdown.
jq -r '
  def ms: . * 1000 | . * 10 | round / 10 | tostring;
  def x: . * 100 | round / 100 | tostring;
  "Machine: \(.machine); \(.date); load average (1, 5, 15 min) \(.load_average.start) at the start, \(.load_average.end) at the end. ostrel is \(.build).\n",
  "| data | floor (2 × cat) | ostrel | sed -i | perl -pi | ostrel ÷ floor | sed ÷ ostrel | perl ÷ ostrel |",
  "|---|---|---|---|---|---|---|---|",
  (.sets[] | "| \(.set) | \(.floor | ms) ms | \(.ostrel | ms) ms | \(.sed | ms) ms | \(.perl | ms) ms | \(.ostrel / .floor | x) | \(.sed / .ostrel | x) | \(.perl / .ostrel | x) |"),
  "",
  "| cost per byte | floor | ostrel | ostrel ÷ floor |",
  "|---|---|---|---|",
  ((.sets[] | select(.set | startswith("lf-") or startswith("utf16-"))), .flat[] |
    "| \(.set) | \(.floor / .bytes * 1e9 | x) ns/B | \(.ostrel / .bytes * 1e9 | x) ns/B | \(.ostrel / .floor | x) |"),
  "",
  "| small files | ostrel | unix2dos | sed -i | ostrel ÷ unix2dos |",
  "|---|---|---|---|---|",
  "| one 1 KiB file, whole run | \(.small_file.ostrel | ms) ms | \(.small_file.unix2dos | ms) ms | \(.small_file.sed | ms) ms | \(.small_file.ostrel / .small_file.unix2dos | x) |",
  "| 1000 files of 1 KiB, shell loop | \(.thousand_small_files.ostrel | ms) ms | \(.thousand_small_files.unix2dos | ms) ms | | \(.thousand_small_files.ostrel / .thousand_small_files.unix2dos | x) |",
  "",
  "Peak resident memory: \(.peak_memory_kib.small_file) KiB on a 1 KiB file, \(.peak_memory_kib.largest_file) KiB on a \(.peak_memory_kib.largest_file_bytes / 1048576 | round) MiB file."
' "$results/latest.json" >"$results/latest.md"

# The chart: each tool's time as a multiple of the floor.
jq -r '.sets[] | [.set, 1, .ostrel / .floor, .sed / .floor, .perl / .floor] | @tsv' \
  "$results/latest.json" >"$work/chart.tsv"
gnuplot <<GNUPLOT
set terminal pngcairo size 900,480 font ",11"
set output "$results/latest.png"
set title "Time as a multiple of two cat passes (lower is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set logscale y
set yrange [0.5:*]
set ytics (0.5, 1, 2, 4, 8, 16, 32)
set grid ytics
set key top left
plot "$work/chart.tsv" using 2:xtic(1) title "floor (2 × cat)" lc rgb "#999999", \
     "" using 3 title "ostrel" lc rgb "#1f77b4", \
     "" using 4 title "sed -i" lc rgb "#ff7f0e", \
     "" using 5 title "perl -pi" lc rgb "#d62728"
GNUPLOT

cat "$results/latest.md"
$quick || sh bench/readme.sh
