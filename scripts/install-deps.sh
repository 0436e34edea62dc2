#!/bin/sh
# Installs what the builds and tests need on a Debian machine, when missing:
#   install-deps.sh          everything (both builds, Wine, the virtual display, NSIS)
#   install-deps.sh linux    only what the Linux build needs
# Runs as root (or through sudo when it is there).
set -e
packages="cmake make g++ libgtest-dev libgmock-dev googletest libbenchmark-dev pkg-config clang-tidy libssl-dev"
# The fuzz targets: clang with libFuzzer and the sanitizers' run-time.
packages="$packages clang-14 libclang-rt-14-dev"
# The console: its record, web server (Boost.Beast and Asio: Debian puts all of
# Boost's headers in one package, with no other dependency), JSON, password
# hashes, the test's certificate (openssl), and the browser test.
packages="$packages libsqlite3-dev libboost1.81-dev nlohmann-json3-dev libsodium-dev openssl"
packages="$packages chromium chromium-driver python3-selenium"
# The console's package: dpkg-shlibdeps for its dependencies, what its
# installation runs (checked in a throw-away root), and systemd-analyze for
# its unit (it runs without systemd as the first process).
packages="$packages dpkg-dev adduser systemd"
if [ "$1" != "linux" ]; then
  packages="$packages g++-mingw-w64-x86-64 wine wine64 xvfb nsis"
fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -q
$sudo_cmd apt-get install -y -q --no-install-recommends $missing
