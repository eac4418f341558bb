#!/usr/bin/env bash
# The Windows service under wine, as the service control manager runs it.
#   service_checks.sh console <accelerator-service.exe>
#   service_checks.sh scm <accelerator-service.exe> <pipe_query.exe>
set -uo pipefail
mode=$1 service=$2
export WINEDEBUG=-all

fail() { echo "FAIL: $*"; exit 1; }

if [[ $mode == console ]]; then
  # Outside the service control manager the dispatcher fails with 1063. Wine
  # hands Linux the exit code modulo 256, so what reaches us is 1063 % 256 = 39.
  output=$(wine "$service" 2>&1)
  code=$?
  [[ $code -eq $((1063 % 256)) ]] || fail "exit code $code, expected 39 (1063 % 256)"
  [[ -z $output ]] || fail "printed: $output"
  echo "console start: exit code $code, no output"
  exit 0
fi

probe=$3
name=ViriZivadadivazService
state() { wine sc query "$name" | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
wait_for() {
  for _ in $(seq 1 100); do [[ $(state) == "$1" ]] && return 0; sleep 0.1; done
  fail "the service never reached $1 (now $(state))"
}
cleanup() { wine sc stop "$name" >/dev/null 2>&1; wine sc delete "$name" >/dev/null 2>&1; }
trap cleanup EXIT
cleanup

# Right after the prefix boots, wine's service manager is still busy (1055,
# database locked) and may lose a registration, so both steps are retried.
started=no
for _ in $(seq 1 100); do
  wine sc create "$name" binPath= "$(winepath -w "$service")" >/dev/null 2>&1
  if wine sc start "$name" >/dev/null 2>&1; then started=yes; break; fi
  sleep 0.2
done
[[ $started == yes ]] || fail "sc start never succeeded"
wait_for RUNNING
echo "started: RUNNING"

# Wine does not implement the session query (WTSConnectState), so the caller
# check cannot see an active session and every caller is refused: a
# well-formed access-denied reply with request id 0 is the expected answer.
reply=$(wine "$probe" | tr -d '\r')
[[ $reply == 'status 3 id 0 body {"error":"access_denied"}' ]] || fail "reply: $reply"
echo "pipe reply: $reply"

# The final report is read from sc stop's own answer: once the process has
# ended, wine replaces the exit code that the service reported.
stopped=$(wine sc stop "$name" | tr -d '\r')
if ! grep -q 'STATE *: 1 *STOPPED' <<<"$stopped"; then
  wait_for STOPPED
  stopped=$(wine sc query "$name" | tr -d '\r')
fi
exit_code=$(awk '$1 == "WIN32_EXIT_CODE" { print $3 }' <<<"$stopped")
[[ $exit_code == 0 ]] || fail "stopped with exit code $exit_code"
echo "stopped: STOPPED, exit code 0"
