#!/usr/bin/env bash
# What the client costs while it sits there: its CPU share and resident memory
# over SECONDS, idle (signed out, window shown) and accelerating (zv-road's
# window with the quality line polled each second), on the demo's stack.
# Root only (the stack lives in network namespaces).
#   bench/client_load.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
seconds=${2:-20}
[[ $(id -u) -eq 0 ]] || { echo "needs root: the stack lives in network namespaces" >&2; exit 1; }

source "$root/scripts/stack.sh"
state=$(mktemp -d)
trap 'stack_down; rm -rf "$state"' EXIT
stack_up "$build" "$state" >/dev/null

# The sampler: CPU ticks and VmRSS of PID over SECONDS, after two to settle.
cat >"$state/sample.sh" <<'SAMPLE'
pid=$1 seconds=$2 what=$3
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
sleep 2
before=$(ticks)
sleep "$seconds"
after=$(ticks)
awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v s="$seconds" -v what="$what" \
  -v rss="$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")" \
  'BEGIN { printf "%s: cpu %.2f %% of a core, resident %d MiB\n", what, 100 * t / hz / s, rss / 1024 }'
SAMPLE

QT_QPA_PLATFORM=offscreen "$build/client/zentravolk-client" >/dev/null 2>&1 &
client=$!
bash "$state/sample.sh" "$client" "$seconds" idle
kill "$client"
wait "$client" 2>/dev/null || true

# zv-road runs the sampler as its check while the tunnel is up; the sampler's parent is the window.
QT_QPA_PLATFORM=offscreen "$build/client/zv-road" "$DEMO_ACCOUNT" "$DEMO_PASSWORD" "$state" \
  bash -c 'bash "$0" "$PPID" "$1" accelerating' "$state/sample.sh" "$seconds" 2>/dev/null | grep -v '^\['
