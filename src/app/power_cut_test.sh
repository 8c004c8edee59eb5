#!/bin/sh
# Simulated power cuts on the real kernel. ostrel rewrites a file on a
# loop-mounted file system under strace, which holds it right after one
# system call of its run; then each journal is committed (an fsync of an
# unrelated file: the metadata reaches the disk, data not yet written out
# does not, the worst case), each file system is shut down without flushing
# its log (FS_IOC_SHUTDOWN, FS_SHUTDOWN_FLAGS_NOLOGFLUSH), as a power cut
# leaves it, ostrel is killed, and the file systems are mounted again (the
# journal replayed; a tmpfs comes back empty). The next run of ostrel on the
# file must leave it byte for byte the old text or the new one, may say
# "Done!" and exit 0 only over the new one, and a saved text it names when it
# exits 1 must be the whole new text. The run is cut after each call from the
# open of the file on, and once more after it has ended.
#
# Usage: power_cut_test.sh OSTREL [--full]
#   By default: ext4, TMPDIR on the file's file system and on a tmpfs, a 1 KiB
#   file, cut after the calls that create, write, name, remove, flush or
#   close files (output to the terminal aside).
#   With --full (or OSTREL_POWER_CUT_FULL=1): after every call, on ext4 and
#   (where mkfs.xfs is installed) xfs, TMPDIR also on another file system of
#   the same kind, and a 16 MiB file too. Of a loop of like calls (the strip
#   pass's reads and writes, the look at each signal's disposition) only the
#   first two, the middle one and the last two are cut.
# Needs root, loop devices, strace and perl; says what is missing and exits 77
# (skipped) without them.
set -u
exe=$1
full=${OSTREL_POWER_CUT_FULL:-0}
[ "${2:-}" = "--full" ] && full=1
case $exe in /*) ;; *) exe=$PWD/$exe ;; esac
# LeakSanitizer cannot work under a tracer.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
export ASAN_OPTIONS

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (loop devices, mount, the shutdown ioctl)"
for tool in strace perl mkfs.ext4 mount umount losetup mkfifo; do
  command -v $tool >/dev/null 2>&1 || skip "needs $tool"
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-power-cut.XXXXXX")
devices=""  # the loop devices attached
loops=""    # the loop file systems mounted, at $dir/t and $dir/o
ram=""    # the tmpfs mounted at $dir/r, if any
strace_pid=""
run_pid=""
cleanup() {
  [ -n "$strace_pid" ] && kill -KILL ${run_pid:+"$run_pid"} "$strace_pid" 2>/dev/null
  for m in $loops $ram; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
  for d in $devices; do losetup -d "$d"; done
  rm -rf --one-file-system "$dir"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP PIPE

# commit_and_shut_down MARK MOUNT...: a new small file holding MARK in each,
# and its fsync (the journal commits all metadata up to its creation), then
# FS_IOC_SHUTDOWN = _IOR('X', 125, __u32) with FS_SHUTDOWN_FLAGS_NOLOGFLUSH = 2
# on each. One process: starting one is most of the time a cut takes.
commit_and_shut_down() {
  perl -e 'use IO::Handle;
    my $mark = shift;
    for (@ARGV) {
      unlink "$_/commit";
      open(my $f, ">", "$_/commit") or die "$_/commit: $!\n";
      syswrite($f, "$mark\n") && $f->sync or die "$_/commit: $!\n";
    }
    for (@ARGV) {
      sysopen(my $f, $_, 0) or die "$_: $!\n";
      my $flags = pack("L", 2);
      ioctl($f, 0x8004587d, $flags) or die "FS_IOC_SHUTDOWN on $_: $!\n";
    }' "$@"
}

# image NAME TYPE SIZE makes $dir/NAME.img and attaches a loop device to it,
# for as long as it is used: its number, in the names ostrel gives saved
# texts, must not change when it is mounted again. mount_loop NAME mounts it
# at $dir/NAME; mount_ram mounts a fresh tmpfs at $dir/r. Each has a
# directory tmp. drop_image NAME detaches and removes it.
image() {
  truncate -s "$3" "$dir/$1.img" &&
    if [ "$2" = xfs ]; then mkfs.xfs -q -f "$dir/$1.img"; else mkfs.ext4 -q -F "$dir/$1.img"; fi &&
    losetup -f --show "$dir/$1.img" >"$dir/$1.dev" || return 1
  devices="$devices $(cat "$dir/$1.dev")"
}
drop_image() {
  read -r device <"$dir/$1.dev"
  losetup -d "$device" || return 1
  devices=$(echo "$devices" | sed "s| $device||")
  rm -f "$dir/$1.img"
}
mount_loop() {
  [ -d "$dir/$1" ] || mkdir "$dir/$1" || return 1
  read -r device <"$dir/$1.dev"
  mount "$device" "$dir/$1" || return 1
  case " $loops " in *" $dir/$1 "*) ;; *) loops="$loops $dir/$1" ;; esac
  [ -d "$dir/$1/tmp" ] || { mkdir "$dir/$1/tmp" && sync -f "$dir/$1"; }
}
mount_ram() {
  [ -d "$dir/r" ] || mkdir "$dir/r" || return 1
  mount -t tmpfs -o size=64m tmpfs "$dir/r" || return 1
  ram=$dir/r
  mkdir "$dir/r/tmp"
}
unmount_all() {
  for m in $loops $ram; do umount "$m" || return 1; done
  loops=""
  ram=""
}

# Whether loop devices, the shutdown ioctl and strace work here.
image probe ext4 16M >"$dir/why" 2>&1 && mount_loop probe 2>"$dir/why" ||
  skip "cannot mount a loop device here: $(cat "$dir/why")"
commit_and_shut_down 0 "$dir/probe" 2>"$dir/why" || skip "$(cat "$dir/why")"
unmount_all && drop_image probe || exit 1
strace -f -o /dev/null -e inject=getpid:delay_exit=1us:when=99 true 2>"$dir/why" ||
  skip "strace cannot trace here, or cannot delay a call: $(cat "$dir/why")"
mkfifo "$dir/trace" || exit 1

# The old text: lines indented by 0 to 8 spaces, with LF ends; the new one,
# as ostrel makes it.
make_texts() {  # make_texts NAME BYTES
  awk 'BEGIN { for (i = 0; n < '"$2"'; i++) { line = substr("        ", 1, i % 9) "line " i " of the text"
               print line; n += length(line) + 1 } }' | head -c "$2" >"$dir/old-$1"
  mkdir -p "$dir/expect"
  cp "$dir/old-$1" "$dir/expect/$1"
  TMPDIR=$dir/expect "$exe" "$dir/expect/$1" >/dev/null 2>&1 || { echo "ostrel failed on $1"; exit 1; }
  mv "$dir/expect/$1" "$dir/new-$1"
  cmp -s "$dir/old-$1" "$dir/new-$1" && { echo "ostrel did not change $1"; exit 1; }
}
make_texts small 1024
[ "$full" = 1 ] && make_texts large $((16 * 1024 * 1024))

target=$dir/t/f
failures=0
cuts=0

# The cuts of a traced run: "NAME N CALL" for each call after which to cut,
# where it is the Nth call of NAME in the run; "end 0 -" for after the end.
list_cuts() {
  awk -v target="\"$target\"" -v full="$full" '
    { sub(/^[0-9]+ +/, "") }
    /^(---|\+\+\+)/ || /resumed>/ { next }
    { name = substr($0, 1, index($0, "(") - 1); nth[name]++ }
    !started && index($0, "openat(") == 1 && index($0, target) && /O_RDWR/ { started = 1 }
    !started || name == "exit_group" { next }
    !full && (name !~ /^(write|pwrite64|writev|ftruncate|fallocate|copy_file_range|sendfile|splice|link|linkat|rename|renameat|renameat2|unlink|unlinkat|fsync|fdatasync|sync_file_range|syncfs|close)$/ ||
              /^write\([12],/) && !(name ~ /^open/ && /O_CREAT|O_TMPFILE/) { next }
    { n++; names[n] = name; counts[n] = nth[name]; calls[n] = $0
      key[n] = name; if (match($0, /^[a-z0-9_]+\([^,)]*/)) key[n] = substr($0, 1, RLENGTH)
      seen[key[n]]++; run[n] = (n > 1 && names[n - 1] == name) ? run[n - 1] + 1 : 1 }
    END {
      # A loop of like calls: the same call on the same file many times, or
      # one call many times in a row.
      for (i = n; i >= 1; i--) runlen[i] = (i < n && run[i + 1] > run[i]) ? runlen[i + 1] : run[i]
      for (i = 1; i <= n; i++) {
        if (seen[key[i]] > 5) { j = ++at[key[i]]; m = seen[key[i]] }
        else if (runlen[i] > 5) { j = run[i]; m = runlen[i] }
        else j = 0
        if (j > 2 && j < m - 1 && j != int((m + 1) / 2)) continue
        print names[i], counts[i], calls[i]
      }
      print "end 0 -"
    }' "$1"
}

