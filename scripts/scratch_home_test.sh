#!/usr/bin/env bash
# scratch_home.sh gives a command folders of its own and removes them after,
# passing the command's status on; a run killed outright leaves its folder,
# which the next run removes, while a running one's folder is left alone.
set -uo pipefail
scratch_home=$(dirname "$0")/scratch_home.sh
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT

"$scratch_home" sleep 30 &
killed=$!
"$scratch_home" sleep 30 &
running=$!
until [[ $(find "$TMPDIR" -maxdepth 1 -name 'zv-scratch.*' | wc -l) -eq 2 ]]; do sleep 0.1; done
command=$(pgrep -P "$killed")
kill -KILL "$killed" $command  # the shell first, so it cannot clean up; its command goes too
wait "$killed" 2>/dev/null

"$scratch_home" sh -c 'echo "$HOME $TMPDIR" >"'"$TMPDIR"'/seen"; exit 3'
[[ $? -eq 3 ]] || fail "the command's status is not passed on"
read -r home tmp <"$TMPDIR/seen"
[[ $home == "$TMPDIR"/zv-scratch.*/home && $tmp == "$TMPDIR"/zv-scratch.*/tmp ]] || fail "not its own folders: $home $tmp"
[[ ! -e $home ]] || fail "its folder is left"
[[ -z $(ls -d "$TMPDIR"/zv-scratch."$killed".* 2>/dev/null) ]] || fail "a killed run's folder is left"
[[ -n $(ls -d "$TMPDIR"/zv-scratch."$running".* 2>/dev/null) ]] || fail "a running one's folder was removed"
kill $(pgrep -P "$running")
wait "$running" 2>/dev/null
exit $((failures > 0))
