#!/bin/sh
# Simulated power cuts on the real kernel. ostrel rewrites a file on a
# loop-mounted file system under strace, which holds it right after one
# system call of its run; then each journal is committed (an fsync of an
# unrelated file: the metadata reaches the disk, data not yet written out
# does not, the worst case), each file system is shut down without flushing
# its log (FS_IOC_SHUTDOWN, FS_SHUTDOWN_FLAGS_NOLOGFLUSH), as a power cut
# leaves it (btrfs, which cannot be shut down here, is copied as it stands on
# the disk instead), ostrel is killed, and the file systems are mounted again
# (the journal replayed). The new text is kept beside the file, on the same
# file system. The next run of ostrel on the
# file must leave it byte for byte the old text or the new one, may say
# "Done!" and exit 0 only over the new one, and a saved text it names when it
# exits 1 must be the whole new text. When the next run exits 1 and the file
# is neither text, it must name a saved text that is the whole new one. The
# run is cut after each call from the open of the file on, and once more after
# it has ended.
#
# Usage: power_cut_test.sh OSTREL [--full]
#   By default: ext4, a 1 KiB file, cut after the calls that create, write, name, remove, flush or
#   close files (output to the terminal aside) or set or remove extended
#   attributes.
#   With --full (or OSTREL_POWER_CUT_FULL=1): after every call, on ext4 and
#   (where mkfs.xfs and mkfs.btrfs are installed and the kernel has them) xfs
#   and btrfs, and a 16 MiB file too. Of a loop of like calls (the strip
#   pass's reads and writes, the look at each signal's disposition) only the
#   first two, the middle one and the last two are cut.
# Needs root, loop devices, strace and perl; says what is missing and exits 77
# (skipped) without them. Each run has loop devices, mount points and names of
# its own. When what it set up stops being its own or whole (another program
# detached or took a loop device, or shut down or mounted its file system, or
# the harness's own files give I/O errors), it sets the file systems up anew
# and cuts there again; after four such tries it exits 77 with the reason. Exit
# status 1 means ostrel did something wrong.
set -u
# What the next run may do, and describe.
. "$(dirname "$0")/next_run_check.sh"
exe=$1
full=${OSTREL_POWER_CUT_FULL:-0}
[ "${2:-}" = "--full" ] && full=1
case $exe in /*) ;; *) exe=$PWD/$exe ;; esac
# LeakSanitizer cannot work under a tracer.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
export ASAN_OPTIONS

# A skip after a failure still fails.
skip() { echo "SKIPPED: $*"; [ "${failures:-0}" = 0 ] || exit 1; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (loop devices, mount, the shutdown ioctl)"
for tool in strace perl mkfs.ext4 mount umount losetup findmnt mountpoint mkfifo; do
  command -v $tool >/dev/null 2>&1 || skip "needs $tool"
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-power-cut.XXXXXX") || exit 1
dir=$(readlink -f "$dir")
loops=""    # the loop file systems mounted, at $dir/t
strace_pid=""
run_pid=""
cleanup() {
  [ -n "$strace_pid" ] && kill -KILL ${run_pid:+"$run_pid"} "$strace_pid" 2>/dev/null
  for m in $loops; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
  for name in t o probe; do [ -f "$dir/$name.dev" ] && drop_image "$name"; done
  rm -rf --one-file-system "$dir"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP PIPE

# commit_and_shut_down MARK MOUNT...: a new small file holding MARK in each,
# and its fsync (the journal commits all metadata up to its creation), then
# FS_IOC_SHUTDOWN = _IOR('X', 125, __u32) with FS_SHUTDOWN_FLAGS_NOLOGFLUSH = 2
# on each. One process: starting one is most of the time a cut takes.
# With SHUT=0 in the environment, the commit alone.
commit_and_shut_down() {
  perl -e 'use IO::Handle;
    my $mark = shift;
    for (@ARGV) {
      unlink "$_/commit";
      open(my $f, ">", "$_/commit") or die "$_/commit: $!\n";
      syswrite($f, "$mark\n") && $f->sync or die "$_/commit: $!\n";
    }
    exit if ($ENV{SHUT} // 1) == 0;
    for (@ARGV) {
      sysopen(my $f, $_, 0) or die "$_: $!\n";
      my $flags = pack("L", 2);
      ioctl($f, 0x8004587d, $flags) or die "FS_IOC_SHUTDOWN on $_: $!\n";
    }' "$@"
}

# image NAME TYPE SIZE makes $dir/NAME.img and attaches a loop device to it,
# for as long as it is used: its number, in the names ostrel gives saved
# texts, must not change when it is mounted again. mount_loop NAME mounts it
# at $dir/NAME, with a
# directory tmp. drop_image NAME detaches and removes it.
image() {
  truncate -s "$3" "$dir/$1.img" &&
    case $2 in
      xfs) mkfs.xfs -q -f "$dir/$1.img" ;;
      btrfs) mkfs.btrfs -q -f "$dir/$1.img" >/dev/null ;;
      *) mkfs.ext4 -q -F "$dir/$1.img" ;;
    esac &&
    losetup -f --show "$dir/$1.img" >"$dir/$1.dev"
}
# ours NAME: whether the loop device attached for NAME (then in $device) is
# still attached to its image: another program may have detached it, and
# attached another file.
ours() {
  read -r device <"$dir/$1.dev" &&
    [ "$(losetup -n -O BACK-FILE "$device" 2>/dev/null)" = "$dir/$1.img" ]
}
drop_image() {  # never detaches a device another program attached since
  ! ours "$1" || losetup -d "$device" || return 1
  rm -f "$dir/$1.img" "$dir/$1.dev"
}
mount_loop() {
  [ -d "$dir/$1" ] || mkdir "$dir/$1" || return 1
  read -r device <"$dir/$1.dev"
  mount "$device" "$dir/$1" || return 1
  case " $loops " in *" $dir/$1 "*) ;; *) loops="$loops $dir/$1" ;; esac
  [ -d "$dir/$1/tmp" ] || { mkdir "$dir/$1/tmp" && echo probe >"$dir/$1/probe" && sync -f "$dir/$1"; }
}
unmount_all() {
  for m in $loops; do umount "$m" || return 1; done
  loops=""
}

# Whether what this run set up is still its own and whole: each loop device
# attached to its image and mounted from it here alone, each file system
# readable (a shut down one gives I/O errors). Says why not
# in $why.
intact() {
  for m in $loops; do
    ours "${m##*/}" || { why="the loop device of $m was detached or taken by another program"; return 1; }
    [ "$(findmnt -n -o TARGET -S "$device")" = "$m" ] ||
      { why="$device is not mounted at $m alone: $(findmnt -n -o TARGET -S "$device" | tr '\n' ' ')"; return 1; }
    cat "$m/probe" >/dev/null 2>"$dir/why" || { why=$(cat "$dir/why"); return 1; }
  done
}

