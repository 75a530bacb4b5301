#!/usr/bin/env bash
# Installs what building and testing QK needs, when it is missing: a C++
# compiler, CMake, GoogleTest and groff (Debian packages).
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
command -v setpriv >/dev/null 2>&1 || need+=(util-linux)
command -v groff >/dev/null 2>&1 || need+=(groff-base)  # the manual page tests render qk.1

if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
