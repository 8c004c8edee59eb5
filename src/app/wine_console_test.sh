#!/bin/sh
# Runs the console tests (a MinGW-built test program that starts ostrel.exe
# on its own console) under Wine. Wine gives a console program a console only
# when its standard handles are a terminal, so the tests run on a
# pseudo-terminal made by script(1); without one they are skipped.
# Usage: wine_console_test.sh WINE CONSOLE_TESTS_EXE (GTEST_FILTER picks tests)
set -eu
skip=77
command -v script >/dev/null || { echo "skipped: script(1) is missing (Debian: bsdutils)"; exit $skip; }
if ! reason=$(script -qec true /dev/null </dev/null 2>&1 >/dev/null); then
  echo "skipped: no pseudo-terminal to be had: $reason"
  exit $skip
fi
dir=$(mktemp -d /tmp/ostrel-console-test.XXXXXX)
trap 'rm -rf "$dir"' EXIT
# The terminal shows only what the console draws; the test report goes to a
# file. The names pass through the environment, not through quoting.
OSTREL_WINE=$1 OSTREL_TESTS=$2 OSTREL_LOG=$dir/log
export OSTREL_WINE OSTREL_TESTS OSTREL_LOG
status=0
# shellcheck disable=SC2016 # expanded by the shell that script(1) starts
SHELL=/bin/sh script -qec '"$OSTREL_WINE" "$OSTREL_TESTS" >"$OSTREL_LOG" 2>&1' /dev/null \
  </dev/null >/dev/null || status=$?
cat "$dir/log" 2>/dev/null || true
if [ "$status" = $skip ]; then
  echo "FAIL: on a pseudo-terminal, Wine gave the test program no console of its own"
  exit 1
fi
exit "$status"
