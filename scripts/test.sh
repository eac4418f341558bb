#!/usr/bin/env bash
# Sets up, builds both platforms and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# The service and the shared code again, under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan

# Every libFuzzer target for a minute from its seeds; a crash fails the run.
fuzz/run.sh 60

# The Windows build, and its checks under wine: one persistent wineserver for
# the whole run, in a prefix of the build's own, shut down at the end.
# Qt for Windows is built once from Debian's source into a cache outside the clone.
scripts/qt-windows.sh
cmake --preset windows
cmake --build --preset windows
export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
# Create the prefix, let that first server end, then start the one persistent
# server for the run: one started before the prefix exists ends up with two
# service managers that lose registrations.
wineboot -i >/dev/null 2>&1
# The window's font is "Microsoft YaHei UI"; Debian's WenQuanYi stands in for it, as on a Chinese Windows.
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei UI' /t REG_SZ /d 'WenQuanYi Micro Hei' /f \
  >/dev/null 2>&1
wineserver -w
wineserver -p
# Wine's own service processes start with the first program and live as long
# as the server; started here, they hold /dev/null rather than ctest's pipes,
# which ctest would otherwise wait on forever.
wine cmd /c exit >/dev/null 2>&1 </dev/null
ctest --preset windows
