#!/bin/sh
# Runs the console's browser test (headless Chromium against the console and
# three simulated stations) and copies the room's screenshots it saves in the
# build folder (the room, compact at 1366x768 and 1920x1080, on a phone, and
# the till and log panels below it) to
# docs/screenshots/, for the README and the operator's guide (docs/operator.md).
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos zalvo-console
ctest --test-dir build/linux -R '^console_browser_test$' --output-on-failure
for picture in build/linux/tests/console/screenshots/console-*.png; do
  cp "$picture" docs/screenshots/
  echo "docs/screenshots/$(basename "$picture") updated"
done
