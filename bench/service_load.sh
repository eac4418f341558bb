#!/usr/bin/env bash
# The service's cost at rest: its CPU share over SECONDS with a full tunnel up,
# with a split tunnel up (the tracker sleeps on the kernel's reports), and with
# a split tunnel while another user, then the user who asked for it, starts
# short programs as fast as it can (reports of their starts are not even sent:
# they cost nothing); then while the LAN floods router advertisements; and with
# a split tunnel while the game talks to a server that the gain's probes
# measure both ways every 5 s. Root (network namespaces).
#   bench/service_load.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-30}
source "$(dirname "$0")/world_service.sh" "$build"
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$service_pid/stat"; }
# share PHASE: the service's CPU over the next SECONDS, in percent of one core.
share() {
  local before after
  before=$(cpu_ticks)
  sleep "$seconds"
  after=$(cpu_ticks)
  awk -v used=$((after - before)) -v ticks="$ticks" -v span="$seconds" -v phase="$1" \
    'BEGIN {printf "%s: %.2f %% of a core\n", phase, 100 * used / ticks / span}'
}
split_body=$(start_body '["203.0.113.0/24"]' "$PC_KEY" "$NODE_ENDPOINT" process-beta '["game.exe"]')
control=$build/tools/zv-control

"$control" start "$START_BODY" >/dev/null
sleep 2
share "full routing, at rest"
"$control" stop >/dev/null
"$control" start "$split_body" >/dev/null
sleep 2
share "split routing, at rest"
# Another user's programs, one after the other, as fast as they start.
setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'while :; do /bin/true; done' &
churn=$!
share "split routing, another user starting programs"
kill "$churn"
wait "$churn" 2>/dev/null || true
# The same by the user whose game is steered: none of them is the game.
sh -c 'while :; do /bin/true; done' &
churn=$!
share "split routing, its own user starting programs"
kill "$churn"
wait "$churn" 2>/dev/null || true
# A hostile LAN: about 14 000 routes in 10 s come and go on the pc's uplink.
ip netns exec "$WORLD_NET" python3 "$(dirname "$0")/ra_flood.py" net-pc "$seconds" &
flood=$!
share "split routing, the LAN flooding router advertisements"
wait "$flood" 2>/dev/null || true
"$control" stop >/dev/null
# ping is the game: five packets a second to a server the pc reaches both ways.
world_gain_servers
"$control" start "$(start_body '["203.0.113.0/24"]' "$PC_KEY" "$NODE_ENDPOINT" process-beta '["ping"]')" >/dev/null
ip netns exec "$WORLD_PC" ping -q -i 0.2 "$GAIN_SERVER" >/dev/null &
game=$!
sleep 6
"$control" quality | grep -q '"game_direct_ms"' || echo "the game's server is not measured" >&2
share "split routing, the game's server measured both ways"
kill "$game"
wait "$game" 2>/dev/null || true
"$control" stop >/dev/null
