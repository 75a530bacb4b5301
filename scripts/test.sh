#!/usr/bin/env bash
# Builds QK and runs every test. Pass a build directory and extra CMake
# options to test another configuration, e.g.
#   scripts/test.sh build-asan -DQK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${1:-build}"
shift || true
scripts/setup.sh
cmake -S . -B "$build_dir" -DQK_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
