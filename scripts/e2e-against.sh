#!/usr/bin/env bash
# Runs the end-to-end suite, built natively in TESTS_DIR, against another
# build of qk started by RUNNER (Wine, qemu-i386), and ends with the line
# "NAME: N passed, N failed, N skipped". The exit status is the suite's.
#   scripts/e2e-against.sh NAME TESTS_DIR BINARY RUNNER
set -uo pipefail

name="$1"
tests_dir="$2"
binary="$3"
runner="$4"

log="$tests_dir/e2e-$name.log"
status=0
QK_TEST_BINARY="$binary" QK_TEST_RUNNER="$runner" \
  "$tests_dir/qk_e2e_tests" --gtest_color=no </dev/null >"$log" 2>&1 || status=$?
grep -E '^\[  (FAILED|SKIPPED) \]|Failure|Expected|Which is|actual' "$log" | head -200 || true
count() { sed -n "s/^\[  $1 *\] \([0-9]*\) tests\?.*/\1/p" "$log" | head -1; }
echo "$name: $(count PASSED || true) passed, $(count FAILED || true) failed, $(count SKIPPED || true) skipped" |
  sed 's/:  passed/: 0 passed/; s/,  failed/, 0 failed/; s/,  skipped/, 0 skipped/'
exit "$status"
