#!/bin/sh
# Builds both targets and runs every test: the Linux build natively, the
# Windows build under Wine (GUI tests on a virtual X display).
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset linux
cmake --build --preset linux
cmake --preset windows
cmake --build --preset windows
status=0
ctest --preset linux || status=1
./scripts/with-xvfb.sh ctest --preset windows || status=1
exit $status
