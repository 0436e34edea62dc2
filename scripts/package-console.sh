#!/bin/sh
# Builds the console's Debian package from the Linux build:
#   package-console.sh [BUILD-DIR [OUT-DIR]]    (default build/linux, build/package)
# writes OUT-DIR/zalvo-console_VERSION_ARCH.deb and prints its path last. The
# version is the project's (project(... VERSION ...) of the top
# CMakeLists.txt); the dependencies are the program's shared libraries'
# packages (dpkg-shlibdeps) and what the maintainer scripts run. Built with
# dpkg-deb from a staged tree (packaging/): the package is a program and a
# few files, with no source package or install rules to keep beside it.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
out="${2:-$root/build/package}"
fail() {
  echo "package-console.sh: $1" >&2
  exit 1
}
for tool in dpkg-deb dpkg-shlibdeps objcopy; do
  command -v $tool >/dev/null || fail "$tool is not installed (scripts/install-deps.sh linux)"
done
version=$(sed -n 's/^project(zalvo VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
cmake --build "$build" --target zalvo-console zalvoctl >/dev/null ||
  fail "zalvo-console or zalvoctl did not build in $build"
program="$build/console/zalvo-console"
arch=$(dpkg --print-architecture)

stage=$(mktemp -d)
chmod 0755 "$stage"
trap 'rm -rf "$stage"' EXIT
p="$root/packaging"
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/sbin" "$stage/lib/systemd/system" \
  "$stage/etc/zalvo-console" "$stage/usr/share/doc/zalvo-console"
objcopy --strip-debug --strip-unneeded "$program" "$stage/usr/bin/zalvo-console"
# zalvoctl makes the club key at the installation, derives the stations'
# keys (zalvo-console-setup --station) and sends a station a command by hand.
objcopy --strip-debug --strip-unneeded "$build/tools/zalvoctl/zalvoctl" "$stage/usr/bin/zalvoctl"
chmod 0755 "$stage/usr/bin/zalvo-console" "$stage/usr/bin/zalvoctl"
install -m 0755 "$p/zalvo-console-setup" "$stage/usr/sbin/"
install -m 0644 "$p/zalvo-console.service" "$stage/lib/systemd/system/"
install -m 0644 "$p/console.env" "$p/room.txt" "$stage/etc/zalvo-console/"
install -m 0755 "$p/debian/postinst" "$p/debian/prerm" "$p/debian/postrm" "$stage/DEBIAN/"
printf '%s\n' /etc/zalvo-console/console.env /etc/zalvo-console/room.txt >"$stage/DEBIAN/conffiles"
cat >"$stage/usr/share/doc/zalvo-console/README" <<README
zalvo-console $version: the club's console as a service (zalvo-console.service).
Options: /etc/zalvo-console/console.env; the record: /var/lib/zalvo-console/club.db;
the first owner: zalvo-console-setup; the log: journalctl -u zalvo-console.
The club's command key: /etc/zalvo-console/club.key (made at the first
installation); each station's installer line: zalvo-console-setup --station ADDRESS.
A console upgraded from a version without a key runs without one
(/etc/zalvo-console/unkeyed.env) until the room is keyed: as root,
  zalvoctl keygen /etc/zalvo-console/club.key
  chown zalvo-console:zalvo-console /etc/zalvo-console/club.key
then install each station again with the line zalvo-console-setup --station
ADDRESS prints, delete /etc/zalvo-console/unkeyed.env and
  systemctl restart zalvo-console
README

# dpkg-shlibdeps reads the package's name from a debian/control.
mkdir -p "$stage.shlibs/debian"
printf 'Source: zalvo\n\nPackage: zalvo-console\nArchitecture: any\n' >"$stage.shlibs/debian/control"
shlibs=$(cd "$stage.shlibs" && dpkg-shlibdeps -O "$stage/usr/bin/zalvo-console" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
rm -rf "$stage.shlibs"
[ -n "$shlibs" ] || fail "dpkg-shlibdeps found no dependencies of zalvo-console"

size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: zalvo-console
Version: $version
Architecture: $arch
Maintainer: Zalvo developers <zalvo@localhost>
Section: net
Priority: optional
Installed-Size: $size
Depends: $shlibs, adduser, openssl, systemd
Description: Zalvo club console
 The internet club's server: holds UDP port 6868 for the stations, serves the
 room to the operators as a web page over HTTPS and keeps every session and
 action in its record. Installed as the service zalvo-console, run by its own
 user; add the first owner with zalvo-console-setup.
CONTROL

mkdir -p "$out"
deb="$out/zalvo-console_${version}_$arch.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