# The old text in the file, nothing else left, all of it on disk.
reset() {
  for f in "$dir"/t/ostrel-saved-* "$dir"/t/tmp/* "$dir"/o/tmp/* "$dir"/r/tmp/*; do
    if [ -e "$f" ]; then
      rm -f "$dir"/t/ostrel-saved-* "$dir"/t/tmp/* "$dir"/o/tmp/* "$dir"/r/tmp/*
      break
    fi
  done
  cp "$dir/old-$size" "$target"
  # shellcheck disable=SC2086
  sync -f $loops
}

# The power cut: commit and shut down each file system, end the run, mount
# them again.
power_cut() {
  # shellcheck disable=SC2086
  commit_and_shut_down "$cuts" $loops || return 1
  if [ -n "$strace_pid" ]; then
    # strace, holding the run, would hold its exit too: it goes as well, and
    # the run, detached with the kill pending, ends.
    kill -KILL "$run_pid" "$strace_pid" 2>/dev/null
    wait "$strace_pid" 2>/dev/null
    strace_pid=""
    # Until it has closed its files (as a zombie has: init reaps it later).
    tries=0
    while read -r stat 2>/dev/null <"/proc/$run_pid/stat"; do
      stat=${stat##*) }
      [ "${stat%% *}" = Z ] && break
      tries=$((tries + 1))
      [ $tries -lt 500 ] || { echo "ostrel ($run_pid) does not end"; return 1; }
      sleep 0.01
    done
  fi
  for m in $loops $ram; do
    tries=0
    until umount "$m" 2>"$dir/why"; do
      tries=$((tries + 1))
      [ $tries -lt 50 ] || { echo "cannot unmount $m: $(cat "$dir/why")"; return 1; }
      sleep 0.1
    done
  done
  for m in $loops; do
    mount_loop "${m##*/}" || return 1
    # What was committed is there, or this was no test of a commit.
    read -r mark <"$m/commit" && [ "$mark" = "$cuts" ] ||
      { echo "the journal commit forced in $m did not survive"; return 1; }
  done
  [ -z "$ram" ] || mount_ram
}

