#!/bin/sh
# Power cuts replayed from a recording of the disk. A disk keeps, at a power
# cut, everything written before its last flush and any part of what was
# written since, in any order. Here the disk is an image file served through
# FUSE by record_writes.c, which records every write that reaches it and every
# flush (a loop device turns each flush of its file system into an fsync of
# the image), in order. ext4 on that loop device holds a 1 MiB indented text
# with LF ends; ostrel rewrites it once, recorded from just before the run to
# the file system's clean unmount. Then the crash states are made, each on a
# fresh copy of the image as it was before the run: the writes up to each
# flush, and for each stretch between two flushes 16 seeded random subsets of
# its writes (each write taken in 4 KiB pieces, so that what one request
# wrote may be partly on disk; each subset keeps each piece with a chance of
# its own, from none to all, in the order written). Each state is mounted
# (ext4 replays its journal) and checked: the file must be the old text or
# the new one, or a saved text beside it must be the whole new text (else
# the text is lost); the next run of ostrel may say "Done!" and exit 0 only
# over the new text; when it exits 1 the file must be one of the texts or it
# must name a saved text, and every saved text it names must be the whole new
# text.
#
# What this shows that power_cut_test.sh cannot: writes reordered or lost
# between two flushes, and requests cut into pieces. What it cannot: states
# the recorded run did not go through (another timing, another file system),
# writes torn within 4 KiB, or a disk that lies about its flushes.
#
# Usage: recorded_cut_test.sh OSTREL [SEED]
# Needs root, loop devices, FUSE (/dev/fuse), a C compiler, libfuse3-dev and
# perl; without them, or when the harness itself cannot record or replay, it
# says why and exits 77 (skipped). Exit status 1 means ostrel did something
# wrong.
set -u
# What the next run may do, and describe.
. "$(dirname "$0")/next_run_check.sh"
exe=$1
seed=${2:-1}
case $exe in /*) ;; *) exe=$PWD/$exe ;; esac
here=$(cd "$(dirname "$0")" && pwd)
per_stretch=16 # random subsets of each stretch between two flushes
most=400       # states at most, so the test stays within about a minute

# A skip after a failure still fails.
skip() { echo "SKIPPED: $*"; [ "${failures:-0}" = 0 ] || exit 1; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (loop devices, mount, FUSE)"
for tool in perl cc pkg-config mkfs.ext4 mount umount losetup mountpoint timeout; do
  command -v $tool >/dev/null 2>&1 || skip "needs $tool"
done
[ -c /dev/fuse ] || skip "needs FUSE (/dev/fuse)"
pkg-config --exists fuse3 || skip "needs libfuse3-dev"

dir=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-recorded-cut.XXXXXX") || exit 77
dir=$(readlink -f "$dir")
served=""  # the loop device on the served image
state=""   # the loop device of the state under test
server=""  # the pid of record_writes
cleanup() {
  mountpoint -q "$dir/m" && umount "$dir/m"
  for device in $state $served; do losetup -d "$device"; done
  mountpoint -q "$dir/fuse" && umount "$dir/fuse"
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf --one-file-system "$dir"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP PIPE
mkdir "$dir/fuse" "$dir/m"

# shellcheck disable=SC2046
cc -O2 -o "$dir/record_writes" "$here/record_writes.c" $(pkg-config --cflags --libs fuse3) \
  2>"$dir/why" || skip "cannot build record_writes: $(cat "$dir/why")"

# The old text: lines indented by 0 to 8 spaces, with LF ends; the new one,
# as ostrel makes it.
awk 'BEGIN { for (i = 0; n < 1048576; i++) { line = substr("        ", 1, i % 9) "line " i " of the text"
             print line; n += length(line) + 1 } }' >"$dir/old"
mkdir "$dir/expect"
cp "$dir/old" "$dir/expect/f"
"$exe" "$dir/expect/f" >/dev/null 2>&1 || { echo "ostrel failed on the text"; exit 1; }
mv "$dir/expect/f" "$dir/new"

# The image, served and recorded; its file system holds the old text, on
# disk, before the recording that counts starts (at $start in the log).
truncate -s 64M "$dir/base.img" &&
  mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$dir/base.img" &&
  cp --sparse=always "$dir/base.img" "$dir/disk.img" >"$dir/why" 2>&1 ||
  skip "cannot make the image: $(cat "$dir/why")"
"$dir/record_writes" "$dir/disk.img" "$dir/log" "$dir/fuse" >"$dir/server.out" 2>&1 &
server=$!
tries=0
until [ -f "$dir/fuse/disk" ]; do
  tries=$((tries + 1))
  [ $tries -lt 50 ] && kill -0 "$server" 2>/dev/null ||
    skip "cannot serve the image through FUSE: $(cat "$dir/server.out")"
  sleep 0.1
done
# Buffered, not direct I/O, so that the loop device writes through the
# served file and flushes it with fsync.
served=$(losetup -f --show --direct-io=off "$dir/fuse/disk" 2>"$dir/why") ||
  skip "cannot attach a loop device to the served image: $(cat "$dir/why")"
[ "$(losetup -n -O DIO "$served" | tr -d ' ')" = 0 ] || skip "the loop device uses direct I/O"
mount "$served" "$dir/m" 2>"$dir/why" && cp "$dir/old" "$dir/m/f" && sync -f "$dir/m" ||
  skip "cannot mount the served image: $(cat "$dir/why")"
start=$(stat -c %s "$dir/log")
status=0
"$exe" "$dir/m/f" >"$dir/run" 2>&1 || status=$?
cmp -s "$dir/m/f" "$dir/new" || status="$status, and the file is not the new text"
umount "$dir/m" 2>"$dir/why" && losetup -d "$served" 2>"$dir/why" && served="" &&
  umount "$dir/fuse" 2>"$dir/why" ||
  skip "cannot unmount the served image cleanly: $(cat "$dir/why")"
wait "$server" || skip "record_writes ended with exit status $?: $(cat "$dir/server.out")"
server=""
if [ "$status" != 0 ] || ! grep -q '^Done!' "$dir/run"; then
  echo "FAIL: the recorded run did not rewrite the file (exit status $status):"
  cat "$dir/run"
  exit 1
fi

# replay LOG START plan SEED PER MOST: one state a line, "WRITES TO SEED
# WHAT": the first WRITES pieces of writes, then of the next ones up to TO
# each kept or not by a generator seeded with SEED.
# replay LOG START make IMAGE WRITES TO SEED: makes that state on IMAGE, a
# copy of the image before the recording. A piece is what one write put in
# one 4 KiB block.
cat >"$dir/replay.pl" <<'EOF'
use strict;
my ($log, $start, $mode, @arg) = @ARGV;
open(my $l, "<:raw", $log) or die "$log: $!\n";
my (@pieces, @flushes, $first);  # pieces: [offset, log position, length]
while (1) {
  $first = @pieces if !defined $first && tell($l) >= $start;
  last unless read($l, my $type, 1);
  if ($type eq "F") { push @flushes, scalar @pieces; next }
  read($l, my $head, 12) == 12 or die "$log: cut short\n";
  my ($at, $length) = unpack("Q<L<", $head);
  my $pos = tell($l);
  while ($length > 0) {
    my $n = 4096 - $at % 4096;
    $n = $length if $n > $length;
    push @pieces, [$at, $pos, $n];
    ($at, $pos, $length) = ($at + $n, $pos + $n, $length - $n);
  }
  seek($l, $pos, 0);
}
$first = @pieces unless defined $first;
if ($mode eq "plan") {
  my ($seed, $per, $most) = @arg;
  # The flushes of the run, one state each, and the end; only those with
  # writes between them make different states.
  my @points = grep { $_ >= $first } @flushes;
  push @points, scalar @pieces;
  my @at = ($first);
  for (@points) { push @at, $_ if $_ > $at[-1] }
  my $stretches = grep { $at[$_] - $at[$_ - 1] > 1 } 1 .. $#at;
  $per = int(($most - @at) / $stretches) if $stretches && @at + $per * $stretches > $most;
  for my $i (0 .. $#at) {
    my $flush = grep { $_ <= $at[$i] } @points[0 .. $#points - 1];
    my $when = $flush ? "flush $flush of the run" : "the start of the run";
    printf "%d 0 0 %s\n", $at[$i], $i == $#at ? "at the end, all $at[$i] pieces written" :
      "at $when, $at[$i] pieces written";
    next if $i == $#at || $at[$i + 1] - $at[$i] < 2;
    printf "%d %d %d %s\n", $at[$i], $at[$i + 1], $seed++,
      "after $when, some of pieces $at[$i] to " . ($at[$i + 1] - 1) for 1 .. $per;
  }
  printf STDERR "%d pieces of writes before the run, %d in it, %d flushes, %d states\n",
    $first, @pieces - $first, @points - 1, @at + $per * $stretches;
} else {
  my ($image, $writes, $to, $seed) = @arg;
  open(my $out, "+<:raw", $image) or die "$image: $!\n";
  # Each state keeps each piece with a chance of its own, from none to all.
  srand($seed);
  my ($chance, $kept) = (rand(), 0);
  my $end = $to > $writes ? $to : $writes;
  $end = @pieces if $end > @pieces;
  for my $i (0 .. $end - 1) {
    next if $i >= $writes && rand() >= $chance;
    my ($at, $pos, $n) = @{$pieces[$i]};
    seek($l, $pos, 0) && read($l, my $bytes, $n) == $n or die "$log: $!\n";
    seek($out, $at, 0) && syswrite($out, $bytes) == $n or die "$image: $!\n";
    $kept++ if $i >= $writes;
  }
  close($out) or die "$image: $!\n";
  print "$kept of ", $to - $writes, "\n" if $to > $writes;
}
EOF
replay() { perl "$dir/replay.pl" "$dir/log" "$start" "$@"; }

# The recording is whole: all of it on the image as it was makes the image
# as the served file system left it.
cp --sparse=always "$dir/base.img" "$dir/all.img" &&
  replay make "$dir/all.img" 999999999 0 0 >"$dir/why" 2>&1 &&
  cmp -s "$dir/all.img" "$dir/disk.img" ||
  skip "the recording does not make the image as it was written: $(cat "$dir/why")"
rm -f "$dir/all.img"
replay plan "$seed" "$per_stretch" "$most" >"$dir/states" 2>"$dir/why" ||
  skip "cannot read the recording: $(cat "$dir/why")"
cat "$dir/why"

fail() {
  failures=$((failures + 1))
  echo
  echo "FAIL: state $n ($what${kept:+: $kept kept})"
  echo "  $1"
  echo "  the file after the cut: $before"
  [ -f "$dir/next" ] || return 0
  echo "  the file now: $(describe "$dir/m/f")"
  echo "  the next run: exit status $status, said:"
  grep -v '^$' "$dir/next" | sed -n '/^Processing/,$p' | sed 's/^/    /'
}

# make_state: the state on a fresh copy of the image, on a loop device of its
# own, in $state; says why not in $dir/why.
make_state() {
  state=""
  cp --sparse=always "$dir/base.img" "$dir/state.img" 2>"$dir/why" &&
    kept=$(replay make "$dir/state.img" "$writes" "$to" "$seed" 2>"$dir/why") &&
    state=$(losetup -f --show "$dir/state.img" 2>"$dir/why") ||
    { echo "exit status $? $(cat "$dir/why")" >"$dir/why"; return 1; }
}

# Each state: made, mounted, looked at, run on, checked.
failures=0
n=0
beside=0  # states with a saved text beside the file
began=$(date +%s)
while read -r writes to seed what; do
  n=$((n + 1))
  rm -f "$dir/next"
  for try in 1 2 3 4; do
    unmountable=""
    if make_state; then
      mount "$state" "$dir/m" 2>"$dir/why" && break
      unmountable=$(cat "$dir/why")
      losetup -d "$state"
      state=""
    fi
    echo "state $n ($what), try $try: $(cat "$dir/why")"
    [ "$try" = 4 ] || sleep "$try"
  done
  if [ -z "$state" ]; then
    [ -n "$unmountable" ] || skip "cannot make state $n ($what): $(cat "$dir/why")"
    before="not there"
    fail "the file system does not mount: $unmountable"
  else
    before=$(describe "$dir/m/f")
    # The text is not lost: the file is one of the texts, or a saved text
    # beside it is the whole new one.
    whole=""
    cmp -s "$dir/m/f" "$dir/old" || cmp -s "$dir/m/f" "$dir/new" || whole=no
    kept_beside=""
    for saved in "$dir"/m/ostrel-saved-*; do
      [ -f "$saved" ] || continue
      kept_beside=yes
      [ -n "$whole" ] && cmp -s "$saved" "$dir/new" && whole=""
    done
    [ -z "$kept_beside" ] || beside=$((beside + 1))
    status=0
    timeout 120 "$exe" "$dir/m/f" >"$dir/next" 2>&1 </dev/null || status=$?
    if [ -n "$whole" ]; then
      fail "the file is neither text, and no saved text beside it is the whole new one: the text is lost"
    else
      fault=$(next_run_fault "$dir/m/f" "$dir/old" "$dir/new" "$dir/next" "$status")
      [ -z "$fault" ] || fail "$fault"
    fi
    umount "$dir/m" 2>"$dir/why" || skip "cannot unmount state $n: $(cat "$dir/why")"
  fi
  [ -z "$state" ] || losetup -d "$state" 2>"$dir/why" ||
    skip "cannot detach the loop device of state $n: $(cat "$dir/why")"
  state=""
done <"$dir/states"
echo "$n states tested in $(($(date +%s) - began)) s, $beside with a saved text beside the file, $failures failed"
[ "$failures" = 0 ] || exit 1
# Else the run kept its text where the power cut does not reach.
[ "$beside" -gt 0 ] || skip "no state had a saved text beside the file"
