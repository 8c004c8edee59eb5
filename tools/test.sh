#!/bin/sh
# Builds ostrel with its tests and runs every one; exits non-zero on a failure.
#   tools/test.sh              the normal build, in build/
#   tools/test.sh --sanitize   with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  set -- -DOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
else
  dir=build
  set --
fi
cmake -S . -B "$dir" -G Ninja -DOSTREL_BUILD_TESTS=ON "$@" >/dev/null
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure --timeout 300
