#!/usr/bin/env bash
# Whole accelerations with every real part: the client (offscreen, driven
# through its widgets by zv-road), orvekind, the reference backend, the service
# and wireguard-go nodes, each road in a world of its own.
#   the road      while up the game server answers through the tunnel, the node
#                 has a handshake with the one peer the backend provisioned, the
#                 split's rule for the game's marked sockets is there, and the
#                 backend is restarted: its sessions live in SQLite, so the stop
#                 that follows still ends the session
#   dead node     the backend offers first a node nobody answers at: the game
#                 server answers through the second within 10 s of 开始加速
#   restart       the service is killed while accelerating and started again:
#                 the game server answers again and the window says the
#                 acceleration came back, without a click
#   silent echoes the node drops the echoes to its tunnel address but forwards
#                 the game: the window says the latency is unknown, never broken
#   silent node   the node drops everything: the window says the path broke (once,
#                 and how long that took), and is back to accelerating by itself
#                 when the node answers again
# After each, the node has no peer, the backend saw the deletion, and the pc is
# as it was.
#   e2e_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root: it creates network namespaces"; exit 1; }
source "$(dirname "$0")/stack.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The first lines of every check, which runs inside zv-road while the tunnel is up.
check_preamble() {
  cat <<CHECK
set -u
source "$(dirname "$0")/stack.sh"
WORLD_PC=$WORLD_PC WORLD_NODE=$WORLD_NODE WORLD_NODE_IF=$WORLD_NODE_IF NODE_PUB=$NODE_PUB
stack_build=$build stack_state=$state stack_port=$stack_port stack_backend_pid=$stack_backend_pid
stack_service_pid=$stack_service_pid
timeline=$state/timeline
# answers_within SECONDS: the game server answers through the tunnel within SECONDS.
answers_within() {
  for _ in \$(seq \$((\$1 * 4))); do
    ip netns exec \$WORLD_PC ping -c 1 -W 1 $GAME_SERVER >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  echo "the game server did not answer within \$1 s"
  return 1
}
# seen WHAT TEXT SECONDS: the window showed TEXT in that line (status or quality), after the
# timeline's last mark if it has one, within SECONDS.
seen() {
  for _ in \$(seq \$((\$3 * 4))); do
    tac \$timeline | sed "/ mark /q" | grep -q " \$1 \$2" && return 0
    sleep 0.25
  done
  echo "never: \$2"
  return 1
}
# ms_since WHAT TEXT: milliseconds from the timeline's first such line to now.
ms_since() { echo \$((\$(date +%s%3N) - \$(grep -m1 "^[0-9]* \$1 \$2" \$timeline | cut -d' ' -f1))); }
CHECK
}

# road NAME CHECK_BODY [SETUP]: one acceleration in a world of its own; SETUP
# runs once the world is up, before the client starts.
road() {
  local name=$1 body=$2 setup=${3:-}
  echo "--- $name"
  state=$(mktemp -d)
  if ! stack_up "$build" "$state"; then
    fail "$name: the stack did not come up"
    stack_down
    return
  fi
  local pristine
  pristine=$(pc_network)
  [[ -n $setup ]] && eval "$setup"
  { check_preamble; echo "$body"; } >"$state/check.sh"
  ZV_ROAD_TIMELINE=$state/timeline QT_QPA_PLATFORM=offscreen \
    "$build/client/zv-road" "$DEMO_ACCOUNT" "$DEMO_PASSWORD" "$state" bash "$state/check.sh" ||
    { fail "$name: the road did not reach its end, the window's last lines:"; grep -v " quality " "$state/timeline" | tail -8; }
  # A check may have restarted the backend or the service.
  [[ -f $state/backend.pid ]] && stack_backend_pid=$(cat "$state/backend.pid")
  if [[ -f $state/service.pid ]]; then
    { wait "$stack_service_pid"; } 2>/dev/null  # the killed one, quietly
    stack_service_pid=$(cat "$state/service.pid")
  fi
  [[ -s $state/signed-in.png && -s $state/accelerating.png ]] || fail "$name: no screenshots of the window"
  [[ -z $(wg show "$WORLD_NODE_IF" peers) ]] || fail "$name: the node still has the session's peer"
  grep -q 'DELETE /api/v1/acceleration/sessions/.* -> 204' "$state/backend.log" ||
    fail "$name: the session was not deleted: $(tail -5 "$state/backend.log")"
  [[ "$(pc_network)" == "$pristine" ]] || fail "$name: the pc kept: $(diff <(echo "$pristine") <(pc_network))"
  last_state=$state
  stack_down
}
trap 'stack_down; rm -rf "${state:-}"' EXIT

