#!/usr/bin/env bash
# What the split's mark costs a game's packets: the round trip to the game
# server through the tunnel, in full routing and in split routing with ping as
# the game (its sockets marked in the kernel, sent by the mark's rule), in the
# namespace world of the tunnel test. The game server answers only through the
# tunnel, so every reply counted went through it. Root only.
#   bench/split_rtt.sh [BUILD_DIR] [PINGS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
pings=${2:-500}

source "$root/bench/world_service.sh" "$build"

# The median round trip in microseconds, from ping's own figures; all must answer.
round_trip() {
  ip netns exec "$WORLD_PC" ping -n -c 3 -W 1 "$GAME_SERVER" >/dev/null  # the handshake is done
  ip netns exec "$WORLD_PC" ping -n -c "$pings" -i 0.002 -W 1 "$GAME_SERVER" >"$scratch/ping"
  grep -q " 0% packet loss" "$scratch/ping" || { echo "lost replies: $(grep loss "$scratch/ping")" >&2; exit 1; }
  sed -n 's/.*time=\([0-9.]*\) ms/\1/p' "$scratch/ping" | sort -n | awk '{v[NR]=$1} END {printf "%.0f", v[int((NR+1)/2)] * 1000}'
}

for mode in full split; do
  if [[ $mode == full ]]; then body=$START_BODY; else
    body=$(start_body '["203.0.113.0/24"]' "$PC_KEY" "$NODE_ENDPOINT" process-beta '["ping"]')
  fi
  "$build/tools/zv-control" start "$body" >/dev/null
  echo "$mode: $(round_trip) µs"
  "$build/tools/zv-control" stop >/dev/null
done
echo "(median of $pings pings to the game server through the tunnel)"
