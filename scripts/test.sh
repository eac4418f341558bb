#!/usr/bin/env bash
# Sets up, builds both platforms and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# The Windows build, and its checks under wine: one persistent wineserver for
# the whole run, in a prefix of the build's own, shut down at the end.
cmake --preset windows
cmake --build --preset windows
export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k || true' EXIT
wineboot -i >/dev/null 2>&1
ctest --preset windows
