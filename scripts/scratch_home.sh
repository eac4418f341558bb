#!/usr/bin/env bash
# Runs a command with folders of its own: HOME, the XDG folders and TMPDIR in
# a fresh scratch folder that is removed when the command ends, so a test
# neither depends on nor writes to the settings of the user who runs it. Only
# the Qt-for-Windows cache is named explicitly (ZV_CACHE_DIR), as it must be
# shared. Every test program and test script runs through this.
#   scratch_home.sh COMMAND [ARGS...]
set -uo pipefail
real_cache=${ZV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zentravolk}
# A run killed outright (ctest's time-out sends SIGKILL) cannot remove its
# folder; the folder names its shell, so the next run removes those whose shell is gone.
for stale in "${TMPDIR:-/tmp}"/zv-scratch.*.*; do
  owner=${stale##*/zv-scratch.}
  owner=${owner%%.*}
  [[ $owner =~ ^[0-9]+$ && ! -e /proc/$owner ]] && rm -rf "$stale" 2>/dev/null
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zv-scratch.$$.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
# Readable on the way down, as tests hand folders in TMPDIR to another user;
# the home and the runtime folder are the user's alone, as they are on a desktop.
chmod 0755 "$scratch"
mkdir -m 0700 "$scratch/home" "$scratch/runtime"
mkdir -m 1777 "$scratch/tmp"
export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/runtime TMPDIR=$scratch/tmp
export XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache XDG_DATA_HOME=$HOME/.local/share
export XDG_STATE_HOME=$HOME/.local/state ZV_CACHE_DIR=$real_cache
"$@"
