#!/usr/bin/env bash
# Runs a command as on a freshly made machine: in a private mount namespace,
# empty folders lie over the user's settings, data and cache folders, so
# nothing the user has there is seen (only the project's own cache is kept).
# Afterwards anything written into them, or anything new in the home itself,
# fails the run: a test must keep to its own folders. Root only (mount
# namespaces).
#   fresh_home.sh COMMAND [ARGS...]
set -euo pipefail
if [[ ${1:-} != --inside ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "fresh_home.sh needs root: it lays folders over the home's" >&2; exit 1; }
  exec unshare --mount --propagation private -- "$0" --inside "$@"
fi
shift
covered=("$HOME/.config" "$HOME/.local" "$HOME/.cache")
# The project's own cache (Qt for Windows, the booted machine's root) is the
# one folder tests share on purpose; it stays reachable where they look for it.
cache=${ZV_CACHE_DIR:-$HOME/.cache/zentravolk}
mkdir -p "$cache"
kept=$(mktemp -d)
mount --bind "$cache" "$kept"
made=()  # the folders a fresh machine lacks, made here only to lay the empty ones on
for folder in "${covered[@]}"; do
  [[ -d $folder ]] || made+=("$folder")
  mkdir -p "$folder"
  mount -t tmpfs -o mode=0700 zv-fresh-home "$folder"
done
mkdir -p "$cache"
mount --move "$kept" "$cache"
rmdir "$kept"
home_before=$(ls -A "$HOME")
status=0
"$@" || status=$?
written=$(find "${covered[@]}" -mindepth 1 -path "$cache" -prune -o -print 2>/dev/null)
new_in_home=$(comm -13 <(echo "$home_before") <(ls -A "$HOME"))
if [[ -n $written || -n $new_in_home ]]; then
  echo "FAIL: the tests wrote into the user's own folders:"
  [[ -n $written ]] && sed 's/^/  /' <<<"$written"
  [[ -n $new_in_home ]] && sed "s|^|  $HOME/|" <<<"$new_in_home"
  status=1
fi
for folder in "${made[@]}"; do
  umount --recursive "$folder" && rmdir "$folder" 2>/dev/null || true
done
exit $status
