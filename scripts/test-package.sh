#!/usr/bin/env bash
# Builds QK's Debian package with CPack, installs it with dpkg, checks that
# the installed qk runs and edits a file and that `man qk` shows its manual
# page, then removes the package again. It changes the machine it runs on
# (a package is installed for a moment), so it is not one of the ctest tests:
# CI runs it after them. Needs root. The last line says whether the package
# passed, or why the test was skipped (man or dpkg-dev could not be
# installed). Usage:
#   scripts/test-package.sh [build-dir]     (default: build-package)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${1:-build-package}"
fail() {
  echo "test-package.sh: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root for dpkg -i"
if dpkg-query -W -f='${Status}' qk 2>/dev/null | grep -q 'ok installed'; then
  fail "a qk package is installed already; remove it first (dpkg -r qk)"
fi

# man to read the page, dpkg-dev for the package's dependencies; the build
# itself needs what every test does.
scripts/setup.sh
if ! why="$(scripts/setup.sh --optional man-db dpkg-dev)"; then
  echo "package: skipped, $why"
  exit 0
fi

cmake -S . -B "$build_dir" -DQK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j2 >/dev/null
rm -f "$build_dir"/qk_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
debs=("$build_dir"/qk_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no .deb in $build_dir"
deb="${debs[0]}"
echo "package: $deb"

# The control fields and the files the package holds.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qk ] || fail "package name is '$(field Package)'"
version="$(sed -n 's/^project(qk VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ "$(field Version)" = "$version" ] || fail "version is '$(field Version)', not '$version'"
[ "$(field Maintainer)" = "The QK Project" ] || fail "maintainer is '$(field Maintainer)'"
[ -n "$(field Description)" ] || fail "no description"
case "$(field Depends)" in
  *libc6*libstdc++6* | *libstdc++6*libc6*) ;;
  *) fail "depends is '$(field Depends)', without libc6 and libstdc++6" ;;
esac
contents="$(dpkg-deb -c "$deb")"
for path in ./usr/bin/qk ./usr/share/man/man1/qk.1.gz ./usr/share/doc/qk/user-guide.md; do
  grep -q " $path\$" <<<"$contents" || fail "the package lacks $path"
done

# Install it (keeping the manual page and the guide even where the dpkg
# configuration of a slim image leaves documentation out) and try it.
work="$(mktemp -d)"
cleanup() {
  dpkg -r qk >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
dpkg --path-include='/usr/share/man/man1/qk.1*' --path-include='/usr/share/doc/qk/*' \
  -i "$deb" >/dev/null

[ "$(command -v qk)" = /usr/bin/qk ] || fail "qk is not /usr/bin/qk after dpkg -i"
help="$(qk -H)" || fail "qk -H failed with $?"
grep -q '^Command line: QK <filename>' <<<"$help" || fail "qk -H printed no help"

printf 'notes with foo inside\r\n' >"$work/notes.txt"
(cd "$work" && qk -V:0 notes.txt foo bar) || fail "qk notes.txt foo bar failed with $?"
[ "$(cat "$work/notes.txt")" = $'notes with bar inside\r' ] || fail "the edit went wrong"

page="$(MANPAGER=cat MANWIDTH=80 man qk 2>"$work/man-errors")" || fail "man qk failed"
grep -q 'find and replace text in a file' <<<"$page" || fail "man qk showed no qk page"
MANPAGER=cat man --warnings qk >/dev/null 2>"$work/man-warnings" || fail "man --warnings failed"
[ ! -s "$work/man-warnings" ] || fail "man qk warns: $(cat "$work/man-warnings")"

dpkg -r qk >/dev/null
[ ! -e /usr/bin/qk ] || fail "/usr/bin/qk is still there after dpkg -r qk"
! dpkg-query -W -f='${Status}' qk 2>/dev/null | grep -q 'ok installed' || fail "qk still installed"
echo "package: passed ($(basename "$deb") builds, installs, runs, shows its manual page and is removed)"
