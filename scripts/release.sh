#!/bin/sh
# Puts one release together: the station's installer and the console's
# Debian package, named with the project's version, and their SHA256SUMS, in
# release/zalvo-VERSION/ (git-ignored; an earlier folder of the same version
# is replaced):
#   release.sh [--windows DIR] [--linux DIR]   (default build/windows, build/linux)
# Each build is configured from its preset when its folder is missing and
# brought up to date (a build that is already done is taken as it is): the
# installer (target zalvo_installer: makensis, and scripts/sign.sh's
# certificate when one is given in the environment) and zalvo-console
# (scripts/package-console.sh). Both builds must be of the version in the top
# CMakeLists.txt. Beside them go the station programs' debug information
# (debug/zalvos.dbg, debug/zalvoc.dbg), for reading crash dumps of exactly
# these programs.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
windows="$root/build/windows"
linux="$root/build/linux"
while [ $# -gt 0 ]; do
  case "$1" in
  --windows) windows="$2"; shift 2 ;;
  --linux) linux="$2"; shift 2 ;;
  *) echo "usage: release.sh [--windows DIR] [--linux DIR]" >&2; exit 2 ;;
  esac
done
fail() {
  echo "release.sh: $1" >&2
  exit 1
}
version=$(sed -n 's/^project(zalvo VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

# build DIR PRESET TARGET: configures (when new) and builds the target.
build() {
  if [ ! -f "$1/CMakeCache.txt" ]; then
    [ "$1" = "$root/build/$2" ] || fail "$1 is not configured"
    (cd "$root" && cmake --preset "$2") || fail "the $2 build does not configure"
  fi
  cmake --build "$1" --target "$3" || fail "$3 does not build in $1"
  built=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$1/CMakeCache.txt")
  [ "$built" = "$version" ] ||
    fail "$1 is version $built, the sources are $version: configure it again"
}
build "$windows" windows zalvo_installer
[ -f "$windows/zalvo-setup.exe" ] || fail "no $windows/zalvo-setup.exe (is makensis installed?)"
build "$linux" linux zalvo-console

out="$root/release/zalvo-$version"
rm -rf "$out"
mkdir -p "$out/debug"
cp "$windows/zalvo-setup.exe" "$out/zalvo-setup-$version.exe"
cp "$windows/release/zalvos.dbg" "$windows/release/zalvoc.dbg" "$out/debug/"
deb=$("$root/scripts/package-console.sh" "$linux" "$out" | tail -n 1)
[ -f "$deb" ] || fail "the console's package was not made"
(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort |
  xargs sha256sum >SHA256SUMS)
echo "release.sh: zalvo $version ($(git -C "$root" describe --always --dirty 2>/dev/null)) in $out:"
(cd "$out" && cat SHA256SUMS)
