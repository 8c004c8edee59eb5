#!/bin/sh
# Builds ostrel with the default preset, makes the Debian package
# build/ostrel_VERSION_amd64.deb from that build, and checks it (lintian
# among others, see tools/check-packages.sh).
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh dpkg-dev file lintian binutils
cmake --preset default >/dev/null
cmake --build --preset default -j 2
rm -f build/ostrel_*.deb
(cd build && cpack -G DEB)
sh tools/check-packages.sh deb
