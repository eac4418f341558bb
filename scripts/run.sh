#!/usr/bin/env bash
# Sets up, builds and runs accelerator-service in the foreground on its control
# socket. As root it listens on /run/ViriZivadadivaz.Control.v1; otherwise, or
# when VIRI_ZIVADADIVAZ_CONTROL_SOCKET is set, on that path. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target accelerator-service zv-control

if [[ $(id -u) -ne 0 && -z "${VIRI_ZIVADADIVAZ_CONTROL_SOCKET:-}" ]]; then
  export VIRI_ZIVADADIVAZ_CONTROL_SOCKET="${XDG_RUNTIME_DIR:-/tmp}/ViriZivadadivaz.Control.v1"
fi
socket="${VIRI_ZIVADADIVAZ_CONTROL_SOCKET:-/run/ViriZivadadivaz.Control.v1}"

build/linux/service/accelerator-service &
service=$!
trap 'kill -TERM $service 2>/dev/null; wait $service' EXIT INT TERM
for _ in $(seq 50); do [[ -S $socket ]] && break; sleep 0.1; done

echo "accelerator-service is listening on $socket (pid $service)."
echo -n "QueryState -> "; build/linux/tools/zv-control query
echo "Talk to it with build/linux/tools/zv-control query|start|stop; Ctrl-C stops it."
wait $service
