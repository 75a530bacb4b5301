#!/usr/bin/env bash
# Builds QK and runs its main job on the bundled sample: a copy of
# samples/notes.txt is edited in place, and the file is shown before and
# after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DQK_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" --target qk >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp samples/notes.txt "$work/notes.txt"
echo "--- notes.txt before:"
cat "$work/notes.txt"
echo "--- qk notes.txt foo bar"
status=0
(cd "$work" && "$OLDPWD/build/qk" notes.txt foo bar) || status=$?
echo
echo "--- exit code: $status"
echo "--- notes.txt after:"
cat "$work/notes.txt"
