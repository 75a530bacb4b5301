#!/usr/bin/env bash
# Tests the Windows build: checks the manifest and version resource inside
# qk.exe, then runs the end-to-end suite (built for this machine) against
# qk.exe under Wine. Installs Wine and the cross compilers when missing. The
# last line counts the tests: "wine: N passed, N failed, N skipped", or says
# why the suite was skipped (its tools could not be installed).
#
# The shipped qk.exe is 32-bit, which needs the 32-bit Wine loader, and that
# is only installed where this kernel can start 32-bit programs (a tiny
# static 32-bit program tells). Elsewhere, or when the 32-bit packages
# cannot be had, the same sources are built for 64-bit Windows and run
# under 64-bit Wine, so the Windows platform layer is still exercised end to
# end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
if ! why="$(scripts/setup.sh --optional python3 wine wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64)"; then
  echo "wine: skipped, $why"
  exit 0
fi
scripts/windows-build.sh i686
python3 tests/windows/check_resources.py build-win32/qk.exe i686

# True when this kernel runs a static 32-bit x86 program.
starts_32_bit_programs() {
  [ "$(dpkg --print-architecture)" = amd64 ] || return 1
  scripts/setup.sh --optional gcc-multilib >/dev/null || return 1
  local probe
  probe="$(mktemp -d)"
  printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
  local status=1
  if gcc -m32 -static -o "$probe/probe" "$probe/probe.c" 2>/dev/null && "$probe/probe" 2>/dev/null; then
    status=0
  fi
  rm -rf "$probe"
  return $status
}

binary=build-win32/qk.exe
runner=/usr/lib/wine/wine
if ! starts_32_bit_programs; then
  echo "note: this kernel cannot start 32-bit programs; testing the 64-bit build under wine64"
  binary=build-win64/qk.exe
elif ! why="$(scripts/setup.sh --optional --arch i386 wine32:i386)"; then
  echo "note: $why; testing the 64-bit build under wine64"
  binary=build-win64/qk.exe
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "note: the 32-bit Wine loader does not start; testing the 64-bit build under wine64"
  binary=build-win64/qk.exe
fi
if [ "$binary" = build-win64/qk.exe ]; then
  scripts/windows-build.sh x86_64
  python3 tests/windows/check_resources.py build-win64/qk.exe x86_64
  runner=/usr/lib/wine/wine64
fi

tests_dir=build-wine-tests
cmake -S . -B "$tests_dir" -DQK_WERROR=ON >/dev/null
cmake --build "$tests_dir" --target qk_e2e_tests -j2

export WINEPREFIX="$PWD/$tests_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts
wineserver -k >/dev/null 2>&1 || true  # a server left over from an earlier run
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$runner" wineboot -i >/dev/null 2>&1
  wineserver -w  # the prefix is complete once its server has saved it
fi
# One persistent wine server for the whole suite: without it each of the
# hundreds of runs would start and stop its own.
wineserver -p >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Wine's own services start with the first program; started here they do
# not inherit (and hold open) the output pipe of a test's qk run.
"$runner" cmd /c exit </dev/null >/dev/null 2>&1 || true

scripts/e2e-against.sh wine "$tests_dir" "$PWD/$binary" "$runner"
