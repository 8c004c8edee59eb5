#!/bin/sh
# Times ostrel against the floor (two cat passes over the file), sed -i and an
# exact perl -pi equivalent, each on a fresh copy of the same data before
# every timed run, and measures peak memory. Beside the wall time it reports
# ostrel's user and system CPU time, and the instructions it runs per byte
# (counted by valgrind on the first 4 MiB of each data set), which the load of
# a shared machine does not move. On the disk (not tmpfs) it also times small
# to large files against a durable floor: two copies, each flushed with
# fdatasync; and ostrel once more with the file held open by the shell, where
# no lease is granted and the file is read again to be compared. The ostrel timed is the one the Debian package ships: built with
# the same settings, installed stripped.
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

sh tools/install-deps.sh hyperfine gnuplot-nox time jq perl dos2unix valgrind coreutils
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
  sets="lf-64k:65536:lf crlf-64k:65536:crlf long-256k:262144:long utf16-64k:65536:utf16 clean-64k:65536:clean"
  big=""
  disk_sets="disk-1k:1024 disk-64k:65536"
  runs=3
  disk_runs=3
else
  sets="lf-1m:1048576:lf lf-64m:67108864:lf crlf-64m:67108864:crlf long-64m:67108864:long utf16-64m:67108864:utf16 clean-64m:67108864:clean"
  big="lf-1g"
  disk_sets="disk-1k:1024 disk-1m:1048576 disk-64m:67108864"
  runs=20
  disk_runs=10
fi

hf() {  # hyperfine, quiet unless it fails
  hyperfine --style basic "$@" >/dev/null 2>"$work/hyperfine.log" || {
    cat "$work/hyperfine.log"
    exit 1
  }
}

rows=$work/rows.tsv  # set, bytes, floor, ostrel, sed, perl (median seconds), user, system (mean)
: >"$rows"
medians='[.results[].median | tostring] + [.results[] | select(.command == "ostrel") | .user, .system | tostring]'

# Instructions per byte: valgrind counts every instruction ostrel runs, start-up
# included, on the first 4 MiB of the data.
ipb() {  # ipb FILE: instructions per byte
  head -c 4194304 "$1" >"$work/counted"
  bytes=$(stat -c %s "$work/counted")
  valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null \
    "$ostrel" "$work/counted" 2>&1 >/dev/null |
    awk -v bytes="$bytes" '/I *refs:/ { gsub(",", "", $NF); print $NF / bytes }'
}
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
  jq -r --arg set "$name" --arg bytes "$bytes" --arg ipb "$(ipb "$work/$name")" \
    "[\$set, \$bytes] + $medians + [\$ipb] | @tsv" "$work/$name.json" >>"$rows"
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
    "[\$set, \$bytes] + $medians | @tsv" "$work/$big.json" >>"$flat"
fi

# On the disk: a run that flushes its work to the disk costs what two copies
# that each end with fdatasync cost. Never on tmpfs, which has no disk.
fs_type() { df -T "$1" | awk 'NR == 2 {print $2}'; }
disk=$work
case $(fs_type "$disk") in
  tmpfs | ramfs) disk=$(mktemp -d /var/tmp/ostrel-bench.XXXXXX) ;;
