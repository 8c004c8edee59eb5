#!/bin/sh
# Builds ostrel with its tests and runs every one; exits non-zero on a failure.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake -S . -B build -G Ninja -DOSTREL_BUILD_TESTS=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure --timeout 120
