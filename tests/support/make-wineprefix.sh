#!/bin/sh
# Creates a fresh Wine prefix for one test run of the Windows build.
set -e
prefix="$1"
rm -rf "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
wineserver -w
test -d "$prefix/drive_c/windows"
