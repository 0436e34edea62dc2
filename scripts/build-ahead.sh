#!/bin/sh
# Configures and builds the given presets one after another, each into its
# own log, and marks each as built or failed; "tidy" and "tidy-windows" in
# the list run clang-tidy over the Linux or the Windows build there instead
# (scripts/tidy.sh):
#   scripts/build-ahead.sh DIR PRESET...
# writes DIR/PRESET.log while it builds and then DIR/PRESET.done holding
# "built" or "failed" (DIR is expected to hold no earlier run's marks).
# test-all.sh runs two of it in the background at the lowest priority while
# its tests run, so that the builds take only the processor time the tests
# leave idle, and one list's serial steps (a link, the last files of a
# build) leave none idle either. "tidy-windows" waits for the Windows build,
# which may be the other list's.
dir=$1
shift
cd "$(dirname "$0")/.." || exit 1
mkdir -p "$dir"
for preset in "$@"; do
  if [ "$preset" = tidy-windows ]; then
    # The Windows build may be another list's, running beside this one.
    while [ ! -f "$dir/windows.done" ]; do
      sleep 2
    done
  fi
  if [ "$preset" = tidy ] || [ "$preset" = tidy-windows ]; then
    build=build/linux
    [ "$preset" = tidy ] || build=build/windows
    if [ -f $build/compile_commands.json ] &&
      ./scripts/tidy.sh $build >"$dir/$preset.log" 2>&1; then
      echo built >"$dir/$preset.done"
    else
      echo failed >"$dir/$preset.done"
    fi
  elif cmake --preset "$preset" >"$dir/$preset.log" 2>&1 &&
    cmake --build --preset "$preset" >>"$dir/$preset.log" 2>&1; then
    echo built >"$dir/$preset.done"
  else
    echo failed >"$dir/$preset.done"
  fi
done
