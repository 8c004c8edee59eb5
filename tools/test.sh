#!/bin/sh
# Builds ostrel with its tests and runs every one; exits non-zero on a failure.
#   tools/test.sh              the normal build, in build/
#   tools/test.sh --sanitize   with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
# Both use the presets in CMakePresets.json, where warnings are errors.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
preset=default
[ "${1:-}" = "--sanitize" ] && preset=sanitize
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
