#!/bin/sh
# Runs clang-tidy (the checks of .clang-tidy) over the project's own sources
# in a build's compilation database; any finding fails the run.
#   scripts/tidy.sh [BUILD_DIR]      (default build/linux, configured first)
# A Linux build is checked whole. A Windows (MinGW) build is checked for
# what only it compiles, the sources in win32/ folders: clang is told the
# MinGW target and given the cross compiler's own C++ headers, which its
# MinGW driver does not find under Debian's "12-posix" folder names.
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
products="text|settings|protocol|agent|lockscreen|platform|tools|console"
# The analyzer follows each function's own paths without inlining the
# functions it calls (ipa=none): about half the run's time, which CI's time
# limit needs. It is given as the compiler's own option: clang-tidy 14
# never applies analyzer options given in .clang-tidy.
analyzer="-extra-arg=-Xclang -extra-arg=-analyzer-config -extra-arg=-Xclang -extra-arg=ipa=none"
# The compiler of the database's first entry tells the build.
compiler=$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' "$build/compile_commands.json" | head -n 1)
case $compiler in
  *mingw32*)
    # The compiler's own search list, between "#include <...>" and its end.
    set --
    for dir in $(echo | "$compiler" -xc++ -E -v - 2>&1 |
      sed -n '/^#include <\.\.\.>/,/^End of search list/p' | sed '1d;$d'); do
      case $dir in
        */include/c++*) set -- "$@" "-extra-arg=-isystem$dir" ;;
      esac
    done
    "$tidy" -p "$build" -j 2 -quiet $analyzer \
      -extra-arg-before=--target=x86_64-w64-mingw32 -extra-arg=-nostdinc++ "$@" \
      "$PWD/($products)/(.*/)?win32/.*\.cpp$"
    ;;
  *)
    # Only the product's sources: the tests, benchmarks and fuzz targets
    # follow GoogleTest's and libFuzzer's shapes, which the checks would flag.
    "$tidy" -p "$build" -j 2 -quiet $analyzer "$PWD/($products)/.*\.cpp$"
    ;;
esac
