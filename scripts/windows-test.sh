#!/usr/bin/env bash
# Tests the Windows build: checks the manifest and version resource inside
# qk.exe, then runs the end-to-end suite (built for this machine) against
# qk.exe under Wine. Installs Wine and the cross compiler when missing.
#
# The shipped qk.exe is 32-bit, which needs the 32-bit Wine loader; where
# the kernel cannot start 32-bit Linux programs at all, the same sources
# are built for 64-bit Windows and run under 64-bit Wine instead, so the
# Windows platform layer is still exercised end to end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
if ! command -v python3 >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3
fi
scripts/windows-build.sh i686
python3 tests/windows/check_resources.py build-win32/qk.exe i686

if [ "$(dpkg --print-architecture)" = amd64 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  wine_missing=1
fi
for package in wine wine32:i386 wine64; do
  dpkg -s "$package" >/dev/null 2>&1 || wine_missing=1
done
if [ -n "${wine_missing:-}" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    wine wine32:i386 wine64
fi

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binary=build-win32/qk.exe
  runner=/usr/lib/wine/wine
else
  echo "note: this kernel cannot start 32-bit programs; testing the 64-bit build under wine64"
  scripts/windows-build.sh x86_64
  python3 tests/windows/check_resources.py build-win64/qk.exe x86_64
  binary=build-win64/qk.exe
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
