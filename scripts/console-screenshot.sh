#!/bin/sh
# Runs the console's browser test (headless Chromium against the console and
# three simulated stations) and copies the room's screenshot it saves in the
# build folder to docs/screenshots/console-room.png, for the README and the
# operator's guide (docs/operator.md).
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos zalvo-console
ctest --test-dir build/linux -R '^console_browser_test$' --output-on-failure
cp build/linux/tests/console/console-room.png docs/screenshots/console-room.png
echo "docs/screenshots/console-room.png updated"
