#!/usr/bin/env bash
# The real service in a namespace world brings up a real tunnel to a
# wireguard-go node, routes a game server through it, and leaves the pc's
# network exactly as it found it after every stop and every failed start.
#   tunnel_netns_test.sh SERVICE CONTROL_TOOL SPLIT_PROBE
set -uo pipefail
service_program=$1
control=$2
split_probe=$3
[[ $(id -u) -eq 0 ]] || { echo "needs root: it creates network namespaces"; exit 1; }

source "$(dirname "$0")/world.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
# within SECONDS COMMAND: true once COMMAND succeeds, tried every 0.1 s.
within() { for _ in $(seq $(($1 * 10))); do eval "$2" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }

socket_dir=$(mktemp -d)
export VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$socket_dir/control.sock
record=$VIRI_ZIVADADIVAZ_CONTROL_SOCKET.state/tunnel
service_pid=""
start_service() {
  in_pc "$service_program" &
  service_pid=$!
  # A killed run leaves its socket: only an answer tells that this one listens.
  for _ in $(seq 100); do "$control" query >/dev/null 2>&1 && return; sleep 0.05; done
  fail "the service never answered"
}
kill_service() {
  kill -KILL "$service_pid"
  wait "$service_pid" 2>/dev/null
  service_pid=""
}
stop_service() {
  [[ -n $service_pid ]] || return 0
  kill -TERM "$service_pid" 2>/dev/null
  wait "$service_pid"
  local code=$?
  service_pid=""
  return $code
}
cleanup() {
  stop_service
  world_down
  rm -rf "$socket_dir"
}
trap cleanup EXIT

ask() { "$control" "$@" 2>&1; }
wait_for() { for _ in $(seq 100); do eval "$1" >/dev/null 2>&1 && return 0; sleep 0.05; done; return 1; }

world_up
# A host route to the endpoint that the host had before: used, never taken away.
ip -n "$WORLD_PC" route add 10.201.0.2/32 via 10.200.0.1 dev pc0 proto static
pristine=$(pc_network)
expect_same() {
  [[ "$(pc_network)" == "$pristine" ]] || fail "$1 left this behind: $(diff <(echo "$pristine") <(pc_network))"
  [[ ! -e $record ]] || fail "$1 left the tunnel record behind"
}

ip netns exec "$WORLD_PC" ping -c 1 -W 1 "$GAME_SERVER" >/dev/null && fail "the game server is reachable without the tunnel"
start_service

echo "== full routing"
expect_eq "start" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
expect_eq "query" "$(ask query)" 'status 0 {"state":"accelerating"}'
expect_eq "second start" "$(ask start "$START_BODY")" 'status 4 {"error":"tunnel_already_running"}'
wait_for "ip netns exec $WORLD_PC ping -c 1 -W 1 $GAME_SERVER" || fail "the game server is not reached through the tunnel"
handshake=$(ip netns exec "$WORLD_NODE" wg show "$WORLD_NODE_IF" latest-handshakes | awk '{print $2}')
[[ ${handshake:-0} -gt 0 ]] || fail "no handshake with the node"
[[ ! -e /run/wireguard/ZENTRAVOLK.sock ]] || fail "the helper's socket is in the machine's /run, where another service meets it"
received=$(ip netns exec "$WORLD_NODE" wg show "$WORLD_NODE_IF" transfer | awk '{print $2}')
[[ ${received:-0} -gt 0 ]] || fail "the node's peer counters saw nothing"
route_of() { ip -n "$WORLD_PC" route get "$1" | head -1; }
[[ $(route_of "$GAME_SERVER") == *"dev ZENTRAVOLK"* ]] || fail "the game server is not routed into the tunnel: $(route_of "$GAME_SERVER")"
[[ $(route_of 10.201.0.2) == *"dev pc0"* ]] || fail "the endpoint left the physical path: $(route_of 10.201.0.2)"
[[ $(route_of 10.200.0.1) == *"dev pc0"* ]] || fail "the LAN went into the tunnel: $(route_of 10.200.0.1)"
ip netns exec "$WORLD_PC" ping -c 1 -W 1 10.200.0.1 >/dev/null || fail "the LAN is not reachable while accelerating"
# One process holding 145 half-sent requests (the header's first bytes) costs only itself:
# the client, another process of the same user, gets 8 answers of 8, each within its second.
python3 -c '
import socket, sys, time
held = []
for _ in range(145):
    s = socket.socket(socket.AF_UNIX)
    s.setblocking(False)
    try:
        s.connect(sys.argv[1])
        s.send(b"CCAG\x01\x00")
        held.append(s)
    except OSError:
        pass
