#!/bin/sh
# The club's console over a room of simulated stations, in one command:
# builds the Linux agent and the console, starts six agents over sample
# stations in build/console-demo (each on its own loopback address,
# 127.0.0.11 to 127.0.0.16, all with the server 127.0.0.1, a tick of 100 ms),
# and the console on http://127.0.0.1:8080 (log in as "operator", password
# "zalvo-demo"). Ctrl+C stops everything.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target zalvos zalvo-console
demo=build/console-demo
mkdir -p "$demo"
agent=build/linux/agent/zalvos
console=build/linux/console/zalvo-console

pids=""
stop() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap 'stop; exit 0' INT TERM
trap stop EXIT

# The till sells at 3.00 an hour (open a shift on the page to sell).
printf 'currency BGN\ntariff Standard 3.00 minimum 0.50\ngroup Hall Standard\n' > "$demo/room.txt"
i=1
for program in "Counter-Strike" "World of Warcraft" "Dota 2" "Chrome - Google" "Календар - Notepad" ""; do
  station="$demo/station-$i"
  mkdir -p "$station"
  # The foreground program of each station, as windows.txt names it (the
  # sample keeps files that exist).
  if [ -n "$program" ]; then
    printf '65552 1200 F %s\n65560 1320 - Explorer\n' "$program" > "$station/windows.txt"
  else
    printf '65560 1320 - Explorer\n' > "$station/windows.txt"
  fi
  "$agent" --station "$station" --sample --tick-ms 100 --quiet --bind "127.0.0.1$i" \
    > "$demo/agent-$i.log" 2>&1 &
  pids="$pids $!"
  echo "\"PC $i\" 127.0.0.1$i $(( (i - 1) % 3 + 1 )) $(( (i - 1) / 3 + 1 ))" >> "$demo/room.txt"
  i=$((i + 1))
done
echo zalvo-demo | "$console" --db "$demo/console.db" --set-operator operator
echo "Open http://127.0.0.1:8080/ and log in as \"operator\" with the password \"zalvo-demo\"."
"$console" --db "$demo/console.db" --room "$demo/room.txt" --listen 127.0.0.1:8080 \
  --keepalive-ms 9900 &
pids="$pids $!"
wait
