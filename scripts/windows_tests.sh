#!/usr/bin/env bash
# The Windows build's checks under wine: one persistent wineserver for the
# whole run, in a prefix of the build's own, shut down at the end. Run through
# scripts/scratch_home.sh, so wine's profile folders land in a scratch home.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all
# No menu entries or file associations in the (scratch) home for what installers register.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
trap 'wineserver -k 2>/dev/null || true' EXIT
# The prefix's profile links into the home that made it: a prefix from an
# earlier run points into a home that is gone, so each run makes its own.
rm -rf "$WINEPREFIX"
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
