#!/usr/bin/env bash
# Bring-up and teardown of one full-routing tunnel in the namespace world of the
# tunnel test: our service (request sent to reply read) beside wg-quick up/down
# for the same configuration, in the same run. Root only.
#   bench/tunnel_bringup.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
rounds=${2:-10}

source "$root/bench/world_service.sh" "$build"

cat >"$scratch/zvbench.conf" <<CONF
[Interface]
PrivateKey = $PC_KEY
Address = 10.240.0.2/32

[Peer]
PublicKey = $NODE_PUB
Endpoint = $NODE_ENDPOINT
AllowedIPs = 0.0.0.0/0, 10.240.0.1/32
PersistentKeepalive = 25
CONF
chmod 600 "$scratch/zvbench.conf"


: >"$scratch/our-up"; : >"$scratch/our-down"; : >"$scratch/quick-up"; : >"$scratch/quick-down"
for _ in $(seq "$rounds"); do
  "$build/tools/zv-control" -t start "$START_BODY" 2>>"$scratch/our-up" >/dev/null
  "$build/tools/zv-control" -t stop 2>>"$scratch/our-down" >/dev/null
  began=$(now_us)
  ip netns exec "$WORLD_PC" wg-quick up "$scratch/zvbench.conf" >/dev/null 2>&1
  echo $(($(now_us) - began)) >>"$scratch/quick-up"
  began=$(now_us)
  ip netns exec "$WORLD_PC" wg-quick down "$scratch/zvbench.conf" >/dev/null 2>&1
  echo $(($(now_us) - began)) >>"$scratch/quick-down"
done

printf '%-10s %14s %14s %8s\n' "median" "service (ms)" "wg-quick (ms)" "ratio"
for step in up down; do
  ours=$(median <"$scratch/our-$step")
  quick=$(median <"$scratch/quick-$step")
  awk -v s="$step" -v o="$ours" -v q="$quick" \
    'BEGIN {printf "%-10s %14.1f %14.1f %7.1fx\n", s, o / 1000, q / 1000, q / o}'
done
echo "($rounds rounds; ratio = wg-quick / service)"
