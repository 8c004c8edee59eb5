#!/bin/sh
# Builds the libFuzzer target with clang (the fuzz preset) and runs it from
# the seed corpus.
#   tools/fuzz.sh [SECONDS]    default 60
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
# Debian's default clang and the compiler runtime of the same version, which
# holds libFuzzer and the sanitizers (libclang-rt-dev names no version: it
# brings the one that goes with the default clang). install-deps.sh says
# what it installs.
sh tools/install-deps.sh clang libclang-rt-dev
# The library's name, older and newer style; clang prints the bare name back
# when it has no such file.
fuzzer=""
for name in "libclang_rt.fuzzer-$(uname -m).a" libclang_rt.fuzzer.a; do
  found=$(clang++ -print-file-name="$name")
  [ -e "$found" ] && fuzzer=$found && break
done
if [ -z "$fuzzer" ]; then
  echo "No libFuzzer beside $(clang++ --version | head -n 1): install the compiler runtime" \
    "package of that clang version (Debian: libclang-rt-N-dev)" >&2
  exit 1
fi
echo "libFuzzer: $fuzzer"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2
corpus=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-fuzz.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
# New inputs go to a scratch corpus; a crashing input is kept in build-fuzz/.
build-fuzz/ostrel_fuzz -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ "$corpus" src/rewrite/rewrite_fuzz_corpus
