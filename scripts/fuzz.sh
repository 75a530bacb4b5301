#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) in build-fuzz
# and runs each for the given number of seconds (default 60), starting from
# the seed corpus in fuzz/corpus/<target>. New inputs go to a working corpus
# under build-fuzz, never into the committed seeds; a crash leaves its input
# in build-fuzz/artifacts and fails the script. The last line counts each
# target's executions ("fuzz: ..."), or says why the fuzzers were skipped
# (clang could not be installed).
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
build_dir="$PWD/build-fuzz"

scripts/setup.sh
need=()
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ] && ! why="$(scripts/setup.sh --optional "${need[@]}")"; then
  echo "fuzz: skipped, $why"
  exit 0
fi

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DQK_FUZZ=ON -DQK_TESTS=OFF -DQK_WERROR=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" >/dev/null
cmake --build "$build_dir" -j2 --target cmdline_fuzz run_fuzz matcher_fuzz journal_fuzz

status=0
summary=""
for target in cmdline_fuzz run_fuzz matcher_fuzz journal_fuzz; do
  work="$build_dir/corpus/$target"
  artifacts="$build_dir/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  log="$build_dir/$target.log"
  # A journal that maps an edit carries two progress slots of 4 KiB and more.
  max_len=4096
  [ "$target" = journal_fuzz ] && max_len=24576
  echo "== $target: ${seconds}s"
  if ! "$build_dir/$target" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix="$artifacts" -max_len="$max_len" -timeout=10 >"$log" 2>&1; then
    status=1
    echo "!! $target failed; see $log and $artifacts"
    tail -40 "$log"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+="${summary:+, }$target ${execs:-?} executions"
done
echo "fuzz: $summary in ${seconds}s each$([ $status -eq 0 ] || echo ', FAILED')"
exit $status
