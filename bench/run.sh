#!/usr/bin/env bash
# Benchmarks qk against sed, perl and sd on generated text and writes the
# results to docs/performance.md. Run `bench/run.sh -h` for the options.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-bench"
DATA="$ROOT/bench/data"
OUT="$ROOT/docs/performance.md"
QK="$BUILD/qk"

RUNS=5
FULL=0
ONLY=""
ALL_WORKLOADS="W1 W2 W3 W4 W5 W6 W7 W8 W9 W10 W11 W12"
PEERS="sed perl sd"

usage() {
  cat <<'EOF'
Usage: bench/run.sh [-n N] [--full] [--only W1,W3,...] [-o FILE] [-h]

Builds qk (Release, in build-bench/), installs the peers (sed, perl, sd)
when they are missing, generates the test files under bench/data/ and times
each workload on a fresh copy of its file. Writes docs/performance.md.

  -n N         runs per tool and workload; the median is reported (default 5)
  --full       also run W8 on a 1 GiB file (about 6 GiB more disk, and
               several extra minutes)
  --only LIST  run only these workloads, e.g. --only W1,W3 (default: all)
  -o FILE      write the Markdown report to FILE instead of docs/performance.md
  -h, --help   this help

Workloads (256 MiB CR LF text of short word lines unless noted):
  W1  rare same-length replacement      zebrafish -> starfruit (~900 matches)
  W2  W1 with the search in upper case  ZEBRAFISH, case-insensitive
  W3  dense same-length replacement     cat -> dog (~1.2 million matches)
  W4  dense shrinking replacement       cat -> c
  W5  search text that never matches    platypus
  W6  W1 with a one-byte wildcard       qk zebr@fish, peers zebr.fish
  W7  delete the lines with the rare word
  W8  W1 at 64 MiB and 256 MiB (and 1 GiB with --full)
  W9  200 'a' then 'b' in a 16 MiB file of 'a' bytes (no match)
  W10 W1 on a 1 GiB file, qk only (its time against W1 at 256 MiB)
  W11 W1, W3, W4, W7 and W12 on a 1 GiB file, qk only, each inside a 64 MiB
      memory cgroup (needs root and the cgroup v1 memory controller;
      skipped otherwise)
  W12 dense growing replacement         cat -> catt
The limit `cat FILE > /dev/null` is timed on every file used. Peak memory
(/usr/bin/time -f %M) and the restore journal's peak size are measured for
qk on every workload and on W1 with -$, peak memory for the peers on W1.
EOF
}

