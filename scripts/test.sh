#!/usr/bin/env bash
# Sets up, builds both platforms and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset linux
cmake --build --preset linux
# Once with the user's own settings folders empty, as on a fresh machine: a
# test that depends on them or writes to them fails here on every machine.
scripts/fresh_home.sh ctest --preset linux

# The service and the shared code again, under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan

# Every libFuzzer target for a minute from its seeds; a crash fails the run.
fuzz/run.sh 60

# The Windows build, and its checks under wine, in folders of their own.
# Qt for Windows is built once from Debian's source into a cache outside the clone.
scripts/qt-windows.sh
cmake --preset windows
cmake --build --preset windows
scripts/scratch_home.sh scripts/windows_tests.sh
