#!/usr/bin/env bash
# The reliability checks in one place: the libFuzzer targets, then the
# fault-injection, interrupt, differential and bad-input tests, and (full
# mode only) the tests on files at and over the 2147483583-byte limit,
# which need sparse 2 GiB files and about 2 GiB of memory.
#   scripts/reliability.sh          fuzzers 15 minutes each, all tests
#   scripts/reliability.sh --fast   fuzzers 60 s each, as CI runs it
# QK_FUZZ_SECONDS overrides the fuzzing time per target.
set -euo pipefail
cd "$(dirname "$0")/.."

fast=0
[ "${1:-}" = "--fast" ] && fast=1
default_seconds=900
[ $fast -eq 1 ] && default_seconds=60
seconds="${QK_FUZZ_SECONDS:-$default_seconds}"

nice -n 19 scripts/fuzz.sh "$seconds"

# The tests below are part of the normal suite too; CI runs them there.
[ $fast -eq 1 ] && exit 0

scripts/setup.sh
build_dir=build-reliability
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j2 --target qk qk_e2e_tests qk_fault_shim
QK_BIG_TESTS=1 "$build_dir/qk_e2e_tests" \
  --gtest_filter='FaultInjection*:Interrupts*:Differential*:BadInput*:BigFiles*:Memory*'
