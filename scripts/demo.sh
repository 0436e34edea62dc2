#!/bin/sh
# A whole session on a simulated station, driven from the operator console:
# builds the Linux programs, starts the agent on a temporary station whose
# server is 127.0.0.1 (this machine), and sends it the commands of one
# rented session with zalvoctl. The agent's lines ("<-" a command received,
# "->" a reply sent, "station" an action carried out on the station) appear
# as they happen, between the console's commands and the replies it prints.
# It needs the agent's UDP ports 6767 and 6868 of this machine to itself and
# refuses to start while another program holds either of them.
set -e
cd "$(dirname "$0")/.."

# Whether a UDP socket of this machine is bound to the port (IPv4 or IPv6).
udp_port_taken() {
  hex=$(printf ':%04X' "$1")
  awk -v port="$hex" 'FNR > 1 && substr($2, length($2) - 4) == port { found = 1 }
    END { exit !found }' /proc/net/udp /proc/net/udp6 2>/dev/null
}
refuse() {
  printf 'demo.sh: %s\n' "$1" >&2
  exit 1
}

# The tests of every build tree hold this lock while they use the ports;
# the demo holds it too, so that they wait for it and it does not run
# beside them.
exec 9>"${ZALVO_PORTS_LOCK:-/tmp/zalvo-ports.lock}"
flock -n 9 || refuse "tests are using the agent's ports 6767 and 6868 now; try again when they have ended"
for port in 6767 6868; do
  if udp_port_taken $port; then
    refuse "UDP port $port is taken by another program (an agent or zalvoctl watch still running?); stop it first: ss -ulpn 'sport = :$port' shows it"
  fi
done

./scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos zalvoctl >/dev/null
station=$(mktemp -d /tmp/zalvo-demo-XXXXXX)
ctl=build/linux/tools/zalvoctl/zalvoctl
build/linux/agent/zalvos --station "$station" --sample --tick-ms 100 &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$station"' EXIT INT TERM
sleep 1

# Texts go out with printf: sh's echo would read the backslashes of
# C:\Games as escapes.
step() {
  printf '\n== %s\n' "$1"
  shift
  printf '$ zalvoctl 127.0.0.1 %s\n' "$*"
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
printf '\n%s\n%s\n' "== Each further ACTION STAND takes 20 seconds more; the one that reaches 0 ends the session:" \
  "   Windows' automatic log-on off, the workstation locked, Windows restarted"
for _ in 1 2 3 4 5; do
  step "ACTION STAND" ACTION STAND
done
printf '\n%s\n' "== The station's own reports: the status report and the keep-alive (a tick is 100 ms here)"
printf '%s\n' '$ zalvoctl watch --count 2 --wait 15000'
"$ctl" watch --count 2 --wait 15000 | sed 's/^/   /'
printf "\n== The station's journal (%s):\n" "$station/journal.log"
sed 's/^/   /' "$station/journal.log"
