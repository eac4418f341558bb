#!/usr/bin/env bash
# The Windows installer under wine, run silently as an administrator's script
# runs it: never into a folder of the user's (one with files in it is refused,
# one of another name gets a Zentravolk folder inside, a failure after copying
# leaves nothing); the programs in their folder with the given wireguard.dll,
# the service registered to start automatically as LocalSystem and running, the
# Start-menu entry, the installed client starting; the acceptance kit's checks
# that wine can run, with the standard user's token, among them the update:
# a second install over the running service, run as the client runs it while
# the kit holds the service open and another program holds its program file
# for a while, keeps the service, replaces the file, keeps the user's
# wireguard.dll and starts the client again through the user's shell; the kit
# refuses to judge from wine's full administrator token. An uninstall while
# something holds the service open is followed by an install that waits for
# the service to go, or refuses before copying anything. The uninstaller
# removes the service, the folder whole, the entry and the uninstall key, and
# leaves the user's settings and files.
#   installer_checks.sh INSTALLER WIREGUARD_DLL CLIENT_CHECKS CLOSE_WINDOW_EXE \
#                       KIT KEY_TOOL_STAND_IN FILE_HOLDER SERVICE_EXE AS_STANDARD_USER
set -uo pipefail
installer=$1 dll=$2 client_checks=$3 close_window=$4 kit=$5 stand_in=$6 holder=$7 service_exe=$8 as_user=$9
export WINEDEBUG=-all
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
name=ViriZivadadivazService
folder="$(winepath -u 'C:\Program Files\Zentravolk' 2>/dev/null)"
games="$(winepath -u 'C:\Games' 2>/dev/null)"
link="$(winepath -u 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs' 2>/dev/null)/Zentravolk游戏加速器.lnk"
service_key="HKLM\\System\\CurrentControlSet\\Services\\$name"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentravolk'
settings='HKCU\Software\ZENTRAVOLK COM LLC\ZENTRAVOLK\device'
device_id=0d6f3a52-8c4e-4f0b-9a57-1c2b3d4e5f60
wireguard="/WIREGUARD=$(winepath -w "$dll")"
work=$(mktemp -d)
xvfb_pid=""

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
  wine "$1/uninstall.exe" /S
  for _ in $(seq 150); do [[ -e $1 || -n $(value "$uninstall_key" DisplayName) ]] || return 0; sleep 0.2; done
}
# Holds the service open for $1 ms, as the Services window would.
hold_service() {
  wine "$holder" "service:$name" "$1" >"$work/held" &
  holder_pid=$!
  for _ in $(seq 100); do [[ -s $work/held ]] && return 0; sleep 0.1; done
  fail "the service holder did not start"
}
cleanup() {
  for installed in "$folder" "$games/Zentravolk"; do [[ -e $installed/uninstall.exe ]] && uninstall "$installed"; done
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work" "$games"
}
trap cleanup EXIT
[[ ! -e $folder && ! -e $games ]] || { echo "FAIL: $folder or $games exists already"; exit 1; }
# The elevated installer never starts the client itself (it would run with the
# administrator's rights and settings), only through the user's shell; a
# silent install shows no finish page, so the script it was made from is read.
script=$(dirname "$installer")/../zentravolk.nsi
if [[ ! -f $script ]]; then
  fail "no installer script at $script"
elif grep -Ei 'MUI_FINISHPAGE_RUN|^\s*(nsExec::)?Exec\w*\s.*zentravolk-client\.exe' "$script" |
     grep -viE 'taskkill|user_start\.exe" "\$INSTDIR\\zentravolk-client\.exe' | grep -q .; then
  fail "the installer starts the client"
fi

# A display for the desktop and the client the update starts again.
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.05; done
export DISPLAY=:$(cat "$work/display")

# A folder with the user's files in it is refused; any other folder gets one
# of the product's own inside, and a failure after copying (here a
# wireguard.dll that is not there) takes it away again.
mkdir -p "$games/Zentravolk"
printf 'save' >"$games/save.dat"
printf 'mine' >"$games/Zentravolk/notes.txt"
wine "$installer" /S '/D=C:\Games\Zentravolk'
code=$?
[[ $code -eq 2 && $(ls -A "$games/Zentravolk") == notes.txt ]] ||
  fail "an install into a folder of the user's: exit $code, it holds $(ls -A "$games/Zentravolk")"
rm -r "$games/Zentravolk"
wine "$installer" /S '/WIREGUARD=C:\nowhere\wireguard.dll' '/D=C:\Games'
code=$?
[[ $code -eq 2 && $(ls -A "$games") == save.dat && -z $(state) ]] ||
  fail "a failed install into C:\\Games: exit $code, left $(ls -A "$games"), service '$(state)'"

