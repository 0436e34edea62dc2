#!/bin/sh
# Runs a test program that uses the agent's fixed ports while holding the
# machine-wide ports lock, so that the tests of other build trees on the
# same machine (and bench/run.sh, scripts/demo.sh) wait for it. Listing the
# program's tests (CTest's discovery at build time) needs no ports and
# takes no lock. The lock is held by flock itself (-o), not passed on to the
# program, so a server the program leaves running (a Wine server) can't keep
# it.
for arg in "$@"; do
  [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done
exec flock -o "${ZALVO_PORTS_LOCK:-/tmp/zalvo-ports.lock}" "$@"