print(len(held), flush=True)
time.sleep(30)' "$VIRI_ZIVADADIVAZ_CONTROL_SOCKET" >"$socket_dir/held" &
holder=$!
wait_for "[[ -s $socket_dir/held ]]" || fail "the half-sent requests were never sent"
answers=0
for _ in $(seq 8); do [[ $(timeout 1 "$control" query 2>&1) == *accelerating* ]] && answers=$((answers + 1)); done
expect_eq "answers beside $(cat "$socket_dir/held") half-sent requests" "$answers" 8
kill "$holder"
wait "$holder" 2>/dev/null
expect_eq "stop" "$(ask stop)" 'status 0 {"state":"idle"}'
expect_same "a stop"
expect_eq "query after stop" "$(ask query)" 'status 0 {"state":"idle"}'

echo "== refused starts"
short_key=$(head -c 31 /dev/urandom | base64)
while read -r name body code; do
  expect_eq "$name" "$(ask start "$body")" "status 4 {\"error\":\"$code\"}"
  expect_same "$name"
done <<ROWS
short-key $(start_body '["0.0.0.0/0"]' "$short_key" "$NODE_ENDPOINT" full) invalid_private_key
unresolvable $(start_body '["0.0.0.0/0"]' "$PC_KEY" nowhere.invalid:51820 full) invalid_endpoint
prefix-33 $(start_body '["10.0.0.0/33"]' "$PC_KEY" "$NODE_ENDPOINT" full) invalid_allowed_ip
port-0 $(start_body '["0.0.0.0/0"]' "$PC_KEY" 10.201.0.2:0 full) invalid_endpoint
split-no-name $(start_body '["198.51.100.0/24"]' "$PC_KEY" "$NODE_ENDPOINT" process-beta '[""]') smart_split_process_rules_empty
ROWS
expect_eq "query after refusals" "$(ask query)" 'status 0 {"state":"idle"}'

echo "== a prefix with host bits"
expect_eq "host bits" "$(ask start "$(start_body '["198.51.100.7/24"]' "$PC_KEY" "$NODE_ENDPOINT" full)")" \
  'status 0 {"state":"accelerating"}'
wait_for "ip netns exec $WORLD_PC ping -c 1 -W 1 $GAME_SERVER" || fail "the game server is not reached through 198.51.100.0/24"
expect_eq "stop (host bits)" "$(ask stop)" 'status 0 {"state":"idle"}'
expect_same "a start with host bits"

echo "== service stop while accelerating"
expect_eq "start again" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
stop_service || fail "the service did not end cleanly"
expect_same "stopping the service"

echo "== a killed service is cleaned up at the next start"
for host_route in kept removed; do
  if [[ $host_route == removed ]]; then  # now the endpoint route is the service's own
    ip -n "$WORLD_PC" route del 10.201.0.2/32 via 10.200.0.1 dev pc0 proto static
    pristine=$(pc_network)
  fi
  start_service
  expect_eq "start ($host_route)" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
  [[ -f $record ]] || fail "no record of the running tunnel"
  kill_service
  [[ "$(pc_network)" != "$pristine" ]] || fail "the killed service left nothing, so this proves nothing"
  start_service
  expect_same "the start after a kill ($host_route host route)"
  [[ ! -e $record ]] || fail "the record outlived the recovery"
  expect_eq "start after recovery" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
  expect_eq "stop after recovery" "$(ask stop)" 'status 0 {"state":"idle"}'
  stop_service
done

echo "== a kill at any instant of a start"
# A start takes some tens of milliseconds; kills spread over it and past it.
start_service
for delay_ms in 0 1 2 3 4 5 6 7 8 9 10 12 14 16 18 20 25 30 40 60; do
  "$control" start "$START_BODY" >/dev/null 2>&1 &
  starter=$!
  sleep "$(printf '0.%03d' "$delay_ms")"
  kill_service
  wait "$starter" 2>/dev/null
  start_service
  expect_eq "start after a kill at ${delay_ms} ms" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
  expect_eq "stop after a kill at ${delay_ms} ms" "$(ask stop)" 'status 0 {"state":"idle"}'
  expect_same "a kill at ${delay_ms} ms and the recovery"
done

echo "== rules a run without its record left behind"
# The same rules are there before the start: it must still route through the tunnel.
ip -n "$WORLD_PC" rule add pref 31350 table main suppress_prefixlength 0
ip -n "$WORLD_PC" rule add pref 31351 table 31350
expect_eq "start over left rules" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
wait_for "ip netns exec $WORLD_PC ping -c 1 -W 1 $GAME_SERVER" || fail "left rules kept the game server out of the tunnel"
expect_eq "stop over left rules" "$(ask stop)" 'status 0 {"state":"idle"}'
expect_same "a start over left rules"
stop_service

