#!/usr/bin/env bash
# The Windows installer under wine, run silently as an administrator's script
# runs it: the programs in their folder with the given wireguard.dll, the
# service registered to start automatically as LocalSystem and running, the
# Start-menu entry, the installed client starting; the acceptance kit's checks
# that wine can run, among them the upgrade: a second install over the running
# service, while the kit holds the service open and another program holds its
# program file for a while, keeps the service, replaces the file and the user's
# wireguard.dll stays; the uninstaller removes the service, the files, the
# tunnel record, the entry and the uninstall key, and leaves the user's settings.
#   installer_checks.sh INSTALLER WIREGUARD_DLL CLIENT_CHECKS CLOSE_WINDOW_EXE \
#                       KIT KEY_TOOL_STAND_IN FILE_HOLDER SERVICE_EXE
set -uo pipefail
installer=$1 dll=$2 client_checks=$3 close_window=$4 kit=$5 stand_in=$6 holder=$7 service_exe=$8
export WINEDEBUG=-all
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
name=ViriZivadadivazService
folder="$(winepath -u 'C:\Program Files\Zentravolk' 2>/dev/null)"
link="$(winepath -u 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs' 2>/dev/null)/Zentravolk游戏加速器.lnk"
service_key="HKLM\\System\\CurrentControlSet\\Services\\$name"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentravolk'
settings='HKCU\Software\ZENTRAVOLK COM LLC\ZENTRAVOLK\device'
device_id=0d6f3a52-8c4e-4f0b-9a57-1c2b3d4e5f60

state() { wine sc query "$name" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v v="$2" '$1 == v { $1 = $2 = ""; sub(/^ +/, ""); print }'; }
# A value that must be there. Once in many runs a check just after the service
# started failed though the values read right after were right: an empty answer
# (a read that failed) is asked again, a wrong value fails at once, and the
# message shows what was judged, so a recurrence tells which it was.
needed() {
  local found=""
  for _ in $(seq 20); do found=$(value "$1" "$2") && [[ -n $found ]] && break; sleep 0.1; done
  printf '%s' "$found"
}
running() {
  for _ in $(seq 100); do [[ $(state) == RUNNING ]] && return 0; sleep 0.1; done
  fail "the service is not running ($(state))"
}
uninstall() {
  # The uninstaller runs from a copy in the temporary folder, so the first one returns at once.
  wine "$folder/uninstall.exe" /S
  for _ in $(seq 150); do [[ -e $folder || -n $(state) ]] || return 0; sleep 0.2; done
}
trap '[[ -e $folder/uninstall.exe ]] && uninstall' EXIT
[[ ! -e $folder ]] || { echo "FAIL: $folder exists already"; exit 1; }
# The elevated installer never starts the client (it would run with the
# administrator's rights and settings); a silent install shows no finish page,
# so the script it was made from is read.
script=$(dirname "$installer")/../zentravolk.nsi
if [[ ! -f $script ]]; then
  fail "no installer script at $script"
elif grep -Ei 'MUI_FINISHPAGE_RUN|^\s*(nsExec::)?Exec\w*\s.*zentravolk-client\.exe' "$script" | grep -qvi taskkill; then
  fail "the installer starts the client"
fi

wine reg add "$settings" /v id /t REG_SZ /d "$device_id" /f >/dev/null
wine "$installer" /S "/WIREGUARD=$(winepath -w "$dll")" || fail "the installer failed: $?"
for file in accelerator-service.exe zentravolk-client.exe orvekind.exe uninstall.exe; do
  [[ -f $folder/$file ]] || fail "no $file"
done
cmp -s "$dll" "$folder/wireguard.dll" || fail "the given wireguard.dll is not beside the service"
image=$(needed "$service_key" ImagePath) start=$(needed "$service_key" Start) account=$(needed "$service_key" ObjectName)
[[ $image == '"C:\Program Files\Zentravolk\accelerator-service.exe"' ]] || fail "the service runs '$image'"
[[ $start == 0x2 && $account == LocalSystem ]] || fail "not an automatic LocalSystem service: start '$start', '$account'"
running
[[ -f $link ]] || fail "no Start-menu entry"
version=$(needed "$uninstall_key" DisplayVersion)
[[ $version == 0.4.0 ]] || fail "the uninstall entry has version '$version'"
"$client_checks" start "$folder/zentravolk-client.exe" "$close_window" "$(mktemp --suffix=.png)" ||
  fail "the installed client did not start as it should"

# RFC 7748's pairs of section 6.1: Alice's keys, and Alice's private key with Bob's public one.
good='{"private_key":"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=","public_key":"hSDwCYkwp1R0i33ctD73Wg2/Og0mOBr066SpjqqbTmo="}'
bad='{"private_key":"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=","public_key":"3p7bfXt9wbTTW2HC7OQ1Nz+DQ8hbeGdNrfx+FG+IK08="}'
kit() { wine "$kit" --key-tool "$(winepath -w "$stand_in")" --pairs 1 "$@" 2>&1 | tr -d '\r'; }
# The installed program differs from the one the upgrade brings, so its replacement shows.
printf 'older' >>"$folder/accelerator-service.exe"
wine "$holder" "$(winepath -w "$folder/accelerator-service.exe")" 4000 >"$folder.held" &
holder_pid=$!
for _ in $(seq 100); do [[ -s $folder.held ]] && break; sleep 0.1; done
[[ -s $folder.held ]] || fail "the file holder did not start"
output=$(ZV_STAND_IN_PAIR=$good kit --installer "$(winepath -w "$installer")" identity x25519 key-tool upgrade)
echo "$output"
wait "$holder_pid"
rm -f "$folder.held"
[[ $(grep -c '^PASS ' <<<"$output") -eq 4 && $(wc -l <<<"$output") -eq 4 ]] || fail "the kit: $output"
cmp -s "$service_exe" "$folder/accelerator-service.exe" || fail "the upgrade did not replace accelerator-service.exe"
[[ ! -e $folder/accelerator-service.exe.new ]] || fail "the upgrade left accelerator-service.exe.new"
cmp -s "$dll" "$folder/wireguard.dll" || fail "the upgrade lost the user's wireguard.dll"
running
output=$(ZV_STAND_IN_PAIR=$bad kit key-tool)
[[ $output == "FAIL key-tool: pair 1: the public key is not X25519 of the private key: $bad" ]] ||
  fail "the kit took a wrong pair: $output"

# A tunnel record the service keeps beside itself (and one half written) goes with it.
printf 'record' >"$folder/tunnel.state"
printf 'record' >"$folder/tunnel.state.new"
uninstall
[[ ! -e $folder ]] || fail "the uninstaller left $(ls "$folder")"
[[ -z $(state) ]] || fail "the service is still registered ($(state))"
[[ ! -e $link ]] || fail "the Start-menu entry is still there"
[[ -z $(value "$uninstall_key" DisplayName) ]] || fail "the uninstall entry is still there"
[[ $(needed "$settings" id) == "$device_id" ]] || fail "the user's settings were removed"
wine reg delete 'HKCU\Software\ZENTRAVOLK COM LLC' /f >/dev/null 2>&1

((failures == 0)) && echo "installed, service running, client started, upgraded over a held service, uninstalled to the user's settings"
exit $((failures > 0))
