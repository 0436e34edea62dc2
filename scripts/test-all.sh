#!/bin/sh
# Builds every target and runs every test:
#   - the Linux build natively (unit, end-to-end, flood, soak and kill tests);
#   - the same unit and end-to-end tests under the address and
#     undefined-behaviour sanitizers (asan preset);
#   - the agent's threads under the thread sanitizer (tsan preset);
#   - the Windows build under Wine (GUI tests on a virtual X display);
#   - every fuzz target for a short, bounded run (scripts/fuzz.sh).
# Every part runs even when an earlier one failed; the exit status is 1 when
# any failed.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in linux windows asan tsan; do
  cmake --preset $preset
  cmake --build --preset $preset
done
status=0
ctest --preset linux || status=1
ctest --preset asan || status=1
ctest --preset tsan || status=1
./scripts/with-xvfb.sh ctest --preset windows || status=1
./scripts/fuzz.sh 45 || status=1
exit $status
