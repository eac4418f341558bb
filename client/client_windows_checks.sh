#!/usr/bin/env bash
# The Windows client as built, and as it starts under wine.
#   client_windows_checks.sh binary <zentravolk-client.exe> <version> <objdump> <nm> <windres>
#   client_windows_checks.sh start <zentravolk-client.exe> <close_window.exe> <screenshot.png>
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

# start: the client on a display of its own, against a loopback backend that
# records what it is asked, until its main window is mapped; then the window is
# closed as its title bar button would and the client must stay.
close_window=$3 screenshot=$4
export WINEDEBUG=-all
work=$(mktemp -d)
xvfb_pid="" client_pid="" backend_pid=""
cleanup() {
  [[ -n $client_pid ]] && kill "$client_pid" 2>/dev/null && wait "$client_pid" 2>/dev/null
  [[ -n $backend_pid ]] && kill "$backend_pid" 2>/dev/null && wait "$backend_pid" 2>/dev/null
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Every request goes to the log; the release check is answered with the client's own version.
python3 -u - "$work/port" >"$work/backend.log" 2>&1 <<'BACKEND' &
import http.server, sys
class Recorder(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        print("GET", self.path, flush=True)
        body = b'{"version":"0.4.0"}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Recorder)
open(sys.argv[1], "w").write(str(server.server_port))
server.serve_forever()
BACKEND
backend_pid=$!
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.05; done
[[ -s $work/port ]] || { fail "the loopback backend did not start: $(cat "$work/backend.log")"; exit 1; }
export VIRI_ZIVADADIVAZ_API_URL=http://127.0.0.1:$(cat "$work/port")

Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do [[ -s $work/display ]] && break; sleep 0.1; done
[[ -s $work/display ]] || { cat "$work/xvfb.log"; fail "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")

# Mapped and laid out: not the 1x1 placeholder a window has before it is shown.
laid_out() { [[ $1 =~ \ ([0-9]+)x([0-9]+)\+ ]] && ((BASH_REMATCH[1] >= 640 && BASH_REMATCH[2] >= 480)); }
window_of() { xwininfo -root -tree 2>/dev/null | grep '"游戏加速器": ("zentravolk-client.exe"'; }
# Wine's desktop process of a program started without a display (a silent
# installer or uninstaller, the kit) serves new windows for a few seconds
# after it; a client started meanwhile would show its window there, not here.
for _ in $(seq 200); do pgrep -f 'explorer\.exe' >/dev/null || break; sleep 0.1; done
started=$(date +%s%N)
wine "$client" >"$work/client.log" 2>&1 &
client_pid=$!
window=""
for _ in $(seq 1 600); do
  window=$(window_of)
  laid_out "$window" && break
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.1
done
if ! laid_out "$window"; then
  cat "$work/client.log"
  # What is on the screen instead (a crash report, a message box) says why.
  xwininfo -root -tree 2>/dev/null | grep -F '("' | sed 's/^ */  window: /'
  import -window root "$screenshot" 2>/dev/null && echo "screenshot: $screenshot"
  fail "no main window of 640x480 or more within 60 s (${window:-none}; client $(kill -0 "$client_pid" 2>/dev/null && echo running || echo ended))"
  exit 1
fi
echo "main window after $(( ($(date +%s%N) - started) / 1000000 )) ms:$window"
sleep 2
import -window root "$screenshot" && echo "screenshot: $screenshot"

checks=$(grep -c '^GET /api/v1/client/releases/latest?channel=alpha&platform=windows-x64$' "$work/backend.log")
others=$(grep -vc '^GET /api/v1/client/releases/latest' "$work/backend.log")
[[ $checks -eq 1 && $others -eq 0 ]] || fail "the backend was asked: $(cat "$work/backend.log")"

viewable() { xwininfo -id "$(awk '{print $1}' <<<"$(window_of)")" 2>/dev/null | grep -q 'Map State: IsViewable'; }
viewable || fail "the shown window is not viewable"
wine "$close_window" "游戏加速器" || fail "no window to close"
for _ in $(seq 1 50); do viewable || break; sleep 0.1; done
sleep 1
kill -0 "$client_pid" 2>/dev/null || fail "closing the window ended the client"
viewable && fail "the window is still shown after closing it"
((failures == 0)) && echo "one release check, window shown, closed to the tray, client still running"
exit $((failures > 0))
