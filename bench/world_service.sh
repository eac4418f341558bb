# Sourced by the tunnel benchmarks (root only): the namespace world of the
# tunnel test, and the build's service in its pc on a socket of its own, ready
# for requests. Everything is removed on exit. Sets scratch and service_pid.
#   source bench/world_service.sh BUILD_DIR
[[ $(id -u) -eq 0 ]] || { echo "needs root: it creates network namespaces" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/../service/tests/netns/world.sh"
scratch=$(mktemp -d)
service_pid=""
world_service_down() {
  [[ -n $service_pid ]] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  world_down
  rm -rf "$scratch"
}
trap world_service_down EXIT
world_up
export VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$scratch/control.sock
in_pc "$1/service/accelerator-service" 2>/dev/null &
service_pid=$!
for _ in $(seq 100); do "$1/tools/zv-control" query >/dev/null 2>&1 && break; sleep 0.05; done

now_us() { echo $(($(date +%s%N) / 1000)); }
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