echo "== split routing: only the game, and its LAN and resolver stay direct"
# The game server can now be reached directly too, so a wrong choice still gets
# an answer, but from the wrong source. The router answers as the LAN's resolver.
ip -n "$WORLD_NET" route add "$GAME_SERVER/32" via 10.201.0.2
echo_on() { ip netns exec "$1" python3 "$(dirname "$0")/echo_source.py" "$2" "$3" >"$socket_dir/echo-$3.log" 2>&1 & }
echo_on "$WORLD_NODE" "$GAME_SERVER" 7777
game_echo=$!
echo_on "$WORLD_NET" 10.200.0.1 53
resolver_echo=$!
# A second LAN on the uplink, in a range no list calls private.
ip -n "$WORLD_PC" addr add 100.64.5.2/24 dev pc0
ip -n "$WORLD_NET" addr add 100.64.5.1/24 dev net-pc
pristine=$(pc_network)
echo_on "$WORLD_NET" 100.64.5.1 7778
lan_echo=$!
wait_for "grep -q ready $socket_dir/echo-7777.log && grep -q ready $socket_dir/echo-53.log && grep -q ready $socket_dir/echo-7778.log" ||
  fail "the echoes did not start"
games=$(mktemp -d)
chmod 755 "$games"  # another user runs a copy too
for name in zvgame.exe zvother übergame.exe zvgame-of-a-long-name.exe zvgame-of-a-long-name.bak; do
  cp "$split_probe" "$games/$name"