wine reg add "$settings" /v id /t REG_SZ /d "$device_id" /f >/dev/null
wine "$installer" /S "$wireguard" || fail "the installer failed: $?"
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
# RFC 7748's pairs of section 6.1: Alice's keys, and Alice's private key with Bob's public one.
good='{"private_key":"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=","public_key":"hSDwCYkwp1R0i33ctD73Wg2/Og0mOBr066SpjqqbTmo="}'
bad='{"private_key":"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=","public_key":"3p7bfXt9wbTTW2HC7OQ1Nz+DQ8hbeGdNrfx+FG+IK08="}'
kit() { wine "$as_user" "$(winepath -w "$kit")" --key-tool "$(winepath -w "$stand_in")" --pairs 1 "$@" 2>&1 | tr -d '\r'; }
# The installed program differs from the one the upgrade brings, so its replacement shows.
printf 'older' >>"$folder/accelerator-service.exe"
wine "$holder" "$(winepath -w "$folder/accelerator-service.exe")" 4000 >"$work/held" &
holder_pid=$!
for _ in $(seq 100); do [[ -s $work/held ]] && break; sleep 0.1; done
[[ -s $work/held ]] || fail "the file holder did not start"
updated=$(ZV_STAND_IN_PAIR=$good kit --installer "$(winepath -w "$installer")" identity x25519 key-tool upgrade)
echo "$updated"
wait "$holder_pid"
# The client came back through the shell. Which token it has, wine cannot
# tell: it gives every program an administrator's full token, and starts the
# shell's automation object with its caller's; a real Windows judges it.
upgrade='^(PASS|FAIL) upgrade: the held service went from process [0-9]+ to [0-9]+ \(away [0-9]+ ms\), automatic, '
upgrade+='LocalSystem, and passes the identity check; the client \(process [0-9]+\) was back [0-9]+ ms after the service, '
[[ $(grep -cE '^PASS (identity|x25519|key-tool):' <<<"$updated") -eq 3 && $(wc -l <<<"$updated") -eq 4 ]] &&
  grep -qE "${upgrade}(unelevated as this user|elevated)\$" <<<"$updated" || fail "the kit: $updated"
cmp -s "$service_exe" "$folder/accelerator-service.exe" || fail "the upgrade did not replace accelerator-service.exe"
[[ -z $(ls "$folder" | grep -E '\.(new|old)$') ]] || fail "the upgrade left $(ls "$folder")"
cmp -s "$dll" "$folder/wireguard.dll" || fail "the upgrade lost the user's wireguard.dll"
running
output=$(ZV_STAND_IN_PAIR=$bad kit key-tool)
[[ $output == "FAIL key-tool: pair 1: the public key is not X25519 of the private key: $bad" ]] ||
  fail "the kit took a wrong pair: $output"
# Planted false passes: wine gives programs an administrator's full token, and
# a file's owner is the user (wine keeps no other), so the kit must fail both.
output=$(wine "$kit" identity 2>&1 | tr -d '\r')
[[ $output == "FAIL identity: the kit runs elevated; run it from a standard user's desktop, not as administrator" ]] ||
  fail "the kit judged from an elevated token: $output"
output=$(kit install-folder)
[[ $output == "FAIL install-folder: "*'\wireguard.dll: owner S-1-5-21-'* ]] || fail "the kit passed the files: $output"
# The client the update started again goes (the installed one starts on a display of its own).
client=$(sed -n 's/.*the client (process \([0-9]*\)).*/\1/p' <<<"$updated")
[[ -n $client ]] && wine taskkill /f /pid "$client" >/dev/null 2>&1
"$client_checks" start "$folder/zentravolk-client.exe" "$close_window" "$(mktemp --suffix=.png)" ||
  fail "the installed client did not start as it should"

# Uninstalled while something holds the service open, the service is only
# marked for deletion: an install waits for it to go, into a folder of its own
# inside the one given ...
hold_service 3000
uninstall "$folder"
wine "$installer" /S "$wireguard" '/D=C:\Games' || fail "the install after an uninstall of a held service failed: $?"
wait "$holder_pid"
running
[[ $(needed "$service_key" ImagePath) == '"C:\Games\Zentravolk\accelerator-service.exe"' ]] ||
  fail "the service runs '$(value "$service_key" ImagePath)'"
[[ -f $games/Zentravolk/accelerator-service.exe && $(cat "$games/save.dat") == save ]] ||
  fail "C:\\Games holds $(ls -A "$games" "$games/Zentravolk")"
# ... or, held longer than it waits, refuses before it copies anything; the
# folder the product was given goes whole, the tunnel record included.
printf 'record' >"$games/Zentravolk/tunnel.state"
hold_service 14000
uninstall "$games/Zentravolk"
wine "$installer" /S "$wireguard"
code=$?
[[ $code -eq 2 && ! -e $folder ]] || fail "an install while the removed service is held: exit $code, $(ls -A "$folder" 2>&1)"
wait "$holder_pid"
[[ $(ls -A "$games") == save.dat ]] || fail "the uninstaller left $(ls -A "$games")"
[[ -z $(state) ]] || fail "the service is still registered ($(state))"
[[ ! -e $link ]] || fail "the Start-menu entry is still there"
[[ -z $(value "$uninstall_key" DisplayName) ]] || fail "the uninstall entry is still there"
[[ $(needed "$settings" id) == "$device_id" ]] || fail "the user's settings were removed"
wine reg delete 'HKCU\Software\ZENTRAVOLK COM LLC' /f >/dev/null 2>&1

((failures == 0)) && echo "refused the user's folders, installed, service running, client started, updated over a held service" \
  "with the client back, reinstalled after a held removal, uninstalled to the user's settings"
exit $((failures > 0))
