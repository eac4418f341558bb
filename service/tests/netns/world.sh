# A small world of network namespaces, sourced by the tunnel test and the
# tunnel benchmark (root only):
#   pc   two uplinks to net: pc0 10.200.0.2/24, the default route (metric 0),
#        and pc1 10.202.0.2/24, a second default route (metric 10)
#   net  the path between: 10.200.0.1 and 10.202.0.1 toward pc, 10.201.0.1 toward node; it
#        forwards, but knows no route to the game server
#   node the acceleration node: 10.201.0.2, a wireguard-go peer on UDP 51820
#        with tunnel address 10.240.0.1/24, and the game server 198.51.100.7,
#        which the pc can reach only through the tunnel (world_gain_servers adds
#        two that it reaches both ways)
# world_up [--no-peer] sets WORLD_PC, WORLD_NODE, PC_KEY, NODE_PUB and START_BODY;
# the node knows PC_KEY's public key as its peer unless --no-peer (then a
# backend provisions peers). world_down removes everything world_up made,
# whatever state it is in.

world_id=${WORLD_ID:-$$}  # one world per id: several may live side by side
WORLD_PC=zv-pc-$world_id
WORLD_NET=zv-net-$world_id
WORLD_NODE=zv-node-$world_id
WORLD_NODE_IF=zvn$world_id
GAME_SERVER=198.51.100.7
NODE_ENDPOINT=10.201.0.2:51820

world_up() {
  local ns
  world_sweep_orphans
  for ns in "$WORLD_PC" "$WORLD_NET" "$WORLD_NODE"; do
    ip netns add "$ns"
    # No duplicate address detection, so link-local addresses do not change state under a comparison.
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0
    ip -n "$ns" link set lo up
  done
  # ip netns exec reads this in place of the host's resolver: a router with no
  # name server, so a lookup fails at once instead of timing out.
  mkdir -p "/etc/netns/$WORLD_PC"
  echo "nameserver 10.200.0.1" >"/etc/netns/$WORLD_PC/resolv.conf"
  ip link add pc0 netns "$WORLD_PC" type veth peer name net-pc netns "$WORLD_NET"
  ip link add pc1 netns "$WORLD_PC" type veth peer name net-pc1 netns "$WORLD_NET"
  ip link add net-node netns "$WORLD_NET" type veth peer name node0 netns "$WORLD_NODE"
  ip -n "$WORLD_PC" addr add 10.200.0.2/24 dev pc0
  ip -n "$WORLD_NET" addr add 10.200.0.1/24 dev net-pc
  ip -n "$WORLD_NET" addr add 10.201.0.1/24 dev net-node
  ip -n "$WORLD_PC" addr add 10.202.0.2/24 dev pc1
  ip -n "$WORLD_NET" addr add 10.202.0.1/24 dev net-pc1
  ip -n "$WORLD_NODE" addr add 10.201.0.2/24 dev node0
  ip -n "$WORLD_PC" link set pc0 up
  ip -n "$WORLD_NET" link set net-pc up
  ip -n "$WORLD_NET" link set net-node up
  ip -n "$WORLD_PC" link set pc1 up
  ip -n "$WORLD_NET" link set net-pc1 up
  ip -n "$WORLD_NODE" link set node0 up
  ip -n "$WORLD_PC" route add default via 10.200.0.1 metric 0
  ip -n "$WORLD_PC" route add default via 10.202.0.1 metric 10
  ip -n "$WORLD_NODE" route add default via 10.201.0.1
  ip netns exec "$WORLD_NET" sysctl -qw net.ipv4.ip_forward=1
  ip -n "$WORLD_NODE" addr add "$GAME_SERVER/32" dev lo

  PC_KEY=$(wg genkey)
  local pc_pub node_key
  pc_pub=$(wg pubkey <<<"$PC_KEY")
  node_key=$(wg genkey)
  NODE_PUB=$(wg pubkey <<<"$node_key")
  ip netns exec "$WORLD_NODE" env LOG_LEVEL=error wireguard-go -f "$WORLD_NODE_IF" >/dev/null 2>&1 &
  world_node_helper=$!
  for _ in $(seq 200); do [[ -S /var/run/wireguard/$WORLD_NODE_IF.sock ]] && break; sleep 0.02; done
  ip netns exec "$WORLD_NODE" wg set "$WORLD_NODE_IF" listen-port 51820 private-key <(echo "$node_key")
  [[ ${1:-} == --no-peer ]] || ip netns exec "$WORLD_NODE" wg set "$WORLD_NODE_IF" peer "$pc_pub" allowed-ips 10.240.0.2/32
  ip -n "$WORLD_NODE" addr add 10.240.0.1/24 dev "$WORLD_NODE_IF"
  ip -n "$WORLD_NODE" link set "$WORLD_NODE_IF" up

  START_BODY=$(start_body '["0.0.0.0/0"]' "$PC_KEY" "$NODE_ENDPOINT" full)
}

