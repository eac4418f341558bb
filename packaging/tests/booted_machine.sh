#!/usr/bin/env bash
# The package on a Debian desktop booted for real: systemd and logind as in a
# user's machine, in a container whose network is the test world's pc. The
# package is installed with dpkg, the service started by systemd, and a user
# logged in with a real logind session accelerates through the real tunnel in
# split routing with the real client (offscreen, driven by zv-road). Restarts,
# a killed service, a user without a session, removal and purge: each must
# leave the network and the machine as they were. The Debian root of each
# release is made once with debootstrap into the cache; each run boots a
# throwaway copy of it. The .deb is the one deb_checks.sh built and judged.
# Root only; drives the container from outside, never through a console.
#   booted_machine.sh BUILD_DIR RELEASE      (a Debian codename: bookworm, trixie)
set -uo pipefail
build=$(cd "$1" && pwd)
release=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root: it boots a container and makes network namespaces"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
package=$(ls "$build"/packages/zentravolk_*_amd64.deb) || { echo "FAIL: no package: deb_checks.sh builds it"; exit 1; }

# The root: a minimal Debian with systemd, logind and what the package needs,
# made once and kept in the cache under a name that changes with that list.
# The host's lintian has judged the package as its own release would; another
# release's lintian judges it inside that release's root.
needs=$(dpkg-deb -f "$package" Depends | tr ',' '\n' | sed 's/(.*)//; s/ //g')
own_lintian=""
[[ $release != "$(. /etc/os-release && echo "$VERSION_CODENAME")" ]] && own_lintian=lintian
base=(systemd systemd-sysv dbus libpam-systemd iproute2 iputils-ping procps python3)
packages=$(printf '%s\n' "${base[@]}" $needs $own_lintian | sort -u | paste -sd,)
cache=${ZV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zentravolk}
image=$cache/$release-desktop-$(sha256sum <<<"$packages" | cut -c1-12)
if [[ ! -f $image/.complete ]]; then
  echo "booted_machine: making the Debian $release root once (a minute or two) in $image"
  rm -rf "$image"
  mkdir -p "$cache"
  # debootstrap knows no package by what another provides (a later release's
  # libraries carry new names), so apt inside the root installs the package's needs.
  log=$cache/debootstrap-$release.log
  in_root() { chroot "$image" /usr/bin/env -i PATH=/usr/sbin:/usr/bin DEBIAN_FRONTEND=noninteractive "$@" >>"$log" 2>&1; }
  debootstrap --variant=minbase --include="$(IFS=,; echo "${base[*]}")" "$release" "$image" http://deb.debian.org/debian \
    >"$log" 2>&1 && in_root apt-get update -q && in_root apt-get install -y -q --no-install-recommends $needs $own_lintian &&
    in_root apt-get clean ||
    { echo "FAIL: making the root: $(tail -5 "$log")"; exit 1; }
  touch "$image/.complete"
fi

source "$source_dir/service/tests/netns/world.sh"
scratch=$(mktemp -d)
chmod 755 "$scratch"
nspawn="" backend=""
cleanup() {
  [[ -n $backend ]] && kill "$backend" 2>/dev/null && wait "$backend" 2>/dev/null
  if [[ -n $nspawn ]]; then
    kill -TERM "$nspawn" 2>/dev/null  # nspawn asks the container's systemd to power off
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn" 2>/dev/null
    wait "$nspawn" 2>/dev/null
  fi
  world_down
  rm -rf "$scratch"
}
trap cleanup EXIT
world_up --no-peer

# The reference backend inside the pc, where the container's 127.0.0.1 is.
ip netns exec "$WORLD_PC" "$build/tools/zv-backend" --database "$scratch/backend.sqlite" --port 0 \
  --node-interface "$WORLD_NODE_IF" --node-endpoint "$NODE_ENDPOINT" --node-public-key "$NODE_PUB" \
  >"$scratch/backend.log" 2>&1 &
