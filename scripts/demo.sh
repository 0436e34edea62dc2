#!/bin/sh
# A whole session on a simulated station, driven from the operator console:
# builds the Linux programs, starts the agent on a temporary station whose
# server is 127.0.0.1 (this machine), and sends it the commands of one
# rented session with zalvoctl. The agent's lines ("<-" a command received,
# "->" a reply sent, "station" an action carried out on the station) appear
# as they happen, between the console's commands and the replies it prints.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos zalvoctl >/dev/null
station=$(mktemp -d /tmp/zalvo-demo-XXXXXX)
ctl=build/linux/tools/zalvoctl/zalvoctl
build/linux/agent/zalvos --station "$station" --sample --tick-ms 100 &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$station"' EXIT INT TERM
sleep 1

step() {
  echo
  echo "== $1"
  shift
  echo "\$ zalvoctl 127.0.0.1 $*"
  "$ctl" 127.0.0.1 "$@" | sed 's/^/   reply: /'
  sleep 0.5
}

step "The server asks what the station shows" ACTION INFO
step "A customer rents the station for 30 minutes (the last session had ended: Windows restarts into the customer's account)" ACTION SIT 30
step "The open windows" ACTION PROCESS
step "The server starts a program for the customer" "ACTION RUN C:\\Games\\cs.exe -game cstrike"
step "... and ends the process behind a window" "ACTION KILL Counter-Strike"
step "Speakers at half volume" ACTION VOLUME 50
step "The server ends the session: it is cut to at most 100 seconds, less 20" ACTION STAND
echo
echo "== Each further ACTION STAND takes 20 seconds more; the one that reaches 0 ends the session:"
echo "   Windows' automatic log-on off, the workstation locked, Windows restarted"
for _ in 1 2 3 4 5; do
  step "ACTION STAND" ACTION STAND
done
echo
echo "== The station's own reports: the status report and the keep-alive (a tick is 100 ms here)"
echo "\$ zalvoctl watch --count 2 --wait 15000"
"$ctl" watch --count 2 --wait 15000 | sed 's/^/   /'
echo
echo "== The station's journal ($station/journal.log):"
sed 's/^/   /' "$station/journal.log"
