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
#                 server answers through the second within 5 s of 开始加速, the
#                 window never says 正在加速 before the switch, says the switch,
#                 and its card names the second node
#   restart       the service is killed while accelerating and started again:
#                 the game server answers again and the window says the
#                 acceleration came back, without a click
#   client again  the client is killed while accelerating and started again: it
#                 shows the acceleration without a click, its stop takes the
#                 tunnel down, and its sign-in ends the session
#   busy service  the service answers 2 s late for a while: the window says it is
#                 busy, never that it is not running or answered wrongly
#   silent echoes the node drops the echoes to its tunnel address and no game
#                 traffic flows: the window says the latency is unknown, never broken
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
  [[ -f $state/helper.pid ]] && kill "$(cat "$state/helper.pid")"
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
((taken <= 5000))'
switched=$(grep -n -m1 ' status 节点 Hong Kong Node 1 无响应，已切换到 Hong Kong Test Node' "$last_state/timeline" | cut -d: -f1)
accelerating=$(grep -n -m1 ' status 正在加速' "$last_state/timeline" | cut -d: -f1)
[[ -n $switched ]] || fail "dead node: the window never said it switched: $(grep ' status ' "$last_state/timeline")"
((${accelerating:-0} > ${switched:-0})) || fail "dead node: 正在加速 before the second node answered"
grep -q ' route 当前节点：Hong Kong Test Node · 加速 IP' "$last_state/timeline" ||
  fail "dead node: the card never named the node in use: $(grep ' route ' "$last_state/timeline")"
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

# The client killed while accelerating, then started again with the road's
# --take-up: its first run waits in its check until it is killed.
echo "--- client again"
state=$(mktemp -d)
if stack_up "$build" "$state"; then
  pristine=$(pc_network)
  { check_preamble; echo 'echo $$ >$stack_state/check.pid; answers_within 2 && exec sleep 600'; } >"$state/check.sh"
  ZV_ROAD_TIMELINE=$state/timeline QT_QPA_PLATFORM=offscreen \
    "$build/client/zv-road" "$DEMO_ACCOUNT" "$DEMO_PASSWORD" "$state" bash "$state/check.sh" >"$state/first.log" 2>&1 &
  first=$!
  for _ in $(seq 80); do [[ -s $state/check.pid ]] && grep -q ' quality 延迟' "$state/timeline" && break; sleep 0.25; done
  kill -KILL "$first" "$(cat "$state/check.pid" 2>/dev/null)" 2>/dev/null
  wait "$first" 2>/dev/null
  { check_preamble; echo 'answers_within 2'; } >"$state/again.sh"
  ZV_ROAD_TIMELINE=$state/again QT_QPA_PLATFORM=offscreen \
    "$build/client/zv-road" --take-up "$DEMO_ACCOUNT" "$DEMO_PASSWORD" "$state" bash "$state/again.sh" ||
    { fail "client again: the road did not reach its end:"; cat "$state/first.log"; grep -v " quality " "$state/again" | tail -8; }
  [[ -z $(wg show "$WORLD_NODE_IF" peers) ]] || fail "client again: the node still has the session's peer"
  grep -q 'DELETE /api/v1/acceleration/sessions/.* -> 204' "$state/backend.log" || fail "client again: the session was not ended"
  [[ "$(pc_network)" == "$pristine" ]] || fail "client again: the stop left: $(diff <(echo "$pristine") <(pc_network))"
else
  fail "client again: the stack did not come up"
fi
stack_down
rm -rf "$state"

# A service busy for a while: every answer comes 2 s late through a socket in front of it.
road "busy service" '
answers_within 2 || exit 1
touch $stack_state/slow
seen quality 本地加速服务正忙 10 || exit 1
sleep 3
rm $stack_state/slow
seen quality 延迟 10' '"$build/tools/zv-slow-socket" "$state/slow.sock" "$VIRI_ZIVADADIVAZ_CONTROL_SOCKET" "$state/slow" 2000 &
echo $! >"$state/helper.pid"
for _ in $(seq 40); do [[ -S $state/slow.sock ]] && break; sleep 0.05; done
export VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$state/slow.sock'
if grep -q ' status 后台加速服务未运行\| status 服务响应格式不正确\| quality .*后台加速服务未运行' "$last_state/timeline"; then
  fail "busy service: a busy service was called stopped: $(grep -m1 '未运行\|格式不正确' "$last_state/timeline")"
fi
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
if grep -q ' quality 线路中断\| status 线路中断\| status 加速节点无响应' "$last_state/timeline"; then
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
seen status "\(线路中断\|加速节点无响应\)" 20 || exit 1
echo "the window said the path broke $(ms_since mark the) ms after the node fell silent"
ip netns exec $WORLD_NODE nft delete table inet zv_silence
echo "$(date +%s%3N) mark the node answers again" >>$timeline
seen quality 延迟 30 && seen status 正在加速 1'
# A service that tells the machine's own path names the hop: the node.
[[ $(grep -c ' status \(线路中断\|加速节点无响应\)' "$last_state/timeline") -eq 1 ]] ||
  fail "silent node: the break was not told once: $(grep ' status ' "$last_state/timeline")"
rm -rf "$last_state"

[[ $failures -eq 0 ]] && echo "every road passed"
exit $((failures > 0))
