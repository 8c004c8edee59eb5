#!/bin/sh
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Needs root when something is missing.
set -eu

missing=""
need() {  # need PACKAGE: queue it unless dpkg already has it
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $1"
}
need cmake
need g++
need ninja-build
need libgtest-dev
# The power-cut test: strace holds a run, mkfs.ext4 makes its file systems.
need strace
need e2fsprogs
# The recorded power-cut test: its FUSE disk is built against libfuse3.
need libfuse3-dev
need pkg-config
for package in "$@"; do need "$package"; done

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing
fi
