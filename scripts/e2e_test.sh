#!/usr/bin/env bash
# One whole acceleration with every real part: the client (offscreen, driven
# through its widgets by zv-road), orvekind, the reference backend, the service
# and a wireguard-go node. While the tunnel is up the game server must answer
# through it, the node must have a handshake with the one peer the backend
# provisioned, the split's rule for the game's marked sockets must be there
# (split routing), and the backend is restarted: its sessions and tokens live
# in SQLite, so the stop that follows still ends the session. Afterwards the node
# has no peer, the backend saw the deletion, and the pc is as it was.
#   e2e_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root: it creates network namespaces"; exit 1; }
source "$(dirname "$0")/stack.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

state=$(mktemp -d)
cleanup() {
  [[ -f $state/backend.pid ]] && stack_backend_pid=$(cat "$state/backend.pid")
  stack_down
  rm -rf "$state"
}
trap cleanup EXIT
stack_up "$build" "$state" || exit 1
pristine=$(pc_network)

# Runs inside zv-road while the tunnel is up.
cat >"$state/while_up.sh" <<CHECK
set -u
source "$(dirname "$0")/stack.sh"
WORLD_PC=$WORLD_PC WORLD_NODE_IF=$WORLD_NODE_IF NODE_PUB=$NODE_PUB
stack_build=$build stack_state=$state stack_port=$stack_port stack_backend_pid=$stack_backend_pid
ip netns exec \$WORLD_PC ping -c 2 -W 2 $GAME_SERVER >/dev/null || { echo "no answer through the tunnel"; exit 1; }
ip -n \$WORLD_PC rule show | grep -q "fwmark 0x5a56" || { echo "not in split routing: no rule for the game's mark"; exit 1; }
peers=\$(wg show \$WORLD_NODE_IF latest-handshakes)
[[ \$(wc -l <<<"\$peers") -eq 1 && \$(awk '{print \$2}' <<<"\$peers") -gt 0 ]] || { echo "node peers: \$peers"; exit 1; }
backend_stop
backend_start || exit 1
echo \$stack_backend_pid >"$state/backend.pid"
CHECK

QT_QPA_PLATFORM=offscreen "$build/client/zv-road" "$DEMO_ACCOUNT" "$DEMO_PASSWORD" "$state" \
  bash "$state/while_up.sh" || fail "the road did not reach its end"

[[ -s $state/signed-in.png && -s $state/accelerating.png ]] || fail "no screenshots of the window"
[[ -z $(wg show "$WORLD_NODE_IF" peers) ]] || fail "the node still has the session's peer"
grep -q 'POST /api/v1/acceleration/sessions -> 201' "$state/backend.log" || fail "no session was created"
grep -q 'DELETE /api/v1/acceleration/sessions/.* -> 204' "$state/backend.log" ||
  fail "the session was not deleted after the backend's restart: $(tail -5 "$state/backend.log")"
[[ $(grep -c 'listening on' "$state/backend.log") -eq 2 ]] || fail "the backend was not restarted"
[[ "$(pc_network)" == "$pristine" ]] || fail "the pc kept: $(diff <(echo "$pristine") <(pc_network))"

[[ $failures -eq 0 ]] && echo "the whole road passed"
exit $((failures > 0))
