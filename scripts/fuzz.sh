#!/bin/sh
# Builds the fuzz preset (clang 14, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every fuzz target, one after another,
# for SECONDS each (default 60) over a copy of its seed corpus and regressions.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Targets: dispatcher settings_file regedit4 parse_int32 (default: all).
# New inputs go to a temporary corpus, never into the repository; set
# ZALVO_FUZZ_CORPUS=DIR to keep the corpora of long runs in DIR/<target>
# instead. Exits non-zero when a target finds a crash, a leak, a timeout or
# runs out of memory, and prints the path of the input that does it.
set -e
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"dispatcher settings_file regedit4 parse_int32"}

# What the build needs, installed when missing (as install-deps.sh does).
missing=""
for p in cmake make clang-14 libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

build=build/fuzz/tests/fuzz
runs=build/fuzz/runs
mkdir -p "$runs"
rm -f "$runs"/*.status "$runs"/*.out
export ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=64"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# run_target TARGET: one target's bounded run; its output goes to stdout and
# its outcome (0 or the fuzzer's exit status) to $runs/TARGET.status.
run_target() {
  target=$1
  case $target in
    dispatcher) max_len=4096 ;;  # past the endpoint's 2048 bytes
    settings_file | regedit4) max_len=8192 ;;
    parse_int32) max_len=64 ;;
    *) echo "unknown fuzz target: $target" >&2; echo 2 >"$runs/$target.status"; return ;;
  esac
  if [ -n "$ZALVO_FUZZ_CORPUS" ]; then
    corpus="$ZALVO_FUZZ_CORPUS/$target"
    mkdir -p "$corpus"
  else
    corpus=$(mktemp -d "${TMPDIR:-/tmp}/zalvo-fuzz-$target.XXXXXX")
  fi
  cp tests/fuzz/corpus/$target/* "$corpus/"
  if [ -d tests/fuzz/regressions/$target ]; then
    cp tests/fuzz/regressions/$target/* "$corpus/"
  fi
  artifacts="$runs/$target"
  rm -rf "$artifacts"
  mkdir -p "$artifacts"
  dict=""
  [ -f tests/fuzz/$target.dict ] && dict="-dict=tests/fuzz/$target.dict"
  echo "== $target: $seconds s"
  status=0
  "$build/fuzz_$target" "$corpus" $dict -max_total_time="$seconds" -max_len=$max_len \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" >"$artifacts/log.txt" 2>&1 || status=$?
  grep -E "DONE|stat::number_of_executed_units|stat::average_exec_per_sec" \
    "$artifacts/log.txt" || true
  if [ $status -ne 0 ]; then
    tail -n 40 "$artifacts/log.txt"
    for found in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
      [ -e "$found" ] && echo "FUZZ FAILURE in $target: reproduce with $build/fuzz_$target $found"
    done
    echo "FUZZ FAILURE in $target (exit $status): log in $artifacts/log.txt"
  fi
  [ -z "$ZALVO_FUZZ_CORPUS" ] && rm -rf "$corpus"
  echo $status >"$runs/$target.status"
}

# Each fuzzer runs on one core: two at a time, their outputs printed in order.
set -- $targets
while [ $# -gt 0 ]; do
  run_target "$1" >"$runs/$1.out" 2>&1 &
  if [ $# -gt 1 ]; then
    run_target "$2" >"$runs/$2.out" 2>&1 &
    shift
  fi
  shift
  wait
done
failed=0
for target in $targets; do
  cat "$runs/$target.out"
  [ "$(cat "$runs/$target.status" 2>/dev/null)" = 0 ] || failed=1
done
exit $failed