esac
trap 'rm -rf "$work" "$disk"' EXIT INT TERM
disk_type=$(fs_type "$disk")
durable=$work/durable.tsv  # set, bytes, floor, durable floor, ostrel (median seconds)
: >"$durable"
f=$(q "$disk/file")
copy=$(q "$disk/copy")
for set in $disk_sets; do
  dname=${set%%:*}; bytes=${set#*:}
  perl bench/gen.pl "$bytes" lf >"$disk/$dname"
  echo "== $dname"
  hf --warmup 2 --runs "$disk_runs" --export-json "$work/$dname.json" \
    --prepare "cp $(q "$disk/$dname") $f" \
    -n floor "cat $f > $copy && cat $copy > $f" \
    -n durable "dd if=$f of=$copy bs=1M conv=fdatasync status=none && dd if=$copy of=$f bs=1M conv=fdatasync status=none" \
    -n ostrel "$(q "$ostrel") $f > /dev/null" \
    -n held "$(q "$ostrel") $f 3<$f > /dev/null"
  jq -r --arg set "$dname" --arg bytes "$bytes" \
    '[$set, $bytes] + [.results[].median | tostring] | @tsv' "$work/$dname.json" >>"$durable"
  rm -f "$disk/$dname"
done

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
  --rawfile rows "$rows" --rawfile flat "$flat" --rawfile durable "$durable" \
  --arg disk_type "$disk_type" \
  --slurpfile small "$work/small.json" --slurpfile loop "$work/loop.json" \
  --argjson mem_small "$mem_small" --argjson mem_large "$mem_large" \
  --argjson large_bytes "$large_bytes" '
  def table: split("\n") | map(select(length > 0) | split("\t"));
  def medians: .results | map({(.command): .median}) | add;
  {machine: $machine, date: $date, build: $build,
   load_average: {start: $load_start, end: $load_end},
   sets: ($rows | table | map({set: .[0], bytes: (.[1] | tonumber), floor: (.[2] | tonumber),
          ostrel: (.[3] | tonumber), sed: (.[4] | tonumber), perl: (.[5] | tonumber),
          ostrel_user: (.[6] | tonumber), ostrel_system: (.[7] | tonumber),
          instructions_per_byte: (.[8] | tonumber)})),
   flat: ($flat | table | map({set: .[0], bytes: (.[1] | tonumber), floor: (.[2] | tonumber),
          ostrel: (.[3] | tonumber), ostrel_user: (.[4] | tonumber),
          ostrel_system: (.[5] | tonumber)})),
   disk: {type: $disk_type,
          sets: ($durable | table | map({set: .[0], bytes: (.[1] | tonumber),
                 floor: (.[2] | tonumber), durable_floor: (.[3] | tonumber),
                 ostrel: (.[4] | tonumber), ostrel_without_lease: (.[5] | tonumber)}))},
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
  "| cost per byte | floor | ostrel | ostrel user CPU | ostrel system CPU | instructions | ostrel ÷ floor |",
  "|---|---|---|---|---|---|---|",
  (.sets[], .flat[] |
    "| \(.set) | \(.floor / .bytes * 1e9 | x) ns/B | \(.ostrel / .bytes * 1e9 | x) ns/B | \(.ostrel_user / .bytes * 1e9 | x) ns/B | \(.ostrel_system / .bytes * 1e9 | x) ns/B | \(.instructions_per_byte // "" | if . == "" then "" else "\(x) /B" end) | \(.ostrel / .floor | x) |"),
  "",
  "| on the disk (\(.disk.type)) | floor (2 × cat) | durable floor (2 × copy + fdatasync) | ostrel | ostrel ÷ durable floor | ostrel, file held open (no lease) |",
  "|---|---|---|---|---|---|",
  (.disk.sets[] |
    "| \(.set) | \(.floor | ms) ms | \(.durable_floor | ms) ms | \(.ostrel | ms) ms | \(.ostrel / .durable_floor | x) | \(.ostrel_without_lease | ms) ms |"),
  "",
  "| small files | ostrel | unix2dos | sed -i | ostrel ÷ unix2dos |",
  "|---|---|---|---|---|",
  "| one 1 KiB file, whole run | \(.small_file.ostrel | ms) ms | \(.small_file.unix2dos | ms) ms | \(.small_file.sed | ms) ms | \(.small_file.ostrel / .small_file.unix2dos | x) |",
  "| 1000 files of 1 KiB, shell loop | \(.thousand_small_files.ostrel | ms) ms | \(.thousand_small_files.unix2dos | ms) ms | | \(.thousand_small_files.ostrel / .thousand_small_files.unix2dos | x) |",
  "",
  "Peak resident memory: \(.peak_memory_kib.small_file) KiB on a 1 KiB file, \(.peak_memory_kib.largest_file) KiB on a \(.peak_memory_kib.largest_file_bytes / 1048576 | round) MiB file."
' "$results/latest.json" >"$results/latest.md"

# The chart: ostrel's time as a multiple of its floor, on an axis from 0,
# so that every bar shows; what sed and perl take is in the table.
jq -r '(.sets[], .flat[] | [.set, .ostrel / .floor]), (.disk.sets[] | [.set, .ostrel / .durable_floor])
  | @tsv' "$results/latest.json" >"$work/chart.tsv"
gnuplot <<GNUPLOT
set terminal pngcairo size 900,480 font ",11"
set output "$results/latest.png"
set title "ostrel's time as a multiple of two copies (on the disk, flushed ones; lower is better)"
set style data histograms
set style fill solid 0.85 border -1
set yrange [0:*]
set grid ytics
set key off
set arrow from graph 0, first 1 to graph 1, first 1 nohead dashtype 2 lc rgb "#999999"
plot "$work/chart.tsv" using 2:xtic(1) lc rgb "#1f77b4"
GNUPLOT

cat "$results/latest.md"
$quick || sh bench/readme.sh
