#!/usr/bin/env bash
# The real client program, started twice by one user: a second start while the
# first runs ends at once (exit 0) and leaves the first running; a hung first
# (stopped by a signal), a crashed one, or no runtime folder of the user's own
# never keeps a start from becoming the client.
#   single_instance_test.sh ZENTRAVOLK_CLIENT
set -uo pipefail
client=$1
export QT_QPA_PLATFORM=offscreen VIRI_ZIVADADIVAZ_API_URL=http://127.0.0.1:9  # nobody: the release check fails quietly
export VIRI_ZIVADADIVAZ_CONTROL_SOCKET=$TMPDIR/none.sock
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# second_ends SECONDS: whether a second start ends within SECONDS.
second_ends() {
  "$client" & local second=$!
  for _ in $(seq $(($1 * 10))); do kill -0 $second 2>/dev/null || { wait $second; return $?; }; sleep 0.1; done
  kill $second; wait $second 2>/dev/null; return 1
}
for first in running hung killed; do
  runtime=$(mktemp -d) && chmod 700 "$runtime"
  XDG_RUNTIME_DIR=$runtime "$client" & pid=$!
  for _ in $(seq 100); do [[ -e $runtime/zentravolk-client ]] && break; sleep 0.1; done
  [[ $first == hung ]] && kill -STOP $pid
  [[ $first == killed ]] && { kill -KILL $pid; wait $pid 2>/dev/null; }
  if XDG_RUNTIME_DIR=$runtime second_ends 5; then ended=yes; else ended=no; fi
  [[ $ended == $([[ $first == running ]] && echo yes || echo no) ]] || fail "$first first: the second start ended: $ended"
  [[ $first == killed ]] || { kill -0 $pid 2>/dev/null || fail "$first first: it did not survive"; kill -CONT $pid; kill $pid; wait $pid 2>/dev/null; }
  rm -rf "$runtime"
done
XDG_RUNTIME_DIR=/proc/version/none second_ends 3 && fail "without a runtime folder of its own, a start ended"
[[ $failures -eq 0 ]] && echo "every start passed"
exit $((failures > 0))
