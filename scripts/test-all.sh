#!/bin/sh
# Builds every target and runs every test, in parts:
#   linux    the Linux build natively (unit, end-to-end, flood, soak and kill
#            tests);
#   package  the console's Debian package from the Linux build: its fields,
#            files and unit, and an installation in a throw-away root
#            (scripts/check-package.sh);
#   includes the layering rule: portable code includes no platform's own
#            headers (scripts/check-includes.sh);
#   docs     the documentation: relative links point at files, the log lines
#            of the troubleshooting table are the sources' own
#            (scripts/check-docs.sh);
#   tidy     clang-tidy over the product's sources in the Linux build, and
#            over the win32/ sources in the Windows build once that is built
#            (scripts/tidy.sh, in the background; any finding fails it);
#   asan     the same unit and end-to-end tests under the address and
#            undefined-behaviour sanitizers;
#   tsan     the agent's threads under the thread sanitizer;
#   windows  the Windows build under Wine (GUI tests on a virtual X display);
#   fuzz     every fuzz target for a short, bounded run (scripts/fuzz.sh).
# The Linux build comes first; the other builds then run in the background at
# the lowest priority (scripts/build-ahead.sh) while the tests run, each
# part's tests starting once its build is there: the tests keep the
# processors they need and the builds take what the tests leave idle.
# Every part runs even when an earlier one failed to build or to pass. The
# output ends with one line per part ("linux: passed", "windows: build
# failed", "asan: tests failed", ...); the exit status is 1 when any part
# failed.
cd "$(dirname "$0")/.." || exit 1

if ! ./scripts/install-deps.sh; then
  echo "test-all.sh: the missing packages could not be installed; the parts that need them fail" >&2
fi

summary=""
times=""
failed=0
started=$(date +%s)
record() {
  summary="$summary$1: $2
"
  now=$(date +%s)
  times="$times$1 $((now - started)) s, "
  started=$now
  [ "$2" = passed ] || failed=1
}

ahead=build/ahead
# built PRESET: whether the background build of the preset succeeded; waits
# for it to end, then prints its output.
built() {
  while [ ! -f "$ahead/$1.done" ]; do
    sleep 2
  done
  cat "$ahead/$1.log"
  [ "$(cat "$ahead/$1.done")" = built ]
}

# part PRESET TEST-COMMAND...: the preset's build from the background, then
# its tests.
part() {
  preset=$1
  shift
  printf '\n=== %s\n' "$preset"
  if ! built "$preset"; then
    record "$preset" "build failed"
  elif "$@"; then
    record "$preset" passed
  else
    record "$preset" "tests failed"
  fi
}

printf '\n=== includes\n'
if ./scripts/check-includes.sh; then
  record includes passed
else
  record includes "violations (see above)"
fi

printf '\n=== docs\n'
if ./scripts/check-docs.sh; then
  record docs passed
else
  record docs "faults (see above)"
fi

printf '\n=== linux\n'
linux_built=""
cmake --preset linux && cmake --build --preset linux && linux_built=yes
rm -rf "$ahead"
# Two lists side by side, the Windows build first: its tests under Wine wait
# on timers more than they compute, and the builds take the processors they
# leave.
nice -n 19 ./scripts/build-ahead.sh "$ahead" windows tsan fuzz &
nice -n 19 ./scripts/build-ahead.sh "$ahead" asan tidy tidy-windows &
if [ -z "$linux_built" ]; then
  record linux "build failed"
elif ctest --preset linux; then
  record linux passed
else
  record linux "tests failed"
fi

printf '\n=== package\n'
if [ -z "$linux_built" ]; then
  record package "build failed"
elif ./scripts/check-package.sh build/linux; then
  record package passed
else
  record package "faults (see above)"
fi

part windows ./scripts/with-xvfb.sh ctest --preset windows
part asan ctest --preset asan

# clang-tidy over the Linux build ran in the background beside the tests.
printf '\n=== tidy\n'
if built tidy; then
  record tidy passed
else
  record tidy "findings (see above)"
fi

part tsan ctest --preset tsan

# clang-tidy over the Windows build ran in the background beside the Wine
# tests, once the build was there.
printf '\n=== tidy-windows\n'
if built tidy-windows; then
  record tidy-windows passed
else
  record tidy-windows "findings or no Windows build (see above)"
fi

# fuzz.sh builds its preset (already built ahead: a check) and runs the
# targets.
printf '\n=== fuzz\n'
if ! built fuzz >"$ahead/fuzz.out"; then
  cat "$ahead/fuzz.out"
  record fuzz "build failed"
elif ./scripts/fuzz.sh 10; then
  record fuzz passed
else
  record fuzz "failed (its build or a target: see above)"
fi

printf '\ntook: %s\n%s' "${times%, }" "$summary"
exit $failed
