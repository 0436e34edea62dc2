#!/bin/sh
# Runs a Windows program under Wine for CTest, in the build's own Wine prefix
# (created by the wine_prefix fixture), with Wine's debug output off.
#
# Programs the test started in the prefix (services, the desktop that holds
# the notification area) would outlive it and keep CTest waiting on their
# output, so every program of the prefix is ended when the test program ends.
# The tests of one build share its prefix, so they run one at a time (the
# windows test preset). A test that uses the agent's fixed ports names a lock
# file in ZALVO_PORTS_LOCK, held for the whole run so that other build trees'
# tests on the machine wait. flock holds it itself (-o): the persistent Wine
# server the test starts must not inherit it.
if [ -n "${ZALVO_PORTS_LOCK:-}" ] && [ -z "${ZALVO_PORTS_LOCK_HELD:-}" ]; then
  ZALVO_PORTS_LOCK_HELD=1 exec flock -o "$ZALVO_PORTS_LOCK" "$0" "$@"
fi
: "${WINEPREFIX:=${ZALVO_WINEPREFIX:-$(pwd)/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine "$@"
status=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
exit $status
