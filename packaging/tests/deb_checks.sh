#!/usr/bin/env bash
# The Debian package as a user meets it, installed on this machine: the service
# enabled for boot, the menu entry and its icons, the installed client and key
# tool working, the installed service accelerating the whole road. Removal
# stops a running service (its tunnel goes down) and undoes what a killed
# service left; purge leaves the machine as it was. Root only. Both removals
# run in the test's pc namespace, where the tunnels are.
#   deb_checks.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root: it installs a package"; exit 1; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
failures=0
lib=/usr/lib/zentravolk
socket=/run/ViriZivadadivaz.Control.v1
if dpkg -s zentravolk >/dev/null 2>&1; then
  echo "FAIL: zentravolk is installed here already; this check would replace it"
  exit 1
fi

(cd "$build" && cpack >/dev/null 2>&1) || { echo "FAIL: cpack"; exit 1; }
package=$(ls "$build"/packages/zentravolk_*_amd64.deb)
[[ $(dpkg-deb -f "$package" Version) == "$(sed -n 's/^project(Zentravolk VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")" ]] ||
  fail "the package's version is not the project's"

# What the package and its scripts can make beyond the files it ships: the
# unit's enablement that deb-systemd-helper keeps, and the service's run-time
# files. Only these are checked after the purge, so the check does not depend
# on what else this machine holds; the users' own settings must stay.
made_at_run_time=(
  /etc/systemd/system/multi-user.target.wants/accelerator-service.service
  /var/lib/systemd/deb-systemd-helper-enabled/accelerator-service.service.dsh-also
  /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/accelerator-service.service
  /var/lib/systemd/deb-systemd-helper-masked/accelerator-service.service
  "$socket" "$socket.state"
)
user_settings="$HOME/.config/ZENTRAVOLK COM LLC/ZENTRAVOLK.conf"
mkdir -p "$(dirname "$user_settings")"
printf '[device]\nid=kept-by-the-user\n' >"$user_settings"
source "$root/service/tests/netns/world.sh"
scratch=$(mktemp -d)
cleanup() {
  [[ -n ${service_pid:-} ]] && kill -9 "$service_pid" 2>/dev/null
  dpkg --purge zentravolk >/dev/null 2>&1
  world_down
  rm -rf "$scratch"
}
trap cleanup EXIT

install_package() {
  dpkg -i "$package" >"$scratch/dpkg.log" 2>&1 || apt-get -f install -y --no-install-recommends >>"$scratch/dpkg.log" 2>&1 ||
    { fail "dpkg -i: $(tail -3 "$scratch/dpkg.log")"; exit 1; }
}

# start_service: the installed service in the pc on the default socket, a full tunnel up through it.
start_service() {
  in_pc "$lib/accelerator-service" 2>>"$scratch/service.log" &
  service_pid=$!
  for _ in $(seq 100); do [[ -S $socket ]] && break; sleep 0.05; done
  reply=$(VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$socket "$build/tools/zv-control" start "$START_BODY")
  [[ $reply == *'{"state":"accelerating"}'* ]] || fail "the installed service did not start a tunnel: $reply"
  ip netns exec "$WORLD_PC" ping -c 1 -W 2 "$GAME_SERVER" >/dev/null || fail "no answer through the tunnel"
}

install_package
# Its own files (not the shared folders it puts them in) and its own folder.
shipped=$(dpkg -L zentravolk | while read -r path; do [[ -d $path ]] || echo "$path"; done; echo "$lib")
unit=$(dpkg -L zentravolk | grep '/systemd/system/accelerator-service.service$')
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ $exec_start == "$lib/accelerator-service" && -x $exec_start ]] || fail "the unit starts '$exec_start'"
[[ -L /etc/systemd/system/multi-user.target.wants/accelerator-service.service ]] || fail "the service is not enabled"
desktop=/usr/share/applications/zentravolk-client.desktop
desktop-file-validate "$desktop" || fail "the menu entry is not valid"
[[ $(command -v "$(sed -n 's/^Exec=//p' "$desktop")") == /usr/bin/zentravolk-client ]] || fail "the menu entry's program"
[[ -f /usr/share/icons/hicolor/256x256/apps/$(sed -n 's/^Icon=//p' "$desktop").png ]] || fail "no icon for the menu"
[[ $("$lib/orvekind" keypair) == '{"private_key":"'*'","public_key":"'*'"}' ]] || fail "the installed key tool"
QT_QPA_PLATFORM=offscreen zentravolk-client >"$scratch/client.log" 2>&1 &
client=$!
sleep 2
kill -0 $client 2>/dev/null || fail "the installed client ended: $(tail -3 "$scratch/client.log")"
kill $client 2>/dev/null; wait $client 2>/dev/null

STACK_SERVICE=$exec_start "$root/scripts/e2e_test.sh" "$build" >"$scratch/e2e.log" 2>&1 ||
  fail "the road with the installed service: $(grep -E 'FAIL' "$scratch/e2e.log" | head -3)"

world_up
pristine=$(pc_network)
start_service
ip netns exec "$WORLD_PC" dpkg -r zentravolk >"$scratch/dpkg.log" 2>&1 || fail "dpkg -r: $(tail -3 "$scratch/dpkg.log")"
wait "$service_pid" 2>/dev/null
service_pid=""
[[ "$(pc_network)" == "$pristine" ]] || fail "removal left: $(diff <(echo "$pristine") <(pc_network))"
[[ ! -e /etc/systemd/system/multi-user.target.wants/accelerator-service.service ]] || fail "still enabled after removal"

install_package
start_service
kill -9 "$service_pid"
wait "$service_pid" 2>/dev/null
service_pid=""
[[ -e $socket.state/tunnel ]] || fail "the killed service left no record to undo"
ip netns exec "$WORLD_PC" dpkg --purge zentravolk >"$scratch/dpkg.log" 2>&1 || fail "dpkg --purge: $(tail -3 "$scratch/dpkg.log")"
[[ "$(pc_network)" == "$pristine" ]] || fail "a killed service's tunnel survived the purge: $(diff <(echo "$pristine") <(pc_network))"
left=$(for path in $shipped "${made_at_run_time[@]}" /var/lib/dpkg/info/zentravolk.*; do
  [[ -e $path || -L $path ]] && echo "$path"; done)
[[ -z $left ]] || fail "the purge left the package's own: $left"
[[ $(cat "$user_settings" 2>/dev/null) == *kept-by-the-user* ]] || fail "the purge took a user's settings"

[[ $failures -eq 0 ]] && echo "the package installed, worked, and was removed without a trace"
exit $((failures > 0))
