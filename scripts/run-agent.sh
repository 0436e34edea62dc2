#!/bin/sh
# Builds the Linux agent and runs it in the foreground over a sample simulated
# station (build/station) whose server address is 127.0.0.1. Ctrl+C stops it.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos
exec build/linux/agent/zalvos --station build/station --sample "$@"
