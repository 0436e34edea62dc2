#!/bin/sh
# The console's package, checked from the Linux build (the part "package" of
# scripts/test-all.sh):
#   check-package.sh [BUILD-DIR]     (default build/linux)
# builds it (scripts/package-console.sh) and checks its fields (the version is
# the build's project version), its files and conffiles, that the packaged
# program runs, the unit (systemd-analyze verify, where it can run), and, as
# root where a mount namespace and overlayfs are allowed, an installation and
# purge in a throw-away copy of this machine's root. Prints every fault;
# exits 1 when there is one.
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd) || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
faults=0
fault() {
  echo "check-package.sh: $1" >&2
  faults=1
}

deb=$("$root/scripts/package-console.sh" "$build" "$work/out" | tail -n 1)
[ -f "$deb" ] || { echo "check-package.sh: the package was not built" >&2; exit 1; }
echo "built $(basename "$deb")"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ "$(dpkg-deb --field "$deb" Package)" = zalvo-console ] || fault "the package's name"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] ||
  fault "version $(dpkg-deb --field "$deb" Version), the build's is $version"
depends=$(dpkg-deb --field "$deb" Depends)
for needed in libsqlite3 libsodium libssl adduser openssl systemd; do
  echo "$depends" | grep -q "$needed" || fault "Depends lacks $needed: $depends"
done

contents=$(dpkg-deb --contents "$deb")
for file in "-rwxr-xr-x root/root .* ./usr/bin/zalvo-console$" \
  "-rwxr-xr-x root/root .* ./usr/bin/zalvoctl$" \
  "-rwxr-xr-x root/root .* ./usr/sbin/zalvo-console-setup$" \
  "-rw-r--r-- root/root .* ./lib/systemd/system/zalvo-console.service$" \
  "-rw-r--r-- root/root .* ./etc/zalvo-console/console.env$" \
  "-rw-r--r-- root/root .* ./etc/zalvo-console/room.txt$"; do
  echo "$contents" | grep -q -- "$file" || fault "no file like '$file' in: $contents"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work" ./conffiles ./postinst ./prerm ./postrm