die() { echo "run.sh: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    -n) [ $# -ge 2 ] || die "-n needs a number"; RUNS=$2; shift 2 ;;
    -n*) RUNS=${1#-n}; shift ;;
    --full) FULL=1; shift ;;
    --only) [ $# -ge 2 ] || die "--only needs a list"; ONLY=$2; shift 2 ;;
    --only=*) ONLY=${1#--only=}; shift ;;
    -o) [ $# -ge 2 ] || die "-o needs a file name"; OUT=$2; shift 2 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done
[[ "$RUNS" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive number, not '$RUNS'"

WORKLOADS=""
if [ -n "$ONLY" ]; then
  for w in ${ONLY//,/ }; do
    w=${w^^}
    [[ " $ALL_WORKLOADS " == *" $w "* ]] || die "unknown workload '$w' (W1..W12)"
    WORKLOADS+="$w "
  done
else
  WORKLOADS=$ALL_WORKLOADS
fi
wanted() { [[ " $WORKLOADS " == *" $1 "* ]]; }

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
WARNINGS=()
warn() { log "WARNING: $*"; WARNINGS+=("$*"); }
BUSY=()   # cases timed while other work kept the machine busy

# ---------------------------------------------------------------- tools
install_missing() {
  local need=()
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  command -v make >/dev/null 2>&1 || need+=(make)
  command -v sed >/dev/null 2>&1 || need+=(sed)
  command -v perl >/dev/null 2>&1 || need+=(perl)
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  command -v sd >/dev/null 2>&1 || need+=(sd)
  [ -x /usr/bin/time ] || need+=(time)
  [ ${#need[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  log "installing: ${need[*]}"
  $sudo apt-get update -qq || warn "apt-get update failed"
  if ! $sudo apt-get install -y -qq "${need[@]}" >/dev/null; then
    # Install one by one so that one missing package does not stop the rest.
    local p
    for p in "${need[@]}"; do
      $sudo apt-get install -y -qq "$p" >/dev/null || warn "could not install $p"
    done
  fi
}
install_missing
for t in cmake g++ sed perl python3; do
  command -v "$t" >/dev/null 2>&1 || die "$t is needed and could not be installed"
done
HAVE_SD=0; command -v sd >/dev/null 2>&1 && HAVE_SD=1
HAVE_TIME=0; [ -x /usr/bin/time ] && HAVE_TIME=1
[ "$HAVE_SD" -eq 1 ] || { warn "sd is not available; its column stays empty"; PEERS="sed perl"; }

log "building qk (Release) in build-bench/"
mkdir -p "$BUILD"
BUILD_LOG="$BUILD/bench-build.log"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQK_TESTS=OFF >"$BUILD_LOG" 2>&1 \
  || { cat "$BUILD_LOG" >&2; die "cmake configure failed"; }
cmake --build "$BUILD" -j2 --target qk >>"$BUILD_LOG" 2>&1 \
  || { tail -40 "$BUILD_LOG" >&2; die "build failed (log: $BUILD_LOG)"; }
[ -x "$QK" ] || die "no qk binary at $QK"

# ---------------------------------------------------------------- data
mkdir -p "$DATA"
MAIN="$DATA/words-256M.txt"
SMALL="$DATA/words-64M.txt"
BIG="$DATA/words-1G.txt"
AFILE="$DATA/a-16M.txt"
MiB=$((1024 * 1024))

# Largest file this run touches: each tool keeps one working copy of it.
largest=$((256 * MiB))
{ { [ "$FULL" -eq 1 ] && wanted W8; } || wanted W10 || wanted W11; } && largest=$((1024 * MiB))
avail_kib=$(df -Pk "$DATA" | awk 'NR == 2 { print $4 }')
need_kib=$(( (largest * 6 + 1400 * MiB) / 1024 ))
[ "$avail_kib" -ge "$need_kib" ] \
  || die "not enough disk under $DATA: $((avail_kib / 1024)) MiB free, about $((need_kib / 1024)) MiB needed"

# Writes SIZE bytes of CR LF terminated lines of 3 to 8 words. The words come
# from a fixed vocabulary through splitmix64 with a fixed seed, so the file is
# the same on every machine. "cat" takes 3 of 128 slots (about 1.2 million
# times in 256 MiB); every 10,000th line also holds "zebrafish". No other word
# contains "cat", "dog", "zebrafish", "starfruit" or "platypus". The last
# line is a run of dots that pads the file to exactly SIZE bytes.
GENERATOR=$(cat <<'EOF'
import sys
M = (1 << 64) - 1
WORDS = ("the and of to in is was for on with river stone green house light "
         "water north table quick brown silver garden window morning letter").split()
SLOTS = [w for w in WORDS for _ in range(5)] + ["cat"] * 3
assert len(SLOTS) == 128
path, target = sys.argv[1], int(sys.argv[2])
state, n, size, buf = 0x5EED, 0, 0, []
with open(path, "wb") as out:
    while True:
        state = (state + 0x9E3779B97F4A7C15) & M
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M
        z ^= z >> 31
        k = 3 + (z >> 58) % 6
        words = [SLOTS[(z >> (7 * i)) & 127] for i in range(k)]
        n += 1
        if n % 10000 == 0:
            words.insert((z >> 56) % (k + 1), "zebrafish")
        line = " ".join(words) + "\r\n"
        if size + len(line) + 64 > target:
            break
        buf.append(line)
        size += len(line)
        if len(buf) == 65536:
            out.write("".join(buf).encode("ascii"))
            buf = []
    out.write("".join(buf).encode("ascii"))
    out.write(("." * (target - size - 2) + "\r\n").encode("ascii"))
EOF
)
GEN_ID=$(printf '%s' "$GENERATOR" | md5sum | cut -c1-12)

# make_words FILE SIZE: (re)generates FILE unless it is already there from
# the same generator.
make_words() {
  local file=$1 size=$2 stamp="$1.gen-$GEN_ID"
  if [ -f "$stamp" ] && [ -f "$file" ] && [ "$(stat -c %s "$file")" -eq "$size" ]; then
    return 0
  fi
  log "generating $(basename "$file") ($((size / MiB)) MiB)"
  rm -f "$file" "$file".gen-*
  python3 -c "$GENERATOR" "$file" "$size"
  touch "$stamp"
}
make_afile() {
  local size=$((16 * MiB))
  [ -f "$AFILE" ] && [ "$(stat -c %s "$AFILE")" -eq "$size" ] && return 0
  log "generating $(basename "$AFILE") (16 MiB of 'a')"
  head -c "$size" /dev/zero | tr '\0' a >"$AFILE"
}

if wanted W1 || wanted W2 || wanted W3 || wanted W4 || wanted W5 || wanted W6 || wanted W7 || wanted W8 || wanted W12; then
  make_words "$MAIN" $((256 * MiB))
fi
if wanted W8; then
  make_words "$SMALL" $((64 * MiB))
  [ "$FULL" -eq 1 ] && make_words "$BIG" $((1024 * MiB))
fi
if wanted W10 || wanted W11; then
  make_words "$BIG" $((1024 * MiB))
fi
wanted W9 && make_afile

# ---------------------------------------------------------------- commands
# One command per tool and workload; F is the file being edited. The same
# strings are run (through eval) and printed in the report.
NEEDLE9="$(printf 'a%.0s' $(seq 200))b"
declare -A CMD
CMD[qk:W1]='$QK "$F" zebrafish starfruit -V:0'
CMD[sed:W1]='sed -i "s/zebrafish/starfruit/g" "$F"'
CMD[perl:W1]='perl -pi -e "s/zebrafish/starfruit/g" "$F"'
CMD[sd:W1]='sd -s zebrafish starfruit "$F"'

CMD[qk:W2]='$QK "$F" ZEBRAFISH starfruit -V:0'
CMD[sed:W2]='sed -i "s/ZEBRAFISH/starfruit/gI" "$F"'
CMD[perl:W2]='perl -pi -e "s/ZEBRAFISH/starfruit/gi" "$F"'
CMD[sd:W2]='sd -f i ZEBRAFISH starfruit "$F"'

CMD[qk:W3]='$QK "$F" cat dog -V:0'
CMD[sed:W3]='sed -i "s/cat/dog/g" "$F"'
CMD[perl:W3]='perl -pi -e "s/cat/dog/g" "$F"'
CMD[sd:W3]='sd -s cat dog "$F"'

CMD[qk:W4]='$QK "$F" cat c -V:0'
CMD[sed:W4]='sed -i "s/cat/c/g" "$F"'
CMD[perl:W4]='perl -pi -e "s/cat/c/g" "$F"'
CMD[sd:W4]='sd -s cat c "$F"'

CMD[qk:W5]='$QK "$F" platypus wombat -V:0'
CMD[sed:W5]='sed -i "s/platypus/wombat/g" "$F"'
CMD[perl:W5]='perl -pi -e "s/platypus/wombat/g" "$F"'
CMD[sd:W5]='sd -s platypus wombat "$F"'

CMD[qk:W6]='$QK "$F" zebr@fish starfruit -V:0'
CMD[sed:W6]='sed -i "s/zebr.fish/starfruit/g" "$F"'
CMD[perl:W6]='perl -pi -e "s/zebr.fish/starfruit/g" "$F"'
CMD[sd:W6]='sd zebr.fish starfruit "$F"'

CMD[qk:W7]='$QK "$F" zebrafish "" -D -V:0'
CMD[sed:W7]='sed -i "/zebrafish/d" "$F"'
CMD[perl:W7]='perl -ni -e "print unless /zebrafish/" "$F"'
CMD[sd:W7]='sd "(?m)^[^\n]*zebrafish[^\n]*\n" "" "$F"'

CMD[qk:W12]='$QK "$F" cat catt -V:0'
CMD[sed:W12]='sed -i "s/cat/catt/g" "$F"'
CMD[perl:W12]='perl -pi -e "s/cat/catt/g" "$F"'
CMD[sd:W12]='sd -s cat catt "$F"'

CMD[qk:W9]='$QK "$F" "$NEEDLE9" x -V:0'
CMD[sed:W9]='sed -i "s/$NEEDLE9/x/g" "$F"'
CMD[perl:W9]='perl -pi -e "s/$NEEDLE9/x/g" "$F"'
CMD[sd:W9]='sd -s "$NEEDLE9" x "$F"'

# W8 and W10 are W1 on files of other sizes; W11 runs W1, W3, W4, W7 and
# W12 in a memory cgroup.
for t in qk $PEERS; do CMD[$t:W8]=${CMD[$t:W1]}; done
CMD[qk:W10]=${CMD[qk:W1]}
CMD[qk:W11]=${CMD[qk:W1]}
# W1 writing to an output file, for the memory table only.
CMD[qk:W1out]='$QK "$F" zebrafish starfruit -V:0 -$ out.qk'

show_cmd() {   # the command as a reader would type it
  local s=${CMD[$1]}
  s=${s//'$QK'/qk}
  s=${s//'"$F"'/f}
  s=${s//'$NEEDLE9'/a×200 b}
  printf '%s' "$s"
}

# ---------------------------------------------------------------- timing
RAW="$DATA/raw-times.csv"
echo "case,tool,run,seconds" >"$RAW"
declare -A MEDIAN=() LOW=() HIGH=() FAILED=() RSS=() JOURNAL=()
cleanup() { rm -f "$DATA"/work.* "$DATA"/result.* "$DATA"/out.log "$DATA"/rss.txt "$DATA"/journal.txt; }
trap cleanup EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f\n", b - a }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
# bytes N: a size for the report, in bytes, KiB or MiB
bytes() { awk -v b="$1" 'BEGIN { if (b < 1024) printf "%d B", b; else if (b < 1048576) printf "%.1f KiB", b / 1024; else printf "%.1f MiB", b / 1048576 }'; }

# fresh_copy SRC DEST: a new copy, written back to disk before the timed
# run so that no earlier run's write-back competes with it. The source
# stays in the page cache.
fresh_copy() { rm -f "$2"; cp "$1" "$2"; sync; }

# wait_for_quiet: other work on this machine (a build, say) skews the
# times, so wait up to two minutes for the load average to drop.
wait_for_quiet() {
  local waited=0 load
  while :; do
    load=$(cut -d' ' -f1 /proc/loadavg)
    awk -v l="$load" -v n="$(nproc)" 'BEGIN { exit !(l < n) }' && return 0
    if [ "$waited" -ge 120 ]; then
      log "the machine stays busy (load average $load); timing $1 all the same"
      BUSY+=("$1 ($load)")
      return 0
    fi
    [ "$waited" -gt 0 ] || log "load average $load: waiting for the machine to quieten"
    sleep 10; waited=$((waited + 10))
  done
}

# bench_case CASE WORKLOAD FILE: times every tool RUNS times, interleaved
# (run 1 of every tool, then run 2, ...), each on a fresh copy of FILE, and
# keeps every tool's last result for the comparison with sed. `cat FILE`
# is timed in the same rounds.
bench_case() {
  local case=$1 wl=$2 src=$3 r t t0 t1 rc F
  local tools=${4:-qk $PEERS}
  declare -A times=()
  wait_for_quiet "$case"
  cat "$src" >/dev/null   # the source is read from the page cache from here on
  for ((r = 1; r <= RUNS; r++)); do
    t0=$EPOCHREALTIME; cat "$src" >/dev/null; t1=$EPOCHREALTIME
    times[cat]+="$(elapsed "$t0" "$t1") "
    echo "$case,cat,$r,$(elapsed "$t0" "$t1")" >>"$RAW"
    for t in $tools; do
      F="work.$t"
      fresh_copy "$src" "$F"
      t0=$EPOCHREALTIME
      if eval "${CMD[$t:$wl]}" </dev/null >"$DATA/out.log" 2>&1; then rc=0; else rc=$?; fi
      t1=$EPOCHREALTIME
      if [ "$rc" -ne 0 ]; then
        [ -n "${FAILED[$case:$t]:-}" ] || warn "$case: $t exited with $rc: $(head -c 300 "$DATA/out.log")"
        FAILED[$case:$t]=$rc
      fi
      times[$t]+="$(elapsed "$t0" "$t1") "
      echo "$case,$t,$r,$(elapsed "$t0" "$t1")" >>"$RAW"
    done
  done
  MEDIAN[$case:cat]=$(printf '%s\n' ${times[cat]} | median)
  for t in $tools; do
    MEDIAN[$case:$t]=$(printf '%s\n' ${times[$t]} | median)
    LOW[$case:$t]=$(printf '%s\n' ${times[$t]} | sort -g | head -1)
    HIGH[$case:$t]=$(printf '%s\n' ${times[$t]} | sort -g | tail -1)
    mv "$DATA/work.$t" "$DATA/result.$t"
  done
  # Correctness: every result must equal sed's, byte for byte.
  for t in $tools; do
    [ "$t" = sed ] && continue
    [ -f "$DATA/result.sed" ] || continue
    if ! cmp -s "$DATA/result.$t" "$DATA/result.sed"; then
      if [ "$t" = qk ]; then
        warn "$case: qk's result differs from sed's ($(cmp "$DATA/result.qk" "$DATA/result.sed" 2>&1 | head -1))"
      else
        warn "$case: $t's result differs from sed's"
      fi
      FAILED[$case:$t]=${FAILED[$case:$t]:-differs}
    fi
  done
  rm -f "$DATA"/result.*
  local line="$case:"
  for t in $tools; do line+=" $t ${MEDIAN[$case:$t]}s"; done
  log "$line (cat ${MEDIAN[$case:cat]}s)"
}

# peak_rss CASE WORKLOAD FILE TOOLS...: peak resident set size of each tool,
# in KiB, in RSS[tool:case]; for qk also the restore journal's peak size in
# bytes, in JOURNAL[case] (qk adds it to the file QK_TEST_JOURNAL_SIZE
# names; the journal only grows, so its size at the end is its peak).
peak_rss() {
  local case=$1 wl=$2 src=$3 t F
  shift 3
  for t in "$@"; do
    F="work.$t"
    fresh_copy "$src" "$F"
    rm -f "$DATA/journal.txt"
    [ "$t" = qk ] && export QK_TEST_JOURNAL_SIZE="$DATA/journal.txt"
    if eval "/usr/bin/time -f %M -o \"\$DATA/rss.txt\" ${CMD[$t:$wl]}" </dev/null >/dev/null 2>&1; then
      RSS[$t:$case]=$(tail -1 "$DATA/rss.txt")
      [ "$t" = qk ] && JOURNAL[$case]=$(tail -1 "$DATA/journal.txt" 2>/dev/null || echo 0)
    else
      warn "peak RSS of $t on $case could not be measured"
    fi
    unset QK_TEST_JOURNAL_SIZE
    rm -f "$F" out.qk
  done
}

# in_memory_cgroup LIMIT_MIB FILE WORKLOAD: runs the workload with qk on a
# fresh copy of FILE inside a memory cgroup of LIMIT_MIB (cgroup v1); adds
# a row to CGROUP_ROWS. The run must succeed, leave no journal, and leave
# the file as long as its own report says (-V:3 "Bytes written"); W1 must
# also have edited every line with the rare word.
CGROUP_ROWS=()
in_memory_cgroup() {
  local limit=$1 src=$2 wl=$3 dir=/sys/fs/cgroup/memory/qk-bench.$$ rc F=work.qk
  if [ ! -w /sys/fs/cgroup/memory ] || ! mkdir "$dir" 2>/dev/null; then
    CGROUP_ROWS+=("| $wl | not run: no writable cgroup v1 memory controller | | | |")
    warn "W11 $wl not run: no writable cgroup v1 memory controller"
    return
  fi
  echo $((limit * MiB)) >"$dir/memory.limit_in_bytes"
  fresh_copy "$src" "$F"
  local cmd=${CMD[qk:$wl]/-V:0/-V:3}
  local t0=$EPOCHREALTIME
  if (echo "$BASHPID" >"$dir/cgroup.procs" && eval "exec /usr/bin/time -f %M -o \"\$DATA/rss.txt\" $cmd") \
    </dev/null >"$DATA/out.log" 2>&1; then rc=0; else rc=$?; fi
  local t1=$EPOCHREALTIME
  local peak fails rss
  peak=$(cat "$dir/memory.max_usage_in_bytes")
  fails=$(cat "$dir/memory.failcnt")
  rss=$(tail -1 "$DATA/rss.txt" 2>/dev/null || echo 0)
  rmdir "$dir" 2>/dev/null || true
  local reported ok=1
  reported=$(awk -F: '/^Bytes written/ { gsub(/ /, "", $2); print $2 }' "$DATA/out.log")
  [ "$rc" -eq 0 ] && [ ! -e "$F.qk-journal" ] && [ "$(stat -c %s "$F")" = "$reported" ] || ok=0
  if [ "$ok" -eq 1 ] && [ "$wl" = W1 ] && [ "$(grep -c starfruit "$F")" -ne "$(grep -c zebrafish "$src")" ]; then
    ok=0
  fi
  if [ "$ok" -eq 1 ]; then
    CGROUP_ROWS+=("| $wl | succeeded | $(awk -v t="$(elapsed "$t0" "$t1")" 'BEGIN { printf "%.2f s", t }') | $(mib "$rss") | $(awk -v b="$peak" 'BEGIN { printf "%.1f MiB", b / 1048576 }') ($fails allocation failures) |")
  else
    CGROUP_ROWS+=("| $wl | FAILED (exit $rc) | | | |")
    warn "W11 $wl FAILED (exit $rc): $(head -c 300 "$DATA/out.log")"
  fi
  rm -f "$F" "$F.qk-journal"
}

declare -A TITLE FILEOF
TITLE[W1]="rare same-length replacement"
TITLE[W2]="W1, search in upper case (case-insensitive)"
TITLE[W3]="dense same-length replacement"
TITLE[W4]="dense shrinking replacement"
TITLE[W5]="search text that never matches"
TITLE[W6]="W1 with a one-byte wildcard"
TITLE[W7]="delete the lines holding the rare word"
TITLE[W8]="W1 scaling"
TITLE[W9]="pathological search text (no match)"
TITLE[W10]="W1 at 1 GiB (qk only)"
TITLE[W12]="dense growing replacement"

# The tools run inside bench/data/ on relative file names: qk, like the DOS
# tools it follows, reads an argument that starts with '/' as a switch, so it
# cannot be given an absolute path.
cd "$DATA"
CASES=()
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start=$EPOCHREALTIME
for wl in $WORKLOADS; do
  case $wl in
    W8)
      CASES+=("W8 64M"); FILEOF["W8 64M"]=$SMALL; TITLE["W8 64M"]="W1 at 64 MiB"
      CASES+=("W8 256M"); FILEOF["W8 256M"]=$MAIN; TITLE["W8 256M"]="W1 at 256 MiB"
      if [ "$FULL" -eq 1 ]; then
        CASES+=("W8 1G"); FILEOF["W8 1G"]=$BIG; TITLE["W8 1G"]="W1 at 1 GiB"
      fi ;;
    W9) CASES+=(W9); FILEOF[W9]=$AFILE ;;
    W10) CASES+=(W10); FILEOF[W10]=$BIG ;;
    W11) ;;
    *) CASES+=("$wl"); FILEOF[$wl]=$MAIN ;;
  esac
done
for c in "${CASES[@]}"; do
  log "timing $c (${TITLE[$c]}), $RUNS runs per tool"
  if [ "$c" = W10 ]; then
    bench_case "$c" W10 "${FILEOF[$c]}" qk
  else
    bench_case "$c" "${c%% *}" "${FILEOF[$c]}"
  fi
done
if wanted W11; then
  for wl in W1 W3 W4 W7 W12; do
    log "W11: $wl on 1 GiB inside a 64 MiB memory cgroup"
    wait_for_quiet "W11 $wl"
    in_memory_cgroup 64 "$BIG" "$wl"
  done
fi
if [ "$HAVE_TIME" -eq 1 ]; then
  log "measuring peak RSS and journal sizes"
  for c in "${CASES[@]}"; do
    wl=${c%% *}
    if [ "$c" = W1 ]; then peak_rss "$c" W1 "${FILEOF[$c]}" qk $PEERS; else peak_rss "$c" "$wl" "${FILEOF[$c]}" qk; fi
  done
  if wanted W1; then
    TITLE[W1out]="W1 with -\$ (output file)"; FILEOF[W1out]=$MAIN
    peak_rss W1out W1out "$MAIN" qk
  fi
fi
total=$(elapsed "$start" "$EPOCHREALTIME")
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
fmt_s() { awk -v v="$1" 'BEGIN { if (v >= 10) printf "%.1f", v; else if (v >= 1) printf "%.2f", v; else printf "%.3f", v }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { r = a / b; if (r >= 100) printf "%.0f×", r; else if (r >= 10) printf "%.1f×", r; else printf "%.2f×", r }'; }
cell_time() {   # cell_time CASE TOOL
  local v=${MEDIAN[$1:$2]:-}
  [ -n "$v" ] || { printf 'n/a'; return; }
  printf '%s' "$(fmt_s "$v")"
  [ -z "${FAILED[$1:$2]:-}" ] || printf ' (!)'
}
size_of() { local s; s=$(stat -c %s "$1"); if [ "$s" -ge $((1024 * MiB)) ]; then echo "$((s / 1024 / MiB)) GiB"; else echo "$((s / MiB)) MiB"; fi; }

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
ram=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
commit=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=""
[ -z "$(git -C "$ROOT" status --porcelain -- src CMakeLists.txt 2>/dev/null)" ] || dirty=" (with uncommitted changes under src/)"
sed_v=$(sed --version | head -1)
perl_v=$(perl -e 'printf "perl %vd", $^V')
sd_v=$([ "$HAVE_SD" -eq 1 ] && sd --version 2>/dev/null | head -1 || echo "sd not installed")
fs=$(df -PT "$DATA" | awk 'NR == 2 { print $2 }')

mkdir -p "$(dirname "$OUT")"
{
  echo "# Performance"
  echo
  echo "This page is written by \`bench/run.sh\`; do not edit it by hand. To"
  echo "regenerate it, run \`bench/run.sh\` from the repository root (about"
  echo "10 minutes; \`-n N\` sets the runs per measurement, \`--only W1,W3\`"
  echo "picks workloads, \`--full\` adds a 1 GiB file to W8, \`-h\` lists"
  echo "everything). The script builds qk in Release, installs sed, perl and sd"
  echo "when they are missing, and generates its test files under \`bench/data/\`."
  echo
  echo "Every time below is the median wall-clock time in seconds of $RUNS runs."
  echo "Before each run the file is copied afresh (not timed) and written back"
  echo "to disk, so every run starts from the same state with its input in the"
  echo "page cache. Runs of the tools are interleaved. \"sed/qk\" is qk's"
  echo "speed-up over sed (sed's time divided by qk's); \"qk/cat\" is qk's"
  echo "time divided by that of \`cat FILE > /dev/null\` on the same file, the"
  echo "cost of just reading it. All tools run with \`LC_ALL=C\`; qk's search"
  echo "is case-insensitive by default, while the peers' is case-sensitive"
  echo "except in W2 (the text is all lower case, so the results are the same)."
  echo
  echo "The numbers hold for the machine below only: compare the tools within"
  echo "one run of the script, not across machines."
  if grep -q page_reporting /proc/cmdline 2>/dev/null; then
    echo "This one is a virtual machine that hands freed memory back to its"
    echo "host, so a program that allocates a buffer as large as the file (sd"
    echo "does, and qk when an edit changes the file's length in place) pays a"
    echo "first-touch cost that varies a lot from run to run. qk otherwise"
    echo "streams the file through a few reused 1 MiB chunks."
  elif grep -qw hypervisor /proc/cpuinfo 2>/dev/null; then
    echo "This one is a virtual machine, where system calls and page faults"
    echo "cost more than on bare hardware."
  fi
  echo
  echo "## Machine"
  echo
  echo "| | |"
  echo "|---|---|"
  echo "| cores (nproc) | $(nproc) |"
  echo "| CPU | $cpu |"
  echo "| RAM | $ram |"
  echo "| kernel | $(uname -sr) |"
  echo "| file system of bench/data | $fs |"
  echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
  echo "| qk | commit $commit$dirty, Release build |"
  echo "| peers | $sed_v; $perl_v; $sd_v |"
  echo "| runs per measurement | $RUNS |"
  echo "| load average (1, 5, 15 min) | $load_before at the start, $load_after at the end |"
  if [ ${#BUSY[@]} -gt 0 ]; then
    busy=$(printf '%s, ' "${BUSY[@]}")
    echo "| timed while the machine was busy with other work (1-min load average) | ${busy%, } |"
  fi
  echo "| total benchmark time | $(awk -v t="$total" 'BEGIN { printf "%.0f s", t }') (without building and generating the data) |"
  echo
  echo "## Results"
  echo
  hdr="| workload | file | qk | qk min–max | max/min"; sep="|---|---|--:|--:|--:"
  for t in $PEERS; do hdr+=" | $t"; sep+="|--:"; done
  for t in $PEERS; do hdr+=" | $t/qk"; sep+="|--:"; done
  hdr+=" | cat | qk/cat |"; sep+="|--:|--:|"
  echo "$hdr"; echo "$sep"
  for c in "${CASES[@]}"; do
    f=${FILEOF[$c]}
    row="| ${c%% *} ${TITLE[$c]} | $(size_of "$f") | **$(cell_time "$c" qk)** | $(fmt_s "${LOW[$c:qk]}")–$(fmt_s "${HIGH[$c:qk]}") | $(ratio "${HIGH[$c:qk]}" "${LOW[$c:qk]}")"
    for t in $PEERS; do row+=" | $(cell_time "$c" "$t")"; done
    for t in $PEERS; do
      if [ -n "${MEDIAN[$c:$t]:-}" ] && [ -n "${MEDIAN[$c:qk]:-}" ]; then row+=" | $(ratio "${MEDIAN[$c:$t]}" "${MEDIAN[$c:qk]}")"; else row+=" | n/a"; fi
    done
    row+=" | $(fmt_s "${MEDIAN[$c:cat]}") | $(ratio "${MEDIAN[$c:qk]}" "${MEDIAN[$c:cat]}") |"
    echo "$row"
  done
  echo
  echo "(!) marks a tool that failed or whose result differed from sed's; see"
  echo "Correctness below. \"qk min–max\" is the spread of qk's $RUNS runs."
  echo
  if [ -n "${MEDIAN[W10:qk]:-}" ] && [ -n "${MEDIAN[W1:qk]:-}" ]; then
    echo "W1 at 1 GiB (W10) takes $(ratio "${MEDIAN[W10:qk]}" "${MEDIAN[W1:qk]}") the time of W1 at 256 MiB."
    echo
  fi
  if [ ${#CGROUP_ROWS[@]} -gt 0 ]; then
    echo "W11, qk on the 1 GiB file inside a 64 MiB memory cgroup (the cgroup's"
    echo "peak counts the page cache it was charged for):"
    echo
    echo "| workload | result | time | qk peak RSS | cgroup peak |"
    echo "|---|---|--:|--:|--:|"
    printf '%s\n' "${CGROUP_ROWS[@]}"
    echo
  fi
  if [ ${#RSS[@]} -gt 0 ]; then
    echo "## Peak memory and journal size"
    echo
    echo "Peak resident set size (\`/usr/bin/time -f %M\`) of qk on every workload, and"
    echo "the peak size of its restore journal (the file beside the target that"
    echo "holds what the run overwrites, removed at the end; \`QK_TEST_JOURNAL_SIZE\`"
    echo "names a file qk adds the size to). The peers on W1:"
    echo
    echo "| tool | workload | file | peak RSS | journal peak |"
    echo "|---|---|--:|--:|--:|"
    for c in "${CASES[@]}" W1out; do
      [ -n "${RSS[qk:$c]:-}" ] || continue
      echo "| qk | $c ${TITLE[$c]} | $(size_of "${FILEOF[$c]}") | $(mib "${RSS[qk:$c]}") | $(bytes "${JOURNAL[$c]:-0}") |"
    done
    for t in $PEERS; do
      [ -n "${RSS[$t:W1]:-}" ] && echo "| $t | W1 | $(size_of "$MAIN") | $(mib "${RSS[$t:W1]}") | |"
    done
    echo
  fi
  echo "## Correctness"
  echo
  echo "After the timed runs, the file each tool left behind is compared byte"
  echo "for byte (\`cmp\`) with the one sed left behind."
  echo
  if [ ${#WARNINGS[@]} -eq 0 ]; then
    echo "All results were identical to sed's, and no tool failed."
  else
    for w in "${WARNINGS[@]}"; do echo "- WARNING: $w"; done
  fi
  echo
  echo "## Commands"
  echo
  echo "\`f\` is the fresh copy of the file; \`a×200 b\` stands for 200 'a' then 'b'."
  echo
  echo "| workload | tool | command |"
  echo "|---|---|---|"
  for wl in $WORKLOADS; do
    for t in qk $PEERS; do
      [ -n "${CMD[$t:$wl]:-}" ] || continue
      c=$(show_cmd "$t:$wl"); c=${c//|/\\|}
      echo "| $wl | $t | \`$c\` |"
    done
  done
  echo
  echo "## Data"
  echo
  echo "- \`words-256M.txt\` (and the 64 MiB and 1 GiB variants): CR LF lines of"
  echo "  3 to 8 words drawn from a fixed 26-word vocabulary by a fixed-seed"
  echo "  generator (splitmix64), padded to the exact size. About 1.2 million"
  echo "  occurrences of \"cat\" in 256 MiB; \"zebrafish\" on every 10,000th line."
  echo "- \`a-16M.txt\`: 16 MiB of 'a' bytes, no line break."
} >"$OUT"
log "wrote $OUT (benchmark time $(fmt_s "$total") s)"
if [ ${#WARNINGS[@]} -gt 0 ]; then
  log "${#WARNINGS[@]} warning(s):"
  for w in "${WARNINGS[@]}"; do echo "  $w" >&2; done
fi
