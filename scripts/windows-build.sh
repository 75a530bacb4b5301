#!/usr/bin/env bash
# Builds qk.exe, the Windows console build of QK, with the mingw-w64 cross
# compiler: statically linked, with its manifest and version resource.
# Installs the cross compiler and CMake (Debian packages) when missing.
#   scripts/windows-build.sh          32-bit qk.exe in build-win32/
#   scripts/windows-build.sh x86_64   64-bit qk.exe in build-win64/
set -euo pipefail
cd "$(dirname "$0")/.."

arch="${1:-i686}"
case "$arch" in
  i686) build_dir=build-win32 ;;
  x86_64) build_dir=build-win64 ;;
  *) echo "usage: $0 [i686|x86_64]" >&2; exit 2 ;;
esac

scripts/setup.sh cmake make "g++-mingw-w64-${arch//_/-}"

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
  -DQK_TESTS=OFF -DQK_WERROR=ON --no-warn-unused-cli >/dev/null
cmake --build "$build_dir" --target qk -j2
echo "built $build_dir/qk.exe"
