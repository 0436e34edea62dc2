#!/bin/sh
# Runs a command with DISPLAY set to a fresh virtual X display.
set -e
display=$((90 + $$ % 100))
while [ -e "/tmp/.X${display}-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT INT TERM
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
DISPLAY=":$display" "$@"
