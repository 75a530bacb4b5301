#!/usr/bin/env bash
# Tests the 32-bit build: builds a static i386 Linux qk and runs the
# end-to-end suite (built for this machine) against it under qemu-i386,
# QEMU's user-mode emulation, which runs 32-bit code where the kernel will
# not. Installs the multilib compiler and QEMU when missing. The last line
# counts the tests: "i386: N passed, N failed, N skipped", or says why the
# suite was skipped (its tools could not be installed).
#
# Set QK_BIG_TESTS=1 to include the 2 GiB file cases (they need about
# 2 GiB of memory).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
if ! why="$(scripts/setup.sh --optional g++-multilib qemu-user)"; then
  echo "i386: skipped, $why"
  exit 0
fi

# Static, so the emulator needs no 32-bit system libraries.
build_dir=build-i386
cmake -S . -B "$build_dir" -DQK_TESTS=OFF -DQK_WERROR=ON \
  -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS="-m32 -static" >/dev/null
cmake --build "$build_dir" --target qk -j2
file_type="$(od -An -tx1 -j4 -N1 "$build_dir/qk" | tr -d ' ')"
[ "$file_type" = 01 ] || { echo "$build_dir/qk is not a 32-bit program" >&2; exit 1; }
runner="$(command -v qemu-i386)"
help="$("$runner" "$build_dir/qk" -H </dev/null || true)"
echo "$build_dir/qk under $runner: ${help%%$'\n'*}"

tests_dir=build-i386-tests
cmake -S . -B "$tests_dir" -DQK_WERROR=ON >/dev/null
cmake --build "$tests_dir" --target qk_e2e_tests -j2

scripts/e2e-against.sh i386 "$tests_dir" "$PWD/$build_dir/qk" "$runner"
