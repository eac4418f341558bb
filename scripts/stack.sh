# The whole product on one machine, sourced by the demo and the end-to-end
# test (root only): the namespace world of the tunnel test, the reference
# backend on loopback, and the service inside the pc namespace. The client
# runs in the host's namespace: it reaches the backend on 127.0.0.1 and the
# service through its socket.
#   stack_up BUILD_DIR STATE_DIR   then   stack_down
# Sets VIRI_ZIVADADIVAZ_API_URL and VIRI_ZIVADADIVAZ_CONTROL_SOCKET for the client.
# STACK_SERVICE names another service program than the build's (an installed one).
# STACK_BACKEND_OPTIONS adds zv-backend options, such as a node offered before
# the demo's own: --node 192.0.2.1:51820,KEY (an address nobody answers at).

source "$(dirname "${BASH_SOURCE[0]}")/../service/tests/netns/world.sh"
DEMO_ACCOUNT=demo@zentravolk.com
DEMO_PASSWORD=demo-pass-2026
stack_service_pid=""
stack_backend_pid=""

backend_start() {
  local earlier
  earlier=$(grep -c 'listening on' "$stack_state/backend.log" 2>/dev/null)
  "$stack_build/tools/zv-backend" --database "$stack_state/backend.sqlite" --port "${stack_port:-0}" \
    --node-interface "$WORLD_NODE_IF" --node-endpoint "$NODE_ENDPOINT" --node-public-key "$NODE_PUB" \
    ${STACK_BACKEND_OPTIONS:-} >>"$stack_state/backend.log" 2>&1 &  # split into its words on purpose
  stack_backend_pid=$!
  local line=""
  for _ in $(seq 100); do
    # Only this start's line counts: a restart logs into the same file.
    line=$(grep -o 'listening on http://127.0.0.1:[0-9]*' "$stack_state/backend.log" | sed -n "$((${earlier:-0} + 1))p")
    [[ -n $line ]] && break
    sleep 0.05
  done
  stack_port=${line##*:}
  [[ -n $stack_port ]] || { echo "the backend did not start: $(cat "$stack_state/backend.log")" >&2; return 1; }
  export VIRI_ZIVADADIVAZ_API_URL=http://127.0.0.1:$stack_port
}

backend_stop() {
  if [[ -n $stack_backend_pid ]]; then
    kill "$stack_backend_pid" 2>/dev/null
    wait "$stack_backend_pid" 2>/dev/null || true
  fi
  stack_backend_pid=""
}

stack_up() {
  stack_build=$1
  stack_state=$2
  world_up --no-peer
  backend_start || return 1
  export VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$stack_state/control.sock
  service_start
}

# Starts the service in the pc and waits until it serves; a socket left by a
# killed one is there already, so it asks.
service_start() {
  in_pc "${STACK_SERVICE:-$stack_build/service/accelerator-service}" >>"$stack_state/service.log" 2>&1 &
  stack_service_pid=$!
  for _ in $(seq 100); do
    "$stack_build/tools/zv-control" query >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "the service did not start: $(tail -3 "$stack_state/service.log")" >&2
  return 1
}

# Never stops half way: it runs from traps, possibly under set -e.
stack_down() {
  set +e
  if [[ -n $stack_service_pid ]]; then
    kill -TERM "$stack_service_pid" 2>/dev/null
    wait "$stack_service_pid" 2>/dev/null || true
    stack_service_pid=""
  fi
  backend_stop
  world_down
}