# start_body ALLOWED_IPS_JSON PRIVATE_KEY ENDPOINT ROUTE_MODE [GAME_PROCESSES_JSON]
start_body() {
  printf '{"private_key":"%s","assigned_ip":"10.240.0.2/32","server_public_key":"%s","endpoint":"%s",' \
    "$2" "$NODE_PUB" "$3"
  printf '"route_mode":"%s","allowed_ips":%s,"game_processes":%s}' "$4" "$1" "${5:-[\"cs2.exe\"]}"
}

# Runs a program in the pc as the service runs there. `ip netns exec` gives it a
# /sys of its own with no cgroup hierarchy mounted; the unified one goes at
# /sys/fs/cgroup, where a modern distribution has it. `exec` keeps the pid.
in_pc() {
  exec ip netns exec "$WORLD_PC" sh -c 'mount -t cgroup2 cgroup2 /sys/fs/cgroup 2>/dev/null; exec "$@"' sh "$@"
}

# What the pc's network looks like: compared before a start and after a stop.
# Routes and addresses are sorted: a link that went down and up lists them anew.
pc_network() {
  ip -n "$WORLD_PC" -o link show | sed 's/^[0-9]*: //; s/ qlen.*//'
  ip -n "$WORLD_PC" -o addr show | sort
  ip -n "$WORLD_PC" route show table all | sort
  ip -n "$WORLD_PC" rule show
  ip -n "$WORLD_PC" -6 rule show
  ip netns pids "$WORLD_PC" | xargs -r ps -o args= -p | grep -x "wireguard-go -f ZENTRAVOLK" || true
  ip netns exec "$WORLD_PC" sysctl -n net.ipv4.conf.all.rp_filter
}

# Two more servers on the node that the pc reaches both ways, directly and
# through the tunnel, for measuring what the acceleration gains.
GAIN_SERVER=203.0.113.7
SILENT_SERVER=203.0.113.8
world_gain_servers() {
  ip -n "$WORLD_NODE" addr add "$GAIN_SERVER/32" dev lo
  ip -n "$WORLD_NODE" addr add "$SILENT_SERVER/32" dev lo
  ip -n "$WORLD_NET" route add 203.0.113.0/24 via 10.201.0.2
}

world_down() {
  if [[ -n ${world_node_helper:-} ]]; then
    kill "$world_node_helper" 2>/dev/null
    wait "$world_node_helper" 2>/dev/null
  fi
  local ns
  for ns in "$WORLD_PC" "$WORLD_NET" "$WORLD_NODE"; do world_remove "$ns"; done
  return 0
}

# A namespace and whatever still runs in it: a process started into a world
# outlives the namespace's name otherwise. The node's helper keeps its socket
# in the machine's /run, where a killed one leaves it.
world_remove() {
  ip netns pids "$1" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
  ip netns del "$1" 2>/dev/null
  rm -rf "/etc/netns/$1"
  [[ $1 != zv-node-* ]] || rm -f "/var/run/wireguard/zvn${1#zv-node-}.sock"
}

# Worlds whose run was killed: a test's time-out ends it with SIGKILL, which no
# trap sees. Their id starts with the pid of the run that made them.
world_sweep_orphans() {
  local ns
  for ns in $(ip netns list | cut -d' ' -f1) $(cd /var/run/wireguard 2>/dev/null && ls | sed -n 's/^zvn\(.*\)\.sock$/zv-node-\1/p'); do
    [[ $ns =~ ^zv-(pc|net|node)-([0-9]+)b?$ ]] || continue
    kill -0 "${BASH_REMATCH[2]}" 2>/dev/null || world_remove "$ns"
  done
}
