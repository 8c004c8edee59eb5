#!/bin/sh
# Cross-builds ostrel.exe for 64-bit Windows with MinGW-w64 and runs every
# test under Wine, builds the 32-bit executable (which this machine cannot
# run, so building it cleanly is its check), and makes both .zip packages
# and checks what they hold (tools/check-packages.sh).
set -eu
cd "$(dirname "$0")/.."
# bsdutils has script(1), which gives the console tests a pseudo-terminal.
sh tools/install-deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 bsdutils \
  googletest
export WINEDEBUG=-all
# A Wine prefix of the build's own, made on first use.
WINEPREFIX=$PWD/build-windows/wine-prefix
export WINEPREFIX
cmake --preset windows >/dev/null
cmake --build --preset windows -j 2
ctest --preset windows
(cd build-windows && cpack -G ZIP)
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j 2
(cd build-windows-x86 && cpack -G ZIP)
sh tools/check-packages.sh zip
