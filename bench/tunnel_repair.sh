#!/usr/bin/env bash
# How long a running full tunnel takes to carry traffic again after the
# network moves under it, in the namespace world of the tunnel test: from the
# change (the active uplink taken down; the wireguard-go helper killed) to the
# first reply of the game server through the tunnel. Root only.
#   bench/tunnel_repair.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
rounds=${2:-10}

source "$root/bench/world_service.sh" "$build"
"$build/tools/zv-control" start "$START_BODY" >/dev/null

answers() { ip netns exec "$WORLD_PC" ping -c 1 -W 0.05 "$GAME_SERVER" >/dev/null 2>&1; }
# Microseconds from `began` until the game server answers through the tunnel (at most 10 s).
until_answered() {
  local began=$1
  until answers || (($(now_us) - began > 10000000)); do :; done
  echo $(($(now_us) - began))
}
endpoint_on() { [[ $(ip -n "$WORLD_PC" route get 10.201.0.2) == *"dev $1"* ]]; }

until answers; do sleep 0.05; done
: >"$scratch/uplink"; : >"$scratch/helper"
for _ in $(seq "$rounds"); do
  began=$(now_us)
  ip -n "$WORLD_PC" link set pc0 down
  until_answered "$began" >>"$scratch/uplink"
  ip -n "$WORLD_PC" link set pc0 up
  ip -n "$WORLD_PC" route add default via 10.200.0.1 dev pc0 metric 0
  until endpoint_on pc0 && answers; do sleep 0.05; done

  # A fresh tunnel each round: repeated losses of one tunnel wait longer, then leave it down.
  "$build/tools/zv-control" stop >/dev/null
  "$build/tools/zv-control" start "$START_BODY" >/dev/null
  until answers; do sleep 0.05; done
  began=$(now_us)
  pkill -KILL -P "$service_pid" -x wireguard-go
  until_answered "$began" >>"$scratch/helper"
done
awk -v u="$(median <"$scratch/uplink")" -v h="$(median <"$scratch/helper")" -v r="$rounds" 'BEGIN {
  printf "uplink down to first reply: %.0f ms\nhelper killed to first reply: %.0f ms\n(%d rounds, medians)\n",
         u / 1000, h / 1000, r }'