backend=$!
for _ in $(seq 100); do grep -qs 'listening on' "$scratch/backend.log" && break; sleep 0.05; done
port=$(grep -o 'listening on http://127.0.0.1:[0-9]*' "$scratch/backend.log" | head -1 | sed 's/.*://')
[[ -n $port ]] || { echo "FAIL: the backend did not start: $(cat "$scratch/backend.log")"; exit 1; }
# A server of the game's outside the game's own networks (which every program
# reaches through the tunnel) answers with the address it saw; it is reachable
# directly too, so a program that goes the wrong way still gets an answer.
server=203.0.113.7
ip -n "$WORLD_NODE" addr add "$server/32" dev lo
ip -n "$WORLD_NET" route add "$server/32" via 10.201.0.2
ip netns exec "$WORLD_NODE" python3 "$source_dir/service/tests/netns/echo_source.py" "$server" 7777 \
  >"$scratch/echo.log" 2>&1 &

# A real machine gives its root every capability; a container gives its own only those it is told.
# Its /proc/sys/net is writable too, as a real machine's is (the service loosens the
# tunnel's reverse-path filter there); nspawn keeps it read-only unless told.
SYSTEMD_NSPAWN_API_VFS_WRITABLE=network systemd-nspawn -D "$image" --ephemeral --boot --register=no --keep-unit --console=pipe --quiet \
  --capability=CAP_NET_ADMIN,CAP_BPF,CAP_PERFMON --system-call-filter="bpf perf_event_open" \
  --network-namespace-path="/run/netns/$WORLD_PC" --bind-ro="$build:/zv/build" --bind-ro="$scratch:/zv/scratch" \
  >"$scratch/boot.log" 2>&1 </dev/null &
nspawn=$!
# The container's init: the systemd whose parent chain leads to nspawn.
init=""
for _ in $(seq 300); do
  for candidate in $(pgrep -x systemd); do
    parent=$(ps -o ppid= -p "$candidate" | tr -d ' ')
    [[ $parent == "$nspawn" || $(ps -o ppid= -p "$parent" 2>/dev/null | tr -d ' ') == "$nspawn" ]] && init=$candidate
  done
  [[ -n $init ]] && break
  sleep 0.1
done
[[ -n $init ]] || { echo "FAIL: the container did not boot: $(tail -5 "$scratch/boot.log")"; exit 1; }
# Its root too, whatever root this runs in; a step that hangs fails after two minutes rather than the whole run.
inside() { timeout -k 5 120 nsenter -t "$init" -a -r -w "$@"; }
for _ in $(seq 600); do  # its bus comes up a moment after its init
  state=$(inside systemctl is-system-running 2>&1)
  [[ $state == running || $state == degraded ]] && break
  sleep 0.1
done
[[ $state == running || $state == degraded ]] || fail "the machine booted to '$state'"
# A hardened desktop filters reverse paths strictly.
ip netns exec "$WORLD_PC" sysctl -qw net.ipv4.conf.all.rp_filter=1 net.ipv4.conf.default.rp_filter=1
pristine=$(pc_network)
echo "== Debian $(inside cat /etc/debian_version), $(inside systemctl --version | head -1)"

if [[ -n $own_lintian ]]; then
  echo "== the package as this release's own lintian judges it"
  inside lintian --fail-on error,warning /zv/build/packages/"$(basename "$package")" >"$scratch/lintian.log" 2>&1 ||
    fail "$release's lintian: $(grep -E '^[EW]:' "$scratch/lintian.log")"
fi

echo "== installed with dpkg, started by systemd"
inside dpkg -i /zv/build/packages/"$(basename "$package")" >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i: $(tail -3 "$scratch/dpkg.log")"
expect_eq "the unit, after dpkg -i" "$(inside systemctl is-active accelerator-service)" active
expect_eq "the unit, at boot" "$(inside systemctl is-enabled accelerator-service)" enabled
inside systemctl status accelerator-service --no-pager --lines=0 | sed 's/^/  /'
service_pid=$(inside systemctl show -P MainPID accelerator-service)
inside nsenter -t "$service_pid" -m -- systemctl list-units >/dev/null 2>&1 &&
  fail "from the service's mount namespace, root reaches the service manager"
