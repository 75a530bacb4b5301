#!/usr/bin/env bash
# The one place that installs the Debian packages QK's scripts need. Every
# script asks it for its packages instead of calling apt-get itself, so a
# package mirror that is mid-update or missing an index is handled the same
# way everywhere: each step is retried a few times, and then the run goes on
# with what could be had.
#
#   scripts/setup.sh                  what building and testing QK needs (CMake,
#                                     g++, GoogleTest, setpriv, groff); fails
#                                     loudly when any of it cannot be had
#   scripts/setup.sh PKG...           these packages, failing loudly as well
#   scripts/setup.sh --optional PKG...
#                                     packages of a suite that may be skipped:
#                                     installs what it can; when some cannot be
#                                     had, prints one line "PKG... could not be
#                                     installed: REASON" and exits 3
#   --arch ARCH                       (before the packages) adds a foreign
#                                     architecture first, e.g. i386 for wine32:i386
#
# A package counts as present when dpkg lists it as installed. Package
# indexes are fetched once per boot (and again when an install fails).
set -uo pipefail

optional=0
arch=""
while [ $# -gt 0 ]; do
  case "$1" in
    --optional) optional=1 ;;
    --arch) arch="$2"; shift ;;
    -*) echo "setup.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done

attempts=3
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_log="$(mktemp)"
trap 'rm -f "$apt_log"' EXIT
updated_stamp=/tmp/qk-setup-apt-updated

present() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# The packages QK's own build and tests need, found by what they provide.
base_packages() {
  command -v cmake >/dev/null 2>&1 || echo cmake
  command -v g++ >/dev/null 2>&1 || echo g++
  command -v make >/dev/null 2>&1 || echo make
  [ -f /usr/include/gtest/gtest.h ] || echo libgtest-dev libgmock-dev
  command -v setpriv >/dev/null 2>&1 || echo util-linux
  command -v groff >/dev/null 2>&1 || echo groff-base  # the manual page tests render qk.1
}

# apt's complaints, for the log, and the last one, for the reason line.
complaints() {
  grep -E '^(E|W): ' "$apt_log" | grep -v 'Some index files failed' || true
}
last_error() {
  local line
  line="$(complaints | tail -n1)"
  [ -n "$line" ] || line="$(grep -v '^[[:space:]]*$' "$apt_log" | tail -n1)"
  echo "${line:-apt-get failed}"
}

# Fetches the package indexes, TRIES times at most; an index that still
# fails is left out (apt then uses what it has) rather than failing the run.
update_indexes() {
  local tries="$1" try
  for try in $(seq 1 "$tries"); do
    if $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$apt_log" 2>&1; then
      touch "$updated_stamp"
      return 0
    fi
    complaints >&2
    if [ "$try" -lt "$tries" ]; then
      echo "setup.sh: apt-get update failed; trying again" >&2
      sleep $((try * 5))
    fi
  done
  echo "setup.sh: some package indexes could not be fetched; going on with the others" >&2
  touch "$updated_stamp"
  return 1
}

# Installs the packages; false when apt-get could not.
install_now() {
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "$@" >"$apt_log" 2>&1 && return 0
  complaints >&2
  return 1
}

if [ $# -eq 0 ]; then
  # shellcheck disable=SC2046
  set -- $(base_packages)
fi

added_arch=""
if [ -n "$arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo dpkg --add-architecture "$arch"
  added_arch="$arch"
  rm -f "$updated_stamp"
fi

missing=()
for package in "$@"; do
  present "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

[ -f "$updated_stamp" ] || update_indexes $attempts || true
install_now "${missing[@]}" && exit 0
# Indexes fetched earlier may be out of date by now: once more, afresh.
echo "setup.sh: installing ${missing[*]} failed; fetching the indexes again" >&2
update_indexes 1 || true
install_now "${missing[@]}" && exit 0

if [ $optional -eq 0 ]; then
  echo "setup.sh: could not install ${missing[*]}: $(last_error)" >&2
  exit 1
fi
# Go on with what can be had: each package on its own.
reason=""
failed=()
for package in "${missing[@]}"; do
  if ! install_now "$package"; then
    failed+=("$package")
    [ -n "$reason" ] || reason="$(last_error)"
  fi
done
[ ${#failed[@]} -eq 0 ] && exit 0
# An architecture added for nothing would only make every later index
# fetch longer (and fail with it).
if [ -n "$added_arch" ] && [ -z "$(dpkg-query -W -f='${Package}\n' "*:$added_arch" 2>/dev/null)" ]; then
  $sudo dpkg --remove-architecture "$added_arch" || true
fi
echo "${failed[*]} could not be installed: $reason"
exit 3
