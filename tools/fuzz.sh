#!/bin/sh
# Builds the libFuzzer target with clang (the fuzz preset) and runs it from
# the seed corpus.
#   tools/fuzz.sh [SECONDS]    default 60
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
sh tools/install-deps.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2
corpus=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-fuzz.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
# New inputs go to a scratch corpus; a crashing input is kept in build-fuzz/.
build-fuzz/ostrel_fuzz -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ "$corpus" src/rewrite/rewrite_fuzz_corpus