describe() {  # describe FILE: its size and first bytes
  if [ -f "$1" ]; then
    printf '%s bytes, starting "%s"\n' "$(wc -c <"$1")" "$(head -c 40 "$1" |
      perl -0777 -pe 's/([^ -~])/sprintf("\\x%02x", ord $1)/ge')"
  else
    echo "missing"
  fi
}

fail() {  # fail WHY: tells the configuration, the cut, the file and the next run
  failures=$((failures + 1))
  echo
  echo "FAIL [$fs, TMPDIR $place, $size file] cut $cut of $ncuts, after $call"
  echo "  $1"
  echo "  the file: $(describe "$target")"
  echo "  the next run: exit status $status, said:"
  grep -v '^$' "$dir/next" | sed -n '/^Processing/,$p' | sed 's/^/    /'
}

said() {  # said LINE: whether the next run wrote that line
  while IFS= read -r line; do [ "$line" = "$1" ] && return 0; done <"$dir/next"
  return 1
}

# One cut: the run held after the Nth call of NAME (or run to its end), the
# power cut, the next run and the checks.
cut_after() {  # cut_after NAME N
  reset
  run_pid=""
  if [ "$1" = end ]; then
    TMPDIR=$tmp "$exe" "$target" >"$dir/run" 2>&1
  else
    # strace holds the run at the exit of that call, once it is complete (a
    # signal injected instead would arrive at its entry, and a call that
    # looks for signals first, as copy_file_range and sendfile do, would not
    # run at all). The trace comes through a pipe, read here line by line.
    TMPDIR=$tmp strace -f -o "$dir/trace" -e inject="$1":delay_exit=3600s:when="$2" \
      "$exe" "$target" >"$dir/run" 2>&1 &
    strace_pid=$!
    held=""
    while IFS= read -r line; do
      case $line in *" (DELAYED)") held=$line; break ;; esac
    done <"$dir/trace"
    if [ -z "$held" ]; then
      wait "$strace_pid"
      strace_pid=""
      status=-
      : >"$dir/next"
      fail "the harness: the run ended without being held there"
      return
    fi
    run_pid=${held%% *}
    call=${held#* }
    call=${call#"${call%%[! ]*}"}  # the call as it ran, for the report
    case $call in "$1("*) ;; *)
      power_cut
      status=-
      : >"$dir/next"
      fail "the harness: held after another call than the ${2}th $1"
      return ;;
    esac
  fi
  power_cut || { echo "the harness could not simulate the power cut"; exit 1; }

  status=0
  TMPDIR=$tmp "$exe" "$target" >"$dir/next" 2>&1 || status=$?
  case $status in
    0)
      said "Done!" || { fail "exit status 0 without \"Done!\""; return; }
      cmp -s "$target" "$dir/new-$size" ||
        fail "\"Done!\" and exit status 0, but the file is not the new text"
      ;;
    1)
      cmp -s "$target" "$dir/new-$size" || cmp -s "$target" "$dir/old-$size" ||
        { fail "the file is neither the old text nor the new one"; return; }
      # Every saved text the run names must be the whole new text.
      grep -v '^Left ' "$dir/next" | grep -o '"[^"]*ostrel-saved-[^"]*"' | tr -d '"' |
        while IFS= read -r saved; do
          cmp -s "$saved" "$dir/new-$size" || echo "$saved"
        done >"$dir/misnamed"
      if [ -s "$dir/misnamed" ]; then
        saved=$(head -n 1 "$dir/misnamed")
        fail "names \"$saved\" as the new text, but it is not: $(describe "$saved")"
      fi
      ;;
    *) fail "exit status $status" ;;
  esac
}

