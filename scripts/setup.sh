#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail

packages=(
  cmake ninja-build pkg-config g++
  googletest libgtest-dev libbenchmark-dev
  libsystemd-dev libmnl-dev libssl-dev qt6-base-dev qt6-httpserver-dev qt6-websockets-dev libqt6sql6-sqlite
  fonts-wqy-microhei xvfb x11-utils imagemagick
  wireguard-go wireguard-tools iproute2 iputils-ping nftables curl procps
  clang libclang-rt-14-dev libbpf-dev bpftool python3 openssl
  g++-mingw-w64-x86-64-posix wine wine64 nsis
  dpkg-dev desktop-file-utils lintian appstream debootstrap systemd-container
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
