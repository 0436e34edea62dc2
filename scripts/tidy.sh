#!/bin/sh
# Runs clang-tidy (the checks of .clang-tidy) over the project's own sources
# in the Linux build's compilation database; any finding fails the run.
#   scripts/tidy.sh [BUILD_DIR]      (default build/linux, configured first)
set -e
cd "$(dirname "$0")/.."
build=${1:-build/linux}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: no $build/compile_commands.json: configure the build first" >&2
  exit 1
fi
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "tidy: run-clang-tidy is not installed (Debian package clang-tidy)" >&2
  exit 1
fi
# Only the product's sources: the tests, benchmarks and fuzz targets follow
# GoogleTest's and libFuzzer's shapes, which the checks would flag.
"$tidy" -p "$build" -j 2 -quiet \
  "$PWD/(text|settings|protocol|agent|lockscreen|platform|tools|console)/.*\.cpp$"
