#!/bin/sh
# Runs a test program that uses the agent's fixed ports while holding the
# machine-wide ports lock, so that the tests of other build trees on the
# same machine (and bench/run.sh) wait for it.
exec flock "${ZALVO_PORTS_LOCK:-/tmp/zalvo-ports.lock}" "$@"
