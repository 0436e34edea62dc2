#!/bin/sh
# Runs a command with DISPLAY set to a fresh virtual X display and exits with
# the command's status. When the display does not come up, says why and
# exits 1 without running the command. ZALVO_XVFB_SCREENS, when set, gives
# Xvfb's screens in place of the one 1024x768 screen (for example two screens
# that Xinerama joins into two monitors).
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "with-xvfb.sh: Xvfb is not installed (package xvfb; scripts/install-deps.sh installs it)" >&2
  exit 1
fi
display=$((90 + $$ % 100))
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
  display=$((display + 1))
done
log=$(mktemp /tmp/zalvo-xvfb-XXXXXX) || exit 1
# shellcheck disable=SC2086 # the screens are several words
Xvfb ":$display" ${ZALVO_XVFB_SCREENS:--screen 0 1024x768x24} -nolisten tcp >"$log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -f "$log"' EXIT
trap 'exit 130' INT TERM
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  kill -0 $xvfb 2>/dev/null || break
  sleep 0.1
done
if ! [ -e "/tmp/.X11-unix/X$display" ] || ! kill -0 $xvfb 2>/dev/null; then
  echo "with-xvfb.sh: the virtual display :$display did not come up; Xvfb said:" >&2
  sed 's/^/  /' "$log" >&2
  exit 1
fi
DISPLAY=":$display" "$@"
status=$?
exit $status