# Whether loop devices, the shutdown ioctl and strace work here.
image probe ext4 16M >"$dir/why" 2>&1 && mount_loop probe 2>"$dir/why" ||
  skip "cannot mount a loop device here: $(cat "$dir/why")"
commit_and_shut_down 0 "$dir/probe" 2>"$dir/why" || skip "$(cat "$dir/why")"
unmount_all 2>"$dir/why" && drop_image probe 2>"$dir/why" ||
  skip "cannot unmount or detach a loop device: $(cat "$dir/why")"
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
    !full && (name !~ /^(write|pwrite64|writev|ftruncate|fallocate|copy_file_range|sendfile|splice|link|linkat|rename|renameat|renameat2|unlink|unlinkat|fsync|fdatasync|sync_file_range|syncfs|close|fsetxattr|fremovexattr|setxattr|removexattr)$/ ||
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
  for f in "$dir"/t/ostrel-saved-* "$dir"/t/tmp/*; do
    if [ -e "$f" ]; then
      rm -f "$dir"/t/ostrel-saved-* "$dir"/t/tmp/*
      break
    fi
  done
  cp "$dir/old-$size" "$target"
  # shellcheck disable=SC2086
  sync -f $loops
}

# The run, held or not, ends: strace, holding it, would hold its exit too, so
# it goes as well, and the run, detached with the kill pending, ends.
end_run() {
  [ -n "$strace_pid" ] || return 0
  kill -KILL ${run_pid:+"$run_pid"} "$strace_pid" 2>/dev/null
  wait "$strace_pid" 2>/dev/null
  strace_pid=""
  [ -n "$run_pid" ] || return 0
  # Until it has closed its files (as a zombie has: init reaps it later).
  tries=0
  while read -r stat 2>/dev/null <"/proc/$run_pid/stat"; do
    stat=${stat##*) }
    [ "${stat%% *}" = Z ] && break
    tries=$((tries + 1))
    [ $tries -lt 500 ] || { why="ostrel ($run_pid) does not end"; return 1; }
    sleep 0.01
  done
}

# btrfs cannot be shut down here. Instead, once committed, each disk is
# copied as it stands, with what the file system wrote to it and nothing of
# what it still holds in memory, at a moment when no write reaches it (the
# image's time is the same before and after the copy); the copy is mounted
# in its place, on another loop device, after the cut.
copy_disks() {
  # shellcheck disable=SC2086
  SHUT=0 commit_and_shut_down "$cuts" $loops 2>"$dir/why" || { why=$(cat "$dir/why"); return 1; }
  for m in $loops; do
    img=$dir/${m##*/}.img
    tries=0
    until was=$(stat -c %y "$img") && cp --sparse=always "$img" "$img.cut" &&
      [ "$(stat -c %y "$img")" = "$was" ]; do
      tries=$((tries + 1))
      [ $tries -lt 20 ] || { why="$img kept changing while it was copied"; return 1; }
    done
  done
}
put_copies_in_place() {
  for m in $loops; do
    name=${m##*/}
    ours "$name" && losetup -d "$device" && mv "$dir/$name.img.cut" "$dir/$name.img" &&
      losetup -f --show "$dir/$name.img" >"$dir/$name.dev" 2>"$dir/why" ||
      { why="cannot attach the copy of $name: $(cat "$dir/why")"; return 1; }
  done
}

# The power cut: commit and shut down (or copy) each file system, end the
# run, mount them again. On a failure, says why in $why.
power_cut() {
  if [ "$fs" = btrfs ]; then
    copy_disks || { end_run; return 1; }
  else
    # shellcheck disable=SC2086
    commit_and_shut_down "$cuts" $loops 2>"$dir/why" || { why=$(cat "$dir/why"); end_run; return 1; }
  fi
  end_run || return 1
  for m in $loops; do
    tries=0
    until umount "$m" 2>"$dir/why"; do
      tries=$((tries + 1))
      [ $tries -lt 50 ] || { why="cannot unmount $m: $(cat "$dir/why")"; return 1; }
      sleep 0.1
    done
  done
  [ "$fs" != btrfs ] || put_copies_in_place || return 1
  for m in $loops; do
    mount_loop "${m##*/}" 2>"$dir/why" || { why="cannot mount $m: $(cat "$dir/why")"; return 1; }
    # What was committed is there, or this was no test of a commit.
    read -r mark 2>"$dir/why" <"$m/commit" && [ "$mark" = "$cuts" ] ||
      { why="the journal commit forced in $m did not survive: $(cat "$dir/why")"; return 1; }
  done
}

# fail WHY: tells the configuration, the cut, the file and the next run; but
# when what the run set up is no longer its own or whole, the fault may be
# another program's: that goes in $trouble instead, and the cut is made again.
fail() {
  intact || { trouble=$why; return; }
  failures=$((failures + 1))
  echo
  echo "FAIL [$fs, $size file] cut $cut of $ncuts, after $call"
  echo "  $1"
  echo "  the file: $(describe "$target")"
  echo "  the next run: exit status $status, said:"
  grep -v '^$' "$dir/next" | sed -n '/^Processing/,$p' | sed 's/^/    /'
}

# One cut: the run held after the Nth call of NAME (or run to its end), the
# power cut, the next run and the checks. What keeps the harness from
# making the cut goes in $trouble.
cut_after() {  # cut_after NAME N
  reset 2>"$dir/why" || { trouble="cannot put the old text back: $(cat "$dir/why")"; return; }
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
      trouble="the run ended without being held after the ${2}th $1"
      return
    fi
    run_pid=${held%% *}
    call=${held#* }
    call=${call#"${call%%[! ]*}"}  # the call as it ran, for the report
    case $call in "$1("*) ;; *)
      end_run
      trouble="the run was held after another call than the ${2}th $1: $call"
      return ;;
    esac
  fi
  power_cut || { trouble="cannot simulate the power cut: $why"; return; }

  status=0
  TMPDIR=$tmp "$exe" "$target" >"$dir/next" 2>&1 || status=$?
  fault=$(next_run_fault "$target" "$dir/old-$size" "$dir/new-$size" "$dir/next" "$status")
  [ -z "$fault" ] || fail "$fault"
}

# set_up: the file systems of the configuration $fs and $place, made anew and
# mounted, tried a few times; skips the test when it cannot. (Its variables
# are not those of the loops it is called from.)
set_up() {
  for set_up_try in 1 2 3 4; do
    end_run
    for m in $loops; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
    loops=""
      for img in t o; do [ ! -f "$dir/$img.dev" ] || drop_image $img 2>/dev/null; done
    tmp=$dir/t/tmp
    image t "$fs" "$bytes" >"$dir/why" 2>&1 && mount_loop t 2>"$dir/why" &&
      why="" && intact && return
    [ -n "$why" ] || why=$(cat "$dir/why")
    echo "[$fs] cannot set up the file systems (try $set_up_try): $why"
    sleep "$set_up_try"
  done
  skip "[$fs] cannot set up the file systems: $why"
}

# Every cut of one configuration; a cut the harness could not make is made
# again on file systems set up anew, up to four times, and then the test is
# skipped.
run_configuration() {
  for attempt in 1 2 3 4 5; do
    [ $attempt -lt 5 ] || skip "[$fs, $size file] the run without a cut: $why"
    reset 2>/dev/null
    TMPDIR=$tmp strace -f -o "$dir/full.trace" "$exe" "$target" >"$dir/run" 2>&1
    grep -q '^Done!' "$dir/run" && cmp -s "$target" "$dir/new-$size" && break
    if intact; then
      echo "FAIL [$fs, $size file]: the run without a cut did not rewrite the file:"
      cat "$dir/run"
      failures=$((failures + 1))
      return
    fi
    echo "[$fs, $size file] the run without a cut (try $attempt): $why"
    set_up
  done
  trouble=""
  list_cuts "$dir/full.trace" >"$dir/cuts"
  ncuts=$(wc -l <"$dir/cuts")
  cut=0
  while [ -z "$trouble" ] && read -r name nth call; do
    cut=$((cut + 1))
    cuts=$((cuts + 1))
    [ "$name" = end ] && call="the end of the run"
    for attempt in 1 2 3 4; do
      cut_after "$name" "$nth" </dev/null
      [ -n "$trouble" ] || break
      echo "[$fs, $size file] cut $cut of $ncuts (try $attempt): $trouble"
      [ $attempt = 4 ] || { trouble=""; set_up </dev/null; }
    done
  done <"$dir/cuts"
  [ -z "$trouble" ] || skip "[$fs, $size file] the harness could not make a cut: $trouble"
}

filesystems=ext4
if [ "$full" = 1 ]; then
  for fs in xfs btrfs; do
    if ! command -v "mkfs.$fs" >/dev/null 2>&1; then
      package=xfsprogs
      [ "$fs" = btrfs ] && package=btrfs-progs
      echo "$fs: not tested, mkfs.$fs is missing (Debian package $package)"
    elif ! grep -qw "$fs" /proc/filesystems && ! modprobe "$fs" 2>/dev/null; then
      echo "$fs: not tested, the kernel has no $fs"
    elif ! { image probe "$fs" 320M && mount_loop probe &&
      { [ "$fs" = btrfs ] || commit_and_shut_down 0 "$dir/probe"; }; } >"$dir/why" 2>&1; then
      echo "$fs: not tested, cannot mount and shut one down here: $(cat "$dir/why")"
    else
      filesystems="$filesystems $fs"
    fi
    for m in $loops; do umount "$m" 2>/dev/null || umount -l "$m"; done
    loops=""
    [ ! -f "$dir/probe.dev" ] || drop_image probe
  done
fi

for fs in $filesystems; do
  # xfs needs 300 MiB at least, btrfs 114 MiB; the images are sparse.
  bytes=128M
  [ "$fs" = ext4 ] || bytes=320M
  set_up
  sizes=small
  [ "$full" = 1 ] && sizes="small large"
  for size in $sizes; do run_configuration; done
done

echo "$cuts cut points, $failures lost"
[ $failures = 0 ]
