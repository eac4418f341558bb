#!/usr/bin/env bash
# Builds the .deb once and judges it as this machine's Debian tools do: its
# version is the project's, lintian finds no error or warning, the menu entry
# and the AppStream entry are valid, the menu has an icon. The booted machines
# then install this very file.
#   deb_checks.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -f "$build"/packages/zentravolk_*.deb  # the booted machines take the one file there
(cd "$build" && cpack >/dev/null 2>&1) || { echo "FAIL: cpack"; exit 1; }
package=$(ls "$build"/packages/zentravolk_*_amd64.deb)

[[ $(dpkg-deb -f "$package" Version) == "$(sed -n 's/^project(Zentravolk VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")" ]] ||
  fail "the package's version is not the project's"
lintian --fail-on error,warning "$package" >"$build/lintian.log" 2>&1 || fail "lintian: $(grep -E '^[EW]:' "$build/lintian.log")"
contents=$(mktemp -d)
dpkg-deb -x "$package" "$contents"
desktop-file-validate "$contents/usr/share/applications/zentravolk-client.desktop" || fail "the menu entry is not valid"
appstreamcli validate --no-net "$contents/usr/share/metainfo/com.zentravolk.client.metainfo.xml" >/dev/null ||
  fail "the AppStream entry: $(appstreamcli validate --no-net "$contents/usr/share/metainfo/"*.xml)"
[[ -f $contents/usr/share/icons/hicolor/256x256/apps/zentravolk-client.png ]] || fail "no icon for the menu"
rm -rf "$contents"

[[ $failures -eq 0 ]] && echo "the package as $(. /etc/os-release && echo "$PRETTY_NAME")'s tools judge it: clean"
exit $((failures > 0))