# Every cut of one configuration.
run_configuration() {
  reset
  TMPDIR=$tmp strace -f -o "$dir/full.trace" "$exe" "$target" >"$dir/run" 2>&1
  if ! grep -q '^Done!' "$dir/run" || ! cmp -s "$target" "$dir/new-$size"; then
    echo "FAIL [$fs, TMPDIR $place, $size file]: the run without a cut did not rewrite the file:"
    cat "$dir/run"
    failures=$((failures + 1))
    return
  fi
  list_cuts "$dir/full.trace" >"$dir/cuts"
  ncuts=$(wc -l <"$dir/cuts")
  cut=0
  while read -r name nth call; do
    cut=$((cut + 1))
    cuts=$((cuts + 1))
    [ "$name" = end ] && call="the end of the run"
    cut_after "$name" "$nth" </dev/null
  done <"$dir/cuts"
}

filesystems=ext4
if [ "$full" = 1 ]; then
  if ! command -v mkfs.xfs >/dev/null 2>&1; then
    echo "xfs: not tested, mkfs.xfs is missing (Debian package xfsprogs)"
  elif ! grep -qw xfs /proc/filesystems && ! modprobe xfs 2>/dev/null; then
    echo "xfs: not tested, the kernel has no xfs"
  else
    filesystems="ext4 xfs"
  fi
fi

for fs in $filesystems; do
  # xfs needs 300 MiB at least; the images are sparse.
  bytes=128M
  [ "$fs" = xfs ] && bytes=320M
  image t "$fs" $bytes || exit 1
  places="same tmpfs"
  if [ "$full" = 1 ]; then
    places="same other tmpfs"
    image o "$fs" $bytes || exit 1
  fi
  for place in $places; do
    mount_loop t || exit 1
    case $place in
      same) tmp=$dir/t/tmp ;;
      other) mount_loop o || exit 1; tmp=$dir/o/tmp ;;
      tmpfs) mount_ram || exit 1; tmp=$dir/r/tmp ;;
    esac
    sizes=small
    [ "$full" = 1 ] && sizes="small large"
    for size in $sizes; do run_configuration; done
    unmount_all || exit 1
  done
  drop_image t || exit 1
  [ "$full" = 0 ] || drop_image o || exit 1
done

echo "$cuts cut points, $failures lost"
[ $failures = 0 ]
