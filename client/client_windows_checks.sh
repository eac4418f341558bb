#!/usr/bin/env bash
# The Windows client as built, and as it starts under wine.
#   client_windows_checks.sh binary <zentravolk-client.exe> <version> <objdump> <nm> <windres>
#   client_windows_checks.sh start <zentravolk-client.exe>
set -uo pipefail
mode=$1 client=$2

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [[ $mode == binary ]]; then
  version=$3 objdump=$4 nm=$5 windres=$6
  IFS=. read -r major minor patch <<<"$version"

  # A console program would open a console window beside the client's own.
  headers=$("$objdump" -p "$client")
  grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program"

  resources=$("$windres" -i "$client" -O rc 2>/dev/null)
  for value in '"CompanyName", "ZENTRAVOLK COM LLC"' '"ProductName", "ZENTRAVOLK"' \
               "\"FileVersion\", \"$version\"" "\"ProductVersion\", \"$version\"" \
               '"OriginalFilename", "zentravolk-client.exe"'; do
    grep -qF "VALUE $value" <<<"$resources" || fail "no version value $value"
  done
  for field in FILEVERSION PRODUCTVERSION; do
    grep -q "^ *$field $major, $minor, $patch, 0$" <<<"$resources" || fail "$field is not $major, $minor, $patch, 0"
  done
  grep -q '^"IDI_ICON1" 14 ' <<<"$resources" || fail "no icon group IDI_ICON1"
  icons=$(grep -c '^[0-9]* 3 /\* RT_ICON \*/' <<<"$resources")
  [[ $icons -eq 6 ]] || fail "$icons icon images, expected 6 (16 to 256 pixels)"

  # Exactly the static plugins the client uses: without the platform plugin it does not start.
  plugins=$("$nm" "$client" | sed -n 's/^[0-9a-f]* T _Z[0-9]*qt_static_plugin_\([A-Za-z]*\)v$/\1/p' | sort | tr '\n' ' ')
  expected="QSchannelBackend QWindowsIntegrationPlugin QWindowsVistaStylePlugin "
  [[ $plugins == "$expected" ]] || fail "static plugins: '$plugins', expected '$expected'"

  ((failures == 0)) && echo "GUI program, version $version, 6 icon images, plugins: $plugins"
  exit $((failures > 0))
fi

# start: the client on a display of its own until its main window is mapped.
export WINEDEBUG=-all VIRI_ZIVADADIVAZ_API_URL=http://127.0.0.1:9  # the release check fails at once
work=$(mktemp -d)
xvfb_pid="" client_pid=""
cleanup() {
  [[ -n $client_pid ]] && kill "$client_pid" 2>/dev/null && wait "$client_pid" 2>/dev/null
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do [[ -s $work/display ]] && break; sleep 0.1; done
[[ -s $work/display ]] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")

# Mapped and laid out: not the 1x1 placeholder a window has before it is shown.
laid_out() { [[ $1 =~ \ ([0-9]+)x([0-9]+)\+ ]] && ((BASH_REMATCH[1] >= 640 && BASH_REMATCH[2] >= 480)); }
started=$(date +%s%N)
wine "$client" >"$work/client.log" 2>&1 &
client_pid=$!
window=""
for _ in $(seq 1 600); do
  window=$(xwininfo -root -tree 2>/dev/null | grep '"游戏加速器": ("zentravolk-client.exe"')
  laid_out "$window" && break
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.1
done
if ! laid_out "$window"; then
  cat "$work/client.log"
  fail "no main window of 640x480 or more within 60 s (${window:-none}; client $(kill -0 "$client_pid" 2>/dev/null && echo running || echo ended))"
  exit 1
fi
echo "main window after $(( ($(date +%s%N) - started) / 1000000 )) ms:$window"
sleep 1
kill -0 "$client_pid" 2>/dev/null || fail "the client ended after showing its window"
exit $((failures > 0))