road "the road" '
answers_within 2 || exit 1
ip -n $WORLD_PC rule show | grep -q "fwmark 0x5a56" || { echo "not in split routing: no rule for the game'"'"'s mark"; exit 1; }
peers=$(wg show $WORLD_NODE_IF latest-handshakes)
[[ $(wc -l <<<"$peers") -eq 1 && $(awk "{print \$2}" <<<"$peers") -gt 0 ]] || { echo "node peers: $peers"; exit 1; }
backend_stop
backend_start || exit 1
echo $stack_backend_pid >$stack_state/backend.pid'
[[ $(grep -c 'listening on' "$last_state/backend.log") -eq 2 ]] || fail "the road: the backend was not restarted"
rm -rf "$last_state"

# 192.0.2.1 is a documentation address: nothing answers there.
dead_node() { STACK_BACKEND_OPTIONS="--node 192.0.2.1:51820,$(wg genkey | wg pubkey)" road "$@"; }
dead_node "dead node" '
answers_within 10 || exit 1
taken=$(ms_since click 开始加速)
echo "the game server answered through the second node $taken ms after 开始加速"
((taken <= 10000))'
grep -q '正在切换到' "$last_state/timeline" || fail "dead node: the window never said it was switching"
rm -rf "$last_state"

road "restart" '
kill -KILL $stack_service_pid
killed=$(date +%s%3N)
seen status 本地加速服务已停止 5 || exit 1
service_start || exit 1
echo $stack_service_pid >$stack_state/service.pid
answers_within 15 || exit 1
echo "the game server answers through a new tunnel $(($(date +%s%3N) - killed)) ms after the kill"
seen status 本地加速服务已重新启动，加速已自动恢复 10'
rm -rf "$last_state"

road "silent echoes" '
answers_within 2 || exit 1
sleep 15
answers_within 1' 'ip netns exec "$WORLD_NODE" nft -f - <<<"table inet zv_echo {
  chain input {
    type filter hook input priority 0
    ip daddr 10.240.0.1 icmp type echo-request drop
  }
}"'
grep -q ' quality 延迟未知' "$last_state/timeline" || fail "silent echoes: the window never said the latency is unknown"
if grep -q ' quality 线路中断\| status 线路中断' "$last_state/timeline"; then
  fail "silent echoes: the window called the path broken: $(grep -m1 '线路中断' "$last_state/timeline")"
fi
rm -rf "$last_state"

road "silent node" '
answers_within 2 || exit 1
echo "$(date +%s%3N) mark the node falls silent" >>$timeline
ip netns exec $WORLD_NODE nft -f - <<<"table inet zv_silence {
  chain input {
    type filter hook input priority 0
    udp dport 51820 drop
  }
}"
seen status 线路中断 10 || exit 1
echo "the window said the path broke $(ms_since mark the) ms after the node fell silent"
ip netns exec $WORLD_NODE nft delete table inet zv_silence
echo "$(date +%s%3N) mark the node answers again" >>$timeline
seen quality 延迟 30 && seen status 正在加速 1'
[[ $(grep -c ' status 线路中断' "$last_state/timeline") -eq 1 ]] ||
  fail "silent node: the break was not told once: $(grep ' status ' "$last_state/timeline")"
rm -rf "$last_state"

[[ $failures -eq 0 ]] && echo "every road passed"
exit $((failures > 0))