[ "$(cat "$work/conffiles")" = "/etc/zalvo-console/console.env
/etc/zalvo-console/room.txt" ] || fault "conffiles: $(cat "$work/conffiles")"
for script in postinst prerm postrm; do
  sh -n "$work/$script" || fault "$script is not a shell script"
done

mkdir "$work/tree"
dpkg-deb --extract "$deb" "$work/tree"
"$work/tree/usr/bin/zalvo-console" --help | grep -q -- "--set-operator" ||
  fault "the packaged zalvo-console does not run"
"$work/tree/usr/bin/zalvoctl" --help 2>&1 | grep -q -- "derive" || fault "the packaged zalvoctl does not run"
grep -q '^ZALVO_CONSOLE_KEY="--key-file /etc/zalvo-console/club.key"$' \
  "$work/tree/etc/zalvo-console/console.env" || fault "console.env names no club key"

# The unit, with the program where this check extracted it (verify wants it
# there); any warning is a fault.
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: the unit is not verified"
else
  printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
  if ! systemd-analyze verify "$work/probe.service" >"$work/verify.out" 2>&1; then
    echo "systemd-analyze cannot run here: the unit is not verified ($(head -n 1 "$work/verify.out"))"
  else
    sed "s|/usr/bin/zalvo-console|$work/tree/usr/bin/zalvo-console|" \
      "$work/tree/lib/systemd/system/zalvo-console.service" >"$work/zalvo-console.service"
    if ! systemd-analyze verify "$work/zalvo-console.service" >"$work/verify.out" 2>&1 ||
      [ -s "$work/verify.out" ]; then
      fault "systemd-analyze verify: $(cat "$work/verify.out")"
    else
      echo "the unit verifies"
    fi
  fi
fi

# The installation in a throw-away copy of this root (an overlay that goes
# with the mount namespace): the user, the certificate and its key, the
# names, the enabled unit; the purge keeps the record.
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "not root (or no unshare): the installation is not tried"
else
  mkdir -p "$work/upper" "$work/scratch" "$work/root"
  cp "$deb" "$work/upper/zalvo-console.deb"
  cat >"$work/upper/install.sh" <<'INSTALL'
fail() { echo "in the installed root: $1" >&2; exit 1; }
dpkg -i /zalvo-console.deb >/install.log 2>&1 || { cat /install.log; fail "dpkg -i failed"; }
getent passwd zalvo-console >/dev/null || fail "no user zalvo-console"
[ "$(stat -c '%a %U %G' /etc/zalvo-console/console.key)" = "640 root zalvo-console" ] ||
  fail "console.key is $(stat -c '%a %U %G' /etc/zalvo-console/console.key)"
[ "$(stat -c '%a %U' /var/lib/zalvo-console)" = "700 zalvo-console" ] || fail "/var/lib/zalvo-console"
names=$(sed -n 's/^ZALVO_CONSOLE_NAMES="\(--allow-host .*\)"$/\1/p' /etc/zalvo-console/names.env)
[ -n "$names" ] || fail "names.env names nothing: $(cat /etc/zalvo-console/names.env)"
san=$(openssl x509 -in /etc/zalvo-console/console.crt -noout -ext subjectAltName | tail -n 1)
for name in $(echo "$names" | sed 's/--allow-host//g'); do
  echo "$san" | grep -q -e "DNS:$name\(,\|$\)" -e "IP Address:$name\(,\|$\)" ||
    fail "the certificate ($san) does not name $name"
done
[ -L /etc/systemd/system/multi-user.target.wants/zalvo-console.service ] || fail "the unit is not enabled"
# Keyed by default: the key console.env names is the console's user's alone.
grep -q '^ZALVO_CONSOLE_KEY="--key-file /etc/zalvo-console/club.key"$' /etc/zalvo-console/console.env ||
  fail "console.env names no club key"
[ "$(stat -c '%a %U' /etc/zalvo-console/club.key)" = "600 zalvo-console" ] ||
  fail "club.key is $(stat -c '%a %U' /etc/zalvo-console/club.key)"
[ ! -e /etc/zalvo-console/unkeyed.env ] || fail "a new installation runs without its key"
runuser -u zalvo-console -- cat /etc/zalvo-console/club.key | grep -q '^zalvo club key$' ||
  fail "the console's user can't read the club key"
zalvo-console-setup --station 192.168.1.21 | grep -q '/STATIONKEY=[0-9a-f]\{64\} /STATIONIP=192.168.1.21$' ||
  fail "zalvo-console-setup --station prints no installer line"
touch /var/lib/zalvo-console/club.db
dpkg --purge zalvo-console >>/install.log 2>&1 || { cat /install.log; fail "the purge failed"; }
[ ! -e /etc/zalvo-console/console.key ] || fail "the purge left the key"
[ ! -e /etc/systemd/system/multi-user.target.wants/zalvo-console.service ] || fail "the purge left the unit enabled"
[ -e /var/lib/zalvo-console/club.db ] || fail "the purge removed the record"
[ -e /etc/zalvo-console/club.key ] || fail "the purge removed the club key"
# An upgrade from a version without a key keeps running, without one.
rm -f /etc/zalvo-console/club.key
dpkg -i /zalvo-console.deb >/dev/null 2>&1 || fail "installing again failed"
rm -f /etc/zalvo-console/club.key /etc/zalvo-console/unkeyed.env
dpkg -i /zalvo-console.deb >>/install.log 2>&1 || { cat /install.log; fail "the upgrade failed"; }
[ ! -e /etc/zalvo-console/club.key ] || fail "an upgrade made a club key"
grep -q '^ZALVO_CONSOLE_KEY=$' /etc/zalvo-console/unkeyed.env || fail "an upgrade without a key left no unkeyed.env"
echo "installed, set up and purged in a throw-away root"
INSTALL
  if unshare -m sh -c "mount -t overlay overlay -o lowerdir=/,upperdir=$work/upper,workdir=$work/scratch $work/root" 2>/dev/null; then
    unshare -m sh -c "mount -t overlay overlay -o lowerdir=/,upperdir=$work/upper,workdir=$work/scratch $work/root &&
      mount --bind /dev $work/root/dev && mount -t proc proc $work/root/proc &&
      chroot $work/root sh /install.sh" || fault "the installation (see above)"
  else
    echo "no mount namespace with overlayfs here: the installation is not tried"
  fi
fi

[ $faults -eq 0 ] && echo "check-package.sh: the package is sound"
exit $faults
