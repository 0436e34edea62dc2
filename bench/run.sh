#!/bin/sh
# Runs the load benchmarks by hand: builds what they need (the linux preset,
# and the windows preset when MinGW-w64 and wine are installed), then runs
# zalvo_load REPEATS times natively and, when built, under Wine, alternating
# the two, and writes the tables to OUT/RESULTS.md.
#
#   bench/run.sh [REPEATS]          (default 3)
#
# Environment: ZALVO_BENCH_OUT (default build/bench), ZALVO_BENCH_ARGS (more
# options for "zalvo_load run", e.g. "--soak 200000" for a short try),
# ZALVO_BENCH_WINE_SOAK (the soak of the Wine runs after the first, default
# 200000: under Wine the agent answers about 3,000 datagrams a second, so
# only the first Wine run soaks one million), ZALVO_BENCH_LOCK (another lock
# file, only for a run in a network namespace of its own).
#
# Each measurement holds /tmp/zalvo-ports.lock, as the tests do; building
# does not; the lock is not passed on to the programs (the Wine prefix keeps
# its own services running between runs). Only loopback is used: the server is 127.0.0.1, the flood comes
# from 127.0.0.2.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
repeats=${1:-3}
out=${ZALVO_BENCH_OUT:-build/bench}
extra=${ZALVO_BENCH_ARGS:-}
mkdir -p "$out"
out=$(cd "$out" && pwd)
linux=build/linux
lock=${ZALVO_BENCH_LOCK:-/tmp/zalvo-ports.lock}
windows=build/windows

cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos zalvo_udp_echo zalvo_load

wine=$(command -v wine || true)
with_wine=no
if [ -n "$wine" ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  with_wine=yes
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target zalvos zalvoc zalvoctl zalvo_udp_echo
  # The installer is built only where makensis is installed.
  cmake --build --preset windows --target zalvo_installer 2>/dev/null || true
fi

tmp=$(mktemp -d /tmp/zalvo-bench.XXXXXX)
cleanup() {
  if [ "$with_wine" = yes ] && [ -d "$tmp/prefix" ]; then
    WINEPREFIX="$tmp/prefix" wineserver -k 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

if [ "$with_wine" = yes ]; then
  # A fresh prefix whose settings file names 127.0.0.1 as the server.
  tests/support/make-wineprefix.sh "$tmp/prefix"
  printf 'ServerIP=127.0.0.1\r\nClosePasswordForm=10\r\nSendDataTime=60\r\nAutoShutDownSec=6000\r\nAutoShutDown=1\r\nBeep=1\r\nFreeDisk=1\r\nPlayGame=1\r\n' \
    >"$tmp/prefix/drive_c/windows/krvini.ini"
  export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Keep the wine server up between the starts, so that a start-up is that
  # of the program, not of the wine server.
  wineserver -p
fi

native_cmd="$linux/bench/zalvo_load run --agent $linux/agent/zalvos --echo $linux/bench/zalvo_udp_echo --station $tmp/station --logs $tmp $extra"
wine_cmd="$linux/bench/zalvo_load run --wine $wine --agent $windows/agent/zalvos.exe --echo $windows/bench/zalvo_udp_echo.exe --logs $tmp --rate 20000 $extra"

native_files=""
wine_files=""
i=1
while [ "$i" -le "$repeats" ]; do
  echo "== native run $i of $repeats"
  flock -o "$lock" $native_cmd --out "$out/native-$i.txt"
  native_files="$native_files $out/native-$i.txt"
  if [ "$with_wine" = yes ]; then
    echo "== Wine run $i of $repeats"
    soak=""
    [ "$i" -gt 1 ] && soak="--soak ${ZALVO_BENCH_WINE_SOAK:-200000}"
    flock -o "$lock" scripts/with-xvfb.sh $wine_cmd $soak --out "$out/wine-$i.txt"
    for program in agent/zalvos lockscreen/win32/zalvoc tools/zalvoctl/zalvoctl zalvo-setup bench/zalvo_udp_echo; do
      if [ -f "$windows/$program.exe" ]; then
        echo "size.$(basename "$program") $(stat -c %s "$windows/$program.exe")" >>"$out/wine-$i.txt"
      fi
    done
    wine_files="$wine_files $out/wine-$i.txt"
  fi
  i=$((i + 1))
done

{
  echo "# Load benchmark results"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))," \
    "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -sr)," \
    "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- Commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')"
  [ "$with_wine" = yes ] && echo "- Wine: $(wine --version)"
  echo "- Command: \`bench/run.sh $repeats\`$( [ -n "$extra" ] && echo " with ZALVO_BENCH_ARGS=\"$extra\"")"
  echo "- Native runs: \`$native_cmd --out FILE\` (under \`flock $lock\`)"
  [ "$with_wine" = yes ] && echo "- Wine runs: \`scripts/with-xvfb.sh $wine_cmd --out FILE\` (same lock; fresh WINEPREFIX, WINEDEBUG=-all, persistent wine server; runs after the first add --soak ${ZALVO_BENCH_WINE_SOAK:-200000})"
  echo
  echo "## Native: zalvos over a sample simulated station, --quiet"
  echo
  # shellcheck disable=SC2086
  "$linux/bench/zalvo_load" report $native_files
  if [ "$with_wine" = yes ]; then
    echo "## Under Wine: zalvos.exe --console --quiet"
    echo
    # shellcheck disable=SC2086
    "$linux/bench/zalvo_load" report $wine_files
  fi
} >"$out/RESULTS.md"
echo "Tables written to $out/RESULTS.md"
