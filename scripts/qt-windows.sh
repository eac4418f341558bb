#!/usr/bin/env bash
# Builds a static Qt for Windows once, from Debian's own qt6-base source with
# Debian's mingw-w64, into a cache outside the clone that every later run and
# the Windows preset reuse. The host Qt of the same version lends its tools
# (moc, rcc, uic). Prints the cache folder.
#   scripts/qt-windows.sh           build if missing, print the folder
#   scripts/qt-windows.sh --where   only print the folder
set -euo pipefail
cd "$(dirname "$0")/.."
source cmake/qt-windows.sh.inc

if [[ ${1:-} == --where ]]; then echo "$QT_WINDOWS_PREFIX"; exit 0; fi
if [[ -f $QT_WINDOWS_PREFIX/.complete ]]; then echo "$QT_WINDOWS_PREFIX"; exit 0; fi

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
[[ $host_version == "$QT_WINDOWS_VERSION"* ]] ||
  { echo "qt-windows: the host Qt is $host_version, the tools must match $QT_WINDOWS_VERSION" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-qt-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# apt-get source needs a source entry; a private list and lists folder give it
# one for this call alone, so the machine's package sources stay as they were.
codename=$(. /etc/os-release; echo "$VERSION_CODENAME")
mkdir -p apt/lists/partial apt/cache/archives/partial apt/parts
cat >apt/sources.list <<SOURCES
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename-updates main
SOURCES
private_apt=(-o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts="$work/apt/parts"
  -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache" -o APT::Sandbox::User=root)
apt-get "${private_apt[@]}" update -qq >apt/update.log 2>&1 || { cat apt/update.log >&2; exit 1; }
echo "qt-windows: building Qt $QT_WINDOWS_VERSION for Windows once (about 25 minutes on 2 cores) into $QT_WINDOWS_PREFIX"
apt-get "${private_apt[@]}" source --download-only qt6-base >apt/source.log 2>&1 || { cat apt/source.log >&2; exit 1; }
tar xf qt6-base_*.orig.tar.xz
source_dir=$(echo qtbase-everywhere-src-*)
[[ -d $source_dir ]] || { echo "qt-windows: no source folder in the download" >&2; exit 1; }

mapfile -t options < <(grep -v '^\s*\(#\|$\)' "$QT_WINDOWS_OPTIONS")
# Installed in place (the prefix is written into the installed files); only
# the marker at the end makes the folder count.
rm -rf "$QT_WINDOWS_PREFIX"
cmake -G Ninja -S "$source_dir" -B build -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$QT_WINDOWS_TOOLCHAIN" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$QT_WINDOWS_PREFIX" \
  "${options[@]}" >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
cmake --build build >build.log 2>&1 || { grep -B5 -A20 -m3 'FAILED\|error:' build.log >&2; exit 1; }
cmake --install build >install.log 2>&1 || { tail -40 install.log >&2; exit 1; }
touch "$QT_WINDOWS_PREFIX/.complete"
echo "$QT_WINDOWS_PREFIX"
