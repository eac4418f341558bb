#!/usr/bin/env bash
# Sets up, builds both platforms and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
# The Windows shells must keep compiling; they run under wine in later stages.
cmake --preset windows
cmake --build --preset windows