done
ln -s "$games/zvgame.exe" "$games/play"  # started through a link, its task name is the link's
seen_from() { ip netns exec "$WORLD_PC" "$games/$1" "${@:2}" 2>&1; }
seen_by_server() { seen_from "$1" "$2" "$GAME_SERVER" 7777; }
# Programs are counted by the ids this world's service holds, never by name:
# another test run or the demo may be splitting on this machine too.
cgroup=$(awk '$3 == "cgroup2" {print $2; exit}' /proc/mounts)
service_programs() { sed -n 's/^prog_id:\s*//p' /proc/"$service_pid"/fdinfo/* 2>/dev/null | sort -u; }
attached() { bpftool cgroup show "$cgroup" 2>/dev/null | awk -v ids=" $* " '$NF == "mark_game_socket" && index(ids, " " $1 " ")' | wc -l; }
split_body=$(start_body '["203.0.113.0/24"]' "$PC_KEY" "$NODE_ENDPOINT" process-beta \
  '["ZVGAME.EXE","zvgame-of-a-long-name.exe","ÜBERGAME.EXE"]')
split_checks() {  # LABEL: the game's traffic and everyone else's while a split tunnel runs
  # Started after the tunnel and measured from its first packet: the tracker has not seen it yet.
  expect_eq "$1: a new game's first UDP packet" "$(seen_by_server zvgame.exe udp)" 10.240.0.2
  expect_eq "$1: the game's TCP" "$(seen_by_server zvgame.exe tcp)" 10.240.0.2
  expect_eq "$1: the game's query to its LAN resolver" "$(seen_from zvgame.exe udp 10.200.0.1 53)" 10.200.0.2
  expect_eq "$1: the game's LAN host" "$(seen_from zvgame.exe tcp 10.200.0.1 53)" 10.200.0.2
  expect_eq "$1: the game's LAN in a public range" "$(seen_from zvgame.exe udp 100.64.5.1 7778)" 100.64.5.2
  expect_eq "$1: a child the linked game forks" "$(seen_from play fork 300 udp "$GAME_SERVER" 7777)" 10.240.0.2
  # A name longer than a task's: only the tracker's word keeps it the game once its first thread has gone.
  expect_eq "$1: a game whose first thread has ended" \
    "$(seen_from zvgame-of-a-long-name.exe leave 2500 udp "$GAME_SERVER" 7777)" 10.240.0.2
  # Names the kernel cannot tell alone are the tracker's to confirm, within a moment of the start.
  expect_eq "$1: a game named in another case, not in ASCII" "$(seen_from übergame.exe fork 300 udp "$GAME_SERVER" 7777)" 10.240.0.2
  expect_eq "$1: a game whose name is longer than a task's" \
    "$(seen_from zvgame-of-a-long-name.exe fork 300 udp "$GAME_SERVER" 7777)" 10.240.0.2
  expect_eq "$1: a program whose name shares the game's first 15 bytes" \
    "$(seen_from zvgame-of-a-long-name.bak fork 300 udp "$GAME_SERVER" 7777)" 10.200.0.2
  # Wine starts a game as its own loader, the game's Windows path its first argument.
  expect_eq "$1: a game under its Windows path" "$(ip netns exec "$WORLD_PC" bash -c \
    'exec -a "C:\\Games\\ZvGame.exe" "$0" fork 300 udp "$1" 7777' "$games/zvother" "$GAME_SERVER" 2>&1)" 10.240.0.2
  expect_eq "$1: another program's UDP" "$(seen_by_server zvother udp)" 10.200.0.2
  expect_eq "$1: another program's TCP" "$(seen_by_server zvother tcp)" 10.200.0.2
  expect_eq "$1: another user's program named like the game" \
    "$(ip netns exec "$WORLD_PC" setpriv --reuid=65534 --regid=65534 --clear-groups "$games/zvgame.exe" udp "$GAME_SERVER" 7777 2>&1)" \
    10.200.0.2
  # In another namespace a marked socket would meet the router's own rule for the mark and be refused.
  expect_eq "$1: a program named like the game in another namespace" \
    "$(ip netns exec "$WORLD_NET" "$games/zvgame.exe" udp "$GAME_SERVER" 7777 2>&1)" 10.201.0.1
}
ip -n "$WORLD_NET" rule add fwmark 0x5a56 prohibit

start_service
# The user's game in another network namespace (another container's, or a second run of this test):
# none of this split's, whose marks stay in this one.
ip netns exec "$WORLD_NET" bash -c 'exec -a zvgame.exe sleep 60' &
elsewhere_game=$!
expect_eq "split start" "$(ask start "$split_body")" 'status 0 {"state":"accelerating"}'
wait_for "ip netns exec $WORLD_PC ping -c 1 -W 1 -I ZENTRAVOLK 10.240.0.1" || fail "no handshake in split routing"
game_before_start() { ask quality | grep -o '"game_before_start":[a-z]*'; }
expect_eq "no game before the split's start (one in another namespace)" "$(game_before_start)" '"game_before_start":false'
kill "$elsewhere_game"
split_checks "split"
ip -n "$WORLD_PC" rule del pref 31340  # as another program may
within 2 '[[ $(seen_by_server zvgame.exe udp) == 10.240.0.2 ]]' || fail "the split's rule taken away: not made again"
ip -n "$WORLD_PC" route flush table 31352  # as a network manager may, with routes it did not make
within 2 '[[ $(seen_by_server zvgame.exe udp) == 10.240.0.2 ]]' || fail "the split's routes taken away: not made again"
ip -n "$WORLD_PC" route del throw 10.0.0.0/8 table 31352  # one alone; the third repair waits 2 s
within 5 '[[ -n $(ip -n "$WORLD_PC" route show table 31352 10.0.0.0/8) ]]' || fail "one of the split's routes taken away: not made again"
# Another VPN's catch-all in main takes everyone else's traffic, never the game's.
ip -n "$WORLD_PC" route add 0.0.0.0/1 via 10.202.0.1
ip -n "$WORLD_PC" route add 128.0.0.0/1 via 10.202.0.1
within 2 '[[ $(seen_by_server zvgame.exe udp) == 10.240.0.2 ]]' || fail "another VPN's catch-all took the game"
ip -n "$WORLD_PC" route del 0.0.0.0/1 via 10.202.0.1
ip -n "$WORLD_PC" route del 128.0.0.0/1 via 10.202.0.1
split_programs=$(service_programs)
expect_eq "programs attached while splitting" "$(attached $split_programs)" 1
expect_eq "split stop" "$(ask stop)" 'status 0 {"state":"idle"}'
expect_eq "programs attached after the stop" "$(attached $split_programs)" 0
expect_eq "the game after the stop" "$(seen_by_server zvgame.exe udp)" 10.200.0.2
expect_same "a split tunnel"

# A hardened machine filters reverse paths strictly: the game's replies come in on the tunnel.
ip netns exec "$WORLD_PC" sysctl -qw net.ipv4.conf.all.rp_filter=1 net.ipv4.conf.default.rp_filter=1
pristine=$(pc_network)
ip netns exec "$WORLD_PC" bash -c 'exec -a zvgame.exe sleep 60' &  # a game already running, as wine names it
running_game=$!
expect_eq "split start, strict reverse paths" "$(ask start "$split_body")" 'status 0 {"state":"accelerating"}'
wait_for "ip netns exec $WORLD_PC ping -c 1 -W 1 -I ZENTRAVOLK 10.240.0.1" || fail "no handshake, strict reverse paths"
expect_eq "a game before the split's start" "$(game_before_start)" '"game_before_start":true'
kill "$running_game"
split_checks "strict reverse paths"
expect_eq "split stop, strict reverse paths" "$(ask stop)" 'status 0 {"state":"idle"}'
expect_same "a split tunnel on a machine with strict reverse paths"
ip netns exec "$WORLD_PC" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
pristine=$(pc_network)

expect_eq "split start again" "$(ask start "$split_body")" 'status 0 {"state":"accelerating"}'
split_programs=$(service_programs)
[[ $(attached $split_programs) == 1 ]] || fail "no program attached before the kill: this proves nothing"
kill_service
expect_eq "programs attached after a killed service" "$(attached $split_programs)" 0
start_service
expect_same "a killed split service and its recovery"
stop_service
kill "$game_echo" "$resolver_echo" "$lan_echo" 2>/dev/null
wait "$game_echo" "$resolver_echo" "$lan_echo" 2>/dev/null
rm -rf "$games"
ip -n "$WORLD_PC" addr del 100.64.5.2/24 dev pc0
ip -n "$WORLD_NET" addr del 100.64.5.1/24 dev net-pc
pristine=$(pc_network)
ip -n "$WORLD_NET" rule del fwmark 0x5a56 prohibit
ip -n "$WORLD_NET" route del "$GAME_SERVER/32" via 10.201.0.2

echo "== what the acceleration gains, both ways, and where a broken path breaks"
# The node answers echoes in user space, to the gain's server later directly
# than through the tunnel; the game talks UDP to it, TCP to a server that
# answers no echoes. Every figure must come within 15 s of the game's packet.
world_gain_servers
ip netns exec "$WORLD_NODE" sysctl -qw net.ipv4.icmp_echo_ignore_all=1
answer_echoes() {  # TUNNEL_MS DIRECT_MS
  [[ -z ${echo_answers:-} ]] || { kill "$echo_answers"; wait "$echo_answers"; } 2>/dev/null
  ip netns exec "$WORLD_NODE" python3 "$(dirname "$0")/echo_delays.py" "$GAIN_SERVER" "$1" "$2" "$SILENT_SERVER" \
    >"$socket_dir/echoes.log" 2>&1 &
  echo_answers=$!
  wait_for "grep -q ready $socket_dir/echoes.log" || fail "the node's echoes did not start"
}
echo_on "$WORLD_NODE" "$GAIN_SERVER" 27015
gain_echo=$!
games=$(mktemp -d)
chmod 755 "$games"
cp "$split_probe" "$games/zvgame.exe"
# figure NAME: a member of QueryQuality as it stands, empty when it is absent.
figure() { [[ $(ask quality) =~ \"$1\":\"?([^\",}]*) ]] && echo "${BASH_REMATCH[1]}"; }
measured() { [[ -n $(figure game_direct_ms) && -n $(figure game_tunnel_ms) ]]; }
game_talks() {  # LABEL PROTOCOL SERVER PORT: within 15 s of its packet, both figures
  ip netns exec "$WORLD_PC" "$games/zvgame.exe" "$2" "$3" "$4" >/dev/null 2>&1
  within 15 "[[ \$(figure game_address) == $3 ]] && measured" || fail "$1: not measured within 15 s: $(ask quality)"
  echo "$1: $(ask quality)"
}
answer_echoes 10 60
start_service
expect_eq "full start (gain)" "$(ask start "$(start_body '["0.0.0.0/0"]' "$PC_KEY" "$NODE_ENDPOINT" full '["ZVGAME.EXE"]')")" \
  'status 0 {"state":"accelerating"}'
# The watch starts beside the tunnel's start and sees the sockets made after it.
watching() { [[ $(ls -l "/proc/$service_pid/fd" | grep -c bpf_link) -ge 6 ]]; }
wait_for watching || fail "full routing: the game's traffic is not watched"
expect_eq "before the game talked" "$(figure game_probe)/$(figure game_address)/$(figure uplink)" "none//up"
game_talks "full routing" udp "$GAIN_SERVER" 27015
[[ $(figure game_probe) == icmp && $(figure game_direct_ms) -ge 55 && $(figure game_direct_ms) -le 75 &&
  $(figure game_tunnel_ms) -ge 5 && $(figure game_tunnel_ms) -le 25 ]] || fail "direct 60 ms, tunnel 10 ms: $(ask quality)"
ip -n "$WORLD_PC" link set pc0 down
ip -n "$WORLD_PC" link set pc1 down
within 8 '[[ $(figure uplink) == down ]]' || fail "the pc's uplinks down: $(ask quality)"
echo "the pc's uplinks down: $(ask quality)"
ip -n "$WORLD_PC" link set pc0 up
ip -n "$WORLD_PC" link set pc1 up
ip -n "$WORLD_PC" route add default via 10.200.0.1 metric 0
ip -n "$WORLD_PC" route add default via 10.202.0.1 metric 10
within 8 '[[ $(figure uplink) == up ]]' || fail "the pc's uplinks back: $(ask quality)"
kill -STOP "$world_node_helper"  # the node's tunnel falls silent, its host still answers
within 10 '[[ $(figure silent_ms) -ge 4000 ]]' || fail "the node's helper stopped: the tunnel is not silent: $(ask quality)"
[[ -n $(figure node_direct_ms) && $(figure uplink) == up ]] || fail "the node's helper stopped: its host unheard: $(ask quality)"
echo "the node's helper stopped: $(ask quality)"
kill -CONT "$world_node_helper"
within 10 '[[ $(figure silent_ms) -lt 2000 ]]' || fail "the node's helper again: the tunnel is still silent: $(ask quality)"
expect_eq "stop (gain)" "$(ask stop)" 'status 0 {"state":"idle"}'
answered=$(wc -l <"$socket_dir/echoes.log")
sleep 6
expect_eq "echoes sent while idle" "$(($(wc -l <"$socket_dir/echoes.log") - answered))" 0
answer_echoes 60 10
expect_eq "split start (gain)" \
  "$(ask start "$(start_body '["198.51.100.0/24"]' "$PC_KEY" "$NODE_ENDPOINT" process-beta '["ZVGAME.EXE"]')")" \
  'status 0 {"state":"accelerating"}'
game_talks "split routing, the tunnel slower" udp "$GAIN_SERVER" 27015
(($(figure game_direct_ms) < $(figure game_tunnel_ms))) || fail "direct 10 ms, tunnel 60 ms: $(ask quality)"
game_talks "split routing, a server that answers no echoes" tcp "$SILENT_SERVER" 27016
expect_eq "the echo-less server's probe" "$(figure game_probe)" tcp
expect_eq "stop (gain, split)" "$(ask stop)" 'status 0 {"state":"idle"}'
stop_service
kill "$echo_answers" "$gain_echo" 2>/dev/null
wait "$echo_answers" "$gain_echo" 2>/dev/null
rm -rf "$games"
ip netns exec "$WORLD_NODE" sysctl -qw net.ipv4.icmp_echo_ignore_all=0
expect_same "measuring the gain"

echo "== the tunnel follows the network under it"
# A full tunnel carries a ping to the game server; each change must be repaired within 2 s.
game_answers="ip netns exec $WORLD_PC ping -c 1 -W 1 $GAME_SERVER"
endpoint_on() { [[ $(route_of 10.201.0.2) == *"dev $1"* ]]; }
start_service
expect_eq "start (network changes)" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
wait_for "$game_answers" || fail "the game server is not reached before any change"
# The service's own echoes to the node through the tunnel: what the client's quality line shows.
node_answers_echoes() { [[ $(ask quality) =~ \"rtt_ms\":[0-9]+,\"loss_percent\":[0-9]+,\"silent_ms\":[0-9]{1,3}, ]]; }
wait_for node_answers_echoes || fail "the node does not answer the service's echoes: $(ask quality)"
# The only uplink loses its address and gets it back on the same network (a
# Wi-Fi drop, a resume): the address took the endpoint route with it.
ip -n "$WORLD_PC" route del default via 10.202.0.1
ip -n "$WORLD_PC" addr del 10.200.0.2/24 dev pc0
sleep 0.5
ip -n "$WORLD_PC" addr add 10.200.0.2/24 dev pc0
ip -n "$WORLD_PC" route add default via 10.200.0.1 metric 0
within 2 "endpoint_on pc0 && $game_answers" || fail "the same network back: the endpoint is off it ($(route_of 10.201.0.2))"
ip -n "$WORLD_PC" route add default via 10.202.0.1 metric 10
# An administrator's route identical to the endpoint route, added after the start, is not ours.
ip -n "$WORLD_PC" route append 10.201.0.2/32 via 10.200.0.1 dev pc0 proto static

ip -n "$WORLD_PC" link set pc0 down
within 2 "endpoint_on pc1 && $game_answers" || fail "uplink down: not back through pc1 ($(route_of 10.201.0.2))"
ip -n "$WORLD_PC" link set pc0 up
ip -n "$WORLD_PC" route add default via 10.200.0.1 dev pc0 metric 0
within 2 "endpoint_on pc0 && $game_answers" || fail "uplink back: not back through pc0 ($(route_of 10.201.0.2))"

ip -n "$WORLD_PC" link set pc0 down
ip -n "$WORLD_PC" link set pc0 up
within 2 "$game_answers" || fail "a flap of the uplink: the game server did not answer again"
ip -n "$WORLD_PC" route add default via 10.200.0.1 dev pc0 metric 0
within 2 "endpoint_on pc0 && $game_answers" || fail "after the flap: not back through pc0"
ip -n "$WORLD_PC" route append 10.201.0.2/32 via 10.200.0.1 dev pc0 proto static  # the flap took it away

pkill -KILL -P "$service_pid" -x wireguard-go || fail "no helper to kill"
within 2 "$game_answers" || fail "a killed helper: the game server did not answer again"
expect_eq "query after the helper died" "$(ask query)" 'status 0 {"state":"accelerating"}'
ip -n "$WORLD_PC" rule del pref 31351  # as another program may
within 2 "$game_answers" || fail "the tunnel's rule taken away: not made again"
ip -n "$WORLD_PC" route flush table 31350
within 2 "$game_answers" || fail "the tunnel's routes taken away: not made again"

expect_eq "stop (network changes)" "$(ask stop)" 'status 0 {"state":"idle"}'
[[ $(ip -n "$WORLD_PC" route show 10.201.0.2/32) == *"via 10.200.0.1 dev pc0"* ]] ||
  fail "the stop took the administrator's route"
ip -n "$WORLD_PC" route del 10.201.0.2/32 via 10.200.0.1 dev pc0
expect_same "the network changes and their repairs"

# The request's IPv6 networks are routed, and made again when taken away; once
# the tunnel's interface has no IPv6 they have nothing to carry, and the
# tunnel is built once more without them rather than repaired forever.
v6_body=$(start_body '["0.0.0.0/0","2001:db8::/32"]' "$PC_KEY" "$NODE_ENDPOINT" full)
expect_eq "start with an IPv6 network" "$(ask start "$v6_body")" 'status 0 {"state":"accelerating"}'
wait_for "$game_answers" || fail "with an IPv6 network: the game server is not reached"
sleep 1.5  # the start's own news has settled: a tunnel whose routes all stand is left as it is
[[ $(ask quality) =~ \"up_ms\":([0-9]+) && ${BASH_REMATCH[1]} -ge 1000 ]] || fail "with an IPv6 network: built again ($(ask quality))"
ip -n "$WORLD_PC" -6 route del 2001:db8::/32 table 31350
within 2 '[[ -n $(ip -n "$WORLD_PC" -6 route show table 31350 2001:db8::/32) ]]' || fail "the tunnel's IPv6 route taken away: not made again"
ip netns exec "$WORLD_PC" sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv6.conf.ZENTRAVOLK.disable_ipv6=1
sleep 1
path_up() { [[ $(ask quality) == *'"path":"up"'* ]]; }
within 2 "path_up && $game_answers" || fail "the tunnel's interface without IPv6: $(ask quality)"
expect_eq "stop without IPv6" "$(ask stop)" 'status 0 {"state":"idle"}'
ip netns exec "$WORLD_PC" sysctl -qw net.ipv6.conf.default.disable_ipv6=0
expect_same "a tunnel whose interface lost IPv6"

# A helper that cannot start (its interface name is taken) is tried again and
# again: the acceleration stays held, the quality tells the repair, a refused
# start changes nothing, and once the helper can start the game server answers
# again without any request.
expect_eq "start (a long repair)" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
wait_for "$game_answers" || fail "the game server is not reached before the repair"
kill -STOP "$service_pid"  # so that its first rebuild already finds the name taken
pkill -KILL -P "$service_pid" -x wireguard-go || fail "no helper to kill"
for _ in $(seq 500); do ip -n "$WORLD_PC" link show ZENTRAVOLK >/dev/null 2>&1 || break; sleep 0.002; done
ip netns exec "$WORLD_PC" ip tuntap add ZENTRAVOLK mode tun
kill -CONT "$service_pid"
repairing='"path":"repairing","repair_ms":[0-9]+,"reason":"create_adapter_failed_17"'
for second in $(seq 25); do
  expect_eq "query while repairing, second $second" "$(ask query)" 'status 0 {"state":"accelerating"}'
  ((second % 5 == 2)) && { [[ $(ask quality) =~ $repairing ]] || fail "quality while repairing: $(ask quality)"; }
  sleep 1
done
expect_eq "a refused start while repairing" "$(ask start '')" 'status 4 {"error":"tunnel_already_running"}'
[[ $(ask quality) =~ $repairing ]] || fail "the refused start changed the repair: $(ask quality)"
ip -n "$WORLD_PC" link del ZENTRAVOLK
within 20 "$game_answers" || fail "the tunnel did not come back by itself once the helper could start"
[[ $(ask quality) == *'"path":"up"'* ]] || fail "quality once repaired: $(ask quality)"
expect_eq "stop after the repair" "$(ask stop)" 'status 0 {"state":"idle"}'
expect_same "a long repair and its stop"
stop_service

echo "== answers never wait for a repair"
# A helper that starts but never makes its interface holds each rebuild for its
# whole bound. Every answer comes at once meanwhile, and a stop ends the repair.
helper_switch=$socket_dir/wireguard-go real_helper=$socket_dir/wireguard-go.real
touch "$real_helper"
printf '#!/bin/bash\n[[ -e %s ]] && exec -a wireguard-go sleep 600\nexec -a wireguard-go %s "$@"\n' \
  "$socket_dir/hang" "$real_helper" >"$helper_switch"
chmod 755 "$helper_switch"
ip netns exec "$WORLD_PC" sh -c 'mount --bind /usr/bin/wireguard-go "$1" && mount --bind "$2" /usr/bin/wireguard-go &&
  { mount -t cgroup2 cgroup2 /sys/fs/cgroup 2>/dev/null; exec "$3"; }' sh "$real_helper" "$helper_switch" "$service_program" &
service_pid=$!
wait_for "$control query" || fail "the service with a switched helper never answered"
expect_eq "start (a hung repair)" "$(ask start "$START_BODY")" 'status 0 {"state":"accelerating"}'
wait_for "$game_answers" || fail "the game server is not reached before the hung repair"
touch "$socket_dir/hang"
pkill -KILL -P "$service_pid" -f wireguard-go || fail "no helper to kill"
milliseconds() { echo $(($(date +%s%N) / 1000000)); }
slowest=0
for ((until = SECONDS + 60; SECONDS < until;)); do
  for operation in query quality; do
    started=$(milliseconds)
    "$control" "$operation" >/dev/null 2>&1 || fail "$operation unanswered during a hung repair"
    took=$(($(milliseconds) - started))
    ((took > slowest)) && slowest=$took
  done
  sleep 0.1
done
((slowest <= 100)) || fail "an answer took $slowest ms during a hung repair"
[[ $(ask quality) == *'"path":"repairing"'* ]] || fail "no repair under way: $(ask quality)"
started=$(milliseconds)
expect_eq "a stop during a hung repair" "$(ask stop)" 'status 0 {"state":"idle"}'
took=$(($(milliseconds) - started))
((took <= 100)) || fail "the stop during a hung repair took $took ms"
echo "the slowest answer over 60 s of a hung repair: $slowest ms; the stop: $took ms"
rm -f "$socket_dir/hang"
expect_same "a stop during a hung repair"
stop_service

echo "== two services in two namespace worlds at once"
second_socket=$socket_dir/second.sock
(
  WORLD_ID=${world_id}b
  source "$(dirname "$0")/world.sh"
  trap 'kill -TERM $second_service 2>/dev/null; wait $second_service 2>/dev/null; world_down' EXIT
  world_up
  second_pristine=$(pc_network)
  VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$second_socket in_pc "$service_program" &
  second_service=$!
  for _ in $(seq 100); do VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$second_socket "$control" query >/dev/null 2>&1 && break; sleep 0.05; done
  echo "$START_BODY" >"$socket_dir/second-body"
  echo "$WORLD_PC" >"$socket_dir/second-pc"
  touch "$socket_dir/second-ready"
  while [[ ! -e $socket_dir/second-done ]]; do sleep 0.05; done
  VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$second_socket "$control" stop >/dev/null
  [[ "$(pc_network)" == "$second_pristine" ]] || echo "the second world kept: $(diff <(echo "$second_pristine") <(pc_network))" \
    >"$socket_dir/second-failure"
) &
second_world=$!
wait_for "[[ -e $socket_dir/second-ready ]]" || fail "the second world did not come up"
start_service
ask start "$START_BODY" >"$socket_dir/first-start" &
first_start=$!
VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$second_socket "$control" start "$(cat "$socket_dir/second-body")" >"$socket_dir/second-start"
wait "$first_start"
expect_eq "the first world's start beside the second" "$(cat "$socket_dir/first-start")" 'status 0 {"state":"accelerating"}'
expect_eq "the second world's start beside the first" "$(cat "$socket_dir/second-start")" 'status 0 {"state":"accelerating"}'
wait_for "$game_answers" || fail "the first world's game server is not reached"
wait_for "ip netns exec $(cat "$socket_dir/second-pc") ping -c 1 -W 1 $GAME_SERVER" || fail "the second world's game server is not reached"
expect_eq "the first world's stop" "$(ask stop)" 'status 0 {"state":"idle"}'
touch "$socket_dir/second-done"
wait "$second_world"
[[ ! -e $socket_dir/second-failure ]] || fail "$(cat "$socket_dir/second-failure")"
expect_same "two worlds side by side"
stop_service

[[ $failures -eq 0 ]] && echo "all tunnel checks passed"
exit $((failures > 0))
