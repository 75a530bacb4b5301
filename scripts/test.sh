#!/usr/bin/env bash
# Builds QK and runs every test. Pass a build directory and extra CMake
# options to test another configuration, e.g.
#   scripts/test.sh build-asan -DQK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
# The last line counts the tests: "tests (BUILD_DIR): N passed, N failed,
# N skipped".
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${1:-build}"
shift || true
scripts/setup.sh
cmake -S . -B "$build_dir" -DQK_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
log="$build_dir/ctest.log"
status=0
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" 2>&1 | tee "$log" || status=$?
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -1)
skipped=$(grep -c '(Skipped)$' "$log" || true)
echo "tests ($build_dir): $((${total:-0} - ${failed:-0} - skipped)) passed, ${failed:-0} failed, $skipped skipped"
exit $status
