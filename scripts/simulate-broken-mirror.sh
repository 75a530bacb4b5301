#!/usr/bin/env bash
# Adds to apt's sources a package repository whose indexes cannot be
# fetched ("File has unexpected size ... Mirror sync in progress?", as a
# Debian mirror gives while it syncs), for amd64 and i386, so that CI's
# handling of a broken mirror can be tried:
#   scripts/simulate-broken-mirror.sh start   # then: bash .ci/run
#   scripts/simulate-broken-mirror.sh stop
# Needs root; serves the repository on 127.0.0.1:8765.
set -euo pipefail

repo=/tmp/qk-broken-mirror
source_list=/etc/apt/sources.list.d/qk-broken-mirror.list
port=8765

case "${1:-}" in
  start)
    for arch in amd64 i386; do
      mkdir -p "$repo/dists/bookworm/main/binary-$arch"
      echo "Package: qk-none" >"$repo/dists/bookworm/main/binary-$arch/Packages"
    done
    # The Release file promises indexes of another size than those served.
    cat >"$repo/dists/bookworm/Release" <<RELEASE
Origin: qk-broken-mirror
Suite: bookworm
Codename: bookworm
Architectures: amd64 i386
Components: main
Date: $(date -u -R)
SHA256:
 $(printf '0%.0s' {1..64}) 376004 main/binary-amd64/Packages
 $(printf '0%.0s' {1..64}) 376004 main/binary-i386/Packages
RELEASE
    (cd "$repo" && nohup python3 -m http.server "$port" --bind 127.0.0.1 >/dev/null 2>&1 &
      echo $! >"$repo/server.pid")
    for _ in $(seq 50); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      sleep 0.1
    done
    echo "deb [trusted=yes] http://127.0.0.1:$port/ bookworm main" >"$source_list"
    rm -f /tmp/qk-setup-apt-updated
    echo "broken mirror added: $source_list"
    ;;
  stop)
    rm -f "$source_list"
    [ -f "$repo/server.pid" ] && kill "$(cat "$repo/server.pid")" 2>/dev/null || true
    rm -rf "$repo"
    echo "broken mirror removed"
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