inside systemd-analyze security accelerator-service >"$scratch/security.txt" 2>&1
echo "systemd-analyze security: $(grep -o 'Overall exposure level.*' "$scratch/security.txt")"

echo "== a user logged in accelerates in split routing"
inside useradd -m -s /bin/bash gamer
cp "$build/service/tests/zv_split_probe" "$scratch/cs2.exe"
cp "$build/service/tests/zv_split_probe" "$scratch/other"
cat >"$scratch/while_up.sh" <<CHECK
set -u
loginctl list-sessions --no-legend >/tmp/zv-sessions
ip rule show >/tmp/zv-rules
game=\$(/zv/scratch/cs2.exe udp $server 7777)
other=\$(/zv/scratch/other udp $server 7777)
echo "game \$game, other \$other" >/tmp/zv-seen
[[ \$game == 10.240.0.2 && \$other == 10.200.0.2 ]]
CHECK
chmod 755 "$scratch"/*.sh "$scratch/cs2.exe" "$scratch/other"
# Logged in on a terminal, as a person is (logind makes a session without one a background
# session, as a cron job's is, and the service refuses those).
inside script -qec "su - gamer -c 'QT_QPA_PLATFORM=offscreen VIRI_ZIVADADIVAZ_API_URL=http://127.0.0.1:$port \
  /zv/build/client/zv-road demo@zentravolk.com demo-pass-2026 /tmp bash /zv/scratch/while_up.sh'" /dev/null \
  >"$scratch/road.log" 2>&1 </dev/null || fail "the road as a logged-in user: $(grep -E 'FAIL' "$scratch/road.log" | head -3)"
inside cat /tmp/zv-sessions | grep -q ' gamer ' || fail "the user had no logind session: $(inside cat /tmp/zv-sessions)"
echo "  loginctl while accelerating: $(inside cat /tmp/zv-sessions)"
inside cat /tmp/zv-rules | sed 's/^/  ip rule: /'
echo "  $(inside cat /tmp/zv-seen)"
expect_eq "the game and another program" "$(inside cat /tmp/zv-seen)" "game 10.240.0.2, other 10.200.0.2"
inside cat /tmp/zv-rules | grep -q 'fwmark 0x5a56' || fail "no rule for the game's mark while accelerating"
[[ "$(pc_network)" == "$pristine" ]] || fail "the road left: $(diff <(echo "$pristine") <(pc_network))"

echo "== a user without a session, a remote one and a greeter are refused"
expect_eq "a system user's query" \
  "$(inside setpriv --reuid=65534 --regid=65534 --clear-groups /zv/build/tools/zv-control query 2>&1)" \
  'status 3 {"error":"access_denied"}'
# Logged in from elsewhere (login's -h names the remote host, as sshd does): refused, though active.
# Its login shell runs the check: a newer login discards what was typed ahead of the shell.
inside useradd -m -s /bin/bash visitor
inside sh -c 'cat >/home/visitor/.bash_profile' <<'PROFILE'
loginctl show-session "$XDG_SESSION_ID" -p Remote -p Active >/tmp/zv-remote
/zv/build/tools/zv-control query >>/tmp/zv-remote 2>&1
logout
PROFILE
# On a terminal of its own that stays open until login ends: script, given no input, may close it first.
inside python3 -c 'import os, pty
pid, terminal = pty.fork()
if pid == 0: os.execvp("login", ["login", "-f", "-h", "192.0.2.9", "visitor"])
try:
    while os.read(terminal, 4096): pass
except OSError: pass
os.waitpid(pid, 0)' </dev/null >/dev/null 2>&1 || fail "the remote login did not end"
expect_eq "a remote user's query" "$(inside cat /tmp/zv-remote)" $'Remote=yes\nActive=yes\nstatus 3 {"error":"access_denied"}'
# A display manager's greeter: a real logind session of class greeter (pam_systemd takes the class
# from XDG_SESSION_CLASS, as a display manager passes it), active and local, and refused.
inside useradd -m -s /bin/bash lightdm
inside env XDG_SESSION_CLASS=greeter su - lightdm -c 'loginctl show-session "$XDG_SESSION_ID" -p Class -p Remote -p Active
  /zv/build/tools/zv-control query' >"$scratch/greeter" 2>&1
expect_eq "a greeter's query" "$(cat "$scratch/greeter")" $'Remote=no\nClass=greeter\nActive=yes\nstatus 3 {"error":"access_denied"}'

echo "== restarted and killed with a tunnel up"
start_body=$(start_body '["0.0.0.0/0"]' "$(wg genkey)" "$NODE_ENDPOINT" full)
for how in "restart accelerator-service" "kill -s KILL accelerator-service"; do
  expect_eq "a start before: systemctl $how" "$(inside /zv/build/tools/zv-control start "$start_body")" \
    'status 0 {"state":"accelerating"}'
  [[ "$(pc_network)" != "$pristine" ]] || fail "no tunnel to $how: this proves nothing"
  inside systemctl $how
  # A restart returns once the service is ready for clients; after a kill, systemd starts it again by itself.
  [[ $how == kill* ]] && for _ in $(seq 100); do [[ $(inside systemctl is-active accelerator-service) == active ]] && break; sleep 0.1; done
  expect_eq "the service after systemctl $how" "$(inside systemctl is-active accelerator-service)" active
  expect_eq "its state after systemctl $how" "$(inside /zv/build/tools/zv-control query)" 'status 0 {"state":"idle"}'
  [[ "$(pc_network)" == "$pristine" ]] || fail "systemctl $how left: $(diff <(echo "$pristine") <(pc_network))"
done

echo "== an upgrade rolled back, and a removal whose program is gone"
inside systemctl stop accelerator-service  # as the old prerm does before an upgrade
# The maintainer scripts run as dpkg runs them, which names the package to the helpers they call.
maintscript() { inside env DPKG_MAINTSCRIPT_PACKAGE=zentravolk DPKG_MAINTSCRIPT_NAME="$1" "/var/lib/dpkg/info/zentravolk.$1" "${@:2}"; }
maintscript postinst abort-upgrade 0.0.1 || fail "postinst abort-upgrade failed"
expect_eq "the service after a rolled-back upgrade" "$(inside systemctl is-active accelerator-service)" active
program=/usr/lib/zentravolk/accelerator-service
inside mv $program /tmp/away
maintscript prerm remove || fail "prerm remove failed without the program"
inside mv /tmp/away $program
inside systemctl start accelerator-service

echo "== removed and purged"
inside apt-get remove -y -qq zentravolk >"$scratch/remove.log" 2>&1 || fail "apt-get remove: $(tail -3 "$scratch/remove.log")"
expect_eq "the unit after removal" "$(inside systemctl is-active accelerator-service)" inactive
inside apt-get purge -y -qq zentravolk >"$scratch/purge.log" 2>&1 || fail "apt-get purge: $(tail -3 "$scratch/purge.log")"
left=$(inside sh -c 'ls -d /usr/lib/zentravolk /run/ViriZivadadivaz* /etc/systemd/system/*/accelerator-service.service \
  /var/lib/systemd/deb-systemd-helper-enabled/accelerator-service.service.dsh-also /var/lib/dpkg/info/zentravolk.* 2>/dev/null')
[[ -z $left ]] || fail "the purge left: $left"
inside test -s "/home/gamer/.config/ZENTRAVOLK COM LLC/ZENTRAVOLK.conf" || fail "the purge took the user's own settings"
[[ "$(pc_network)" == "$pristine" ]] || fail "the removal left: $(diff <(echo "$pristine") <(pc_network))"

[[ $failures -eq 0 ]] && echo "the package worked on a booted machine and left nothing"
exit $((failures > 0))
