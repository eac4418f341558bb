#!/usr/bin/env bash
# The main job: sets up, builds, and runs the whole product on this machine:
# the reference backend, an acceleration node and the service in network
# namespaces, and the client pointed at the backend. With a display you drive
# the client; with --headless (or no display) zv-road drives it through one
# acceleration, says what happened at each step and saves the screenshots that
# the README shows (docs/images/).
# Everything is stopped and removed on exit or Ctrl-C. Needs root (namespaces).
# The client keeps its settings (device id, remembered account) in your own
# ~/.config, as it would for a gamer; the tests never write there.
#   scripts/demo.sh [--headless | --help]
set -euo pipefail
if [[ ${1:-} == --help || ${1:-} == -h ]]; then
  sed -n '2,/^#   scripts/{s/^# \{0,1\}//;p}' "$0"
  exit 0
fi
cd "$(dirname "$0")/.."
[[ $(id -u) -eq 0 ]] || { echo "demo.sh needs root: it creates network namespaces and a tunnel" >&2; exit 1; }
headless=false
[[ ${1:-} == --headless || -z ${DISPLAY:-} ]] && headless=true

scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target accelerator-service zv-control zv-backend orvekind zentravolk-client zv-road

source scripts/stack.sh
state=$(mktemp -d /tmp/zentravolk-demo.XXXXXX)
trap 'stack_down; echo "demo stopped; logs were in $state"' EXIT
trap 'exit 130' INT TERM
stack_up build/linux "$state"

echo
echo "Backend:  $VIRI_ZIVADADIVAZ_API_URL (log $state/backend.log)"
echo "Service:  $VIRI_ZIVADADIVAZ_CONTROL_SOCKET in namespace $WORLD_PC"
echo "Account:  $DEMO_ACCOUNT   Password: $DEMO_PASSWORD"
echo "Game server behind the node: $GAME_SERVER"
echo

if $headless; then
  mkdir -p docs/images
  # A 1920 x 1080 screen, so that the pictures show the window at the size most gamers see.
  QT_QPA_PLATFORM=offscreen:configfile=tools/road/screen.json \
    build/linux/client/zv-road "$DEMO_ACCOUNT" "$DEMO_PASSWORD" docs/images \
    ip netns exec "$WORLD_PC" ping -c 3 -W 2 "$GAME_SERVER"
else
  echo "Sign in, pick a game and press 开始加速; then try: ip netns exec $WORLD_PC ping $GAME_SERVER"
  echo "Leave through the tray menu (退出并停止加速) or press Ctrl-C here."
  build/linux/client/zentravolk-client
fi
