#!/usr/bin/env bash
# The client's Windows-facing code under wine.
#   client_windows_tests.sh code <client_windows_test.exe>
#     the registry, the pipe, and an installer over schannel from a loopback TLS server
#   client_windows_tests.sh meeting <client_meets_service_test.exe> <accelerator-service.exe>
#     "检查服务" in the real window against the real service under wine's service manager
set -uo pipefail
mode=$1 tests=$2
# The tests run on Qt's windows platform plugin, as the client does, on a display of their own.
export WINEDEBUG=-all ZV_TEST_NATIVE_PLATFORM=1
work=$(mktemp -d)
server="" xvfb=""
name=ViriZivadadivazService
cleanup() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [[ -n $xvfb ]] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  if [[ $mode == meeting ]]; then wine sc stop "$name" >/dev/null 2>&1; wine sc delete "$name" >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")

if [[ $mode == code ]]; then
  head -c 300000 /dev/urandom >"$work/setup.exe"
  # s_server -HTTP sends a file as the whole answer: headers first, so the length is announced.
  { printf 'HTTP/1.1 200 OK\r\nContent-Length: %s\r\nConnection: close\r\n\r\n' "$(stat -c %s "$work/setup.exe")"
    cat "$work/setup.exe"; } >"$work/setup"
  # A throwaway authority and a server certificate it signs: only the test adds the authority to
  # the prefix's root store, for as long as it needs it.
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=zv-test-authority-$RANDOM$RANDOM" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -addext extendedKeyUsage=serverAuth 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
    -out server.crt 2>/dev/null
  openssl x509 -in ca.crt -outform der -out ca.der
  cd - >/dev/null
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 30000))
    (cd "$work" && exec openssl s_server -HTTP -accept "$port" -cert server.crt -key server.key) \
      >"$work/tls.log" 2>&1 &
    server=$!
    for _ in $(seq 50); do grep -q ACCEPT "$work/tls.log" && break; kill -0 "$server" 2>/dev/null || break; sleep 0.05; done
    grep -q ACCEPT "$work/tls.log" && break
    wait "$server" 2>/dev/null
    server=""
  done
  [[ -n $server ]] || { echo "FAIL: no TLS server: $(cat "$work/tls.log")"; exit 1; }
  export ZV_TLS_URL=https://127.0.0.1:$port/setup ZV_TLS_FILE=$(winepath -w "$work/setup.exe") \
    ZV_TLS_CERTIFICATE_DER=$(winepath -w "$work/ca.der")
  ZV_TLS_TRUSTED=no wine "$tests" --gtest_filter='WindowsClient.*' || exit 1
  ZV_TLS_TRUSTED=yes wine "$tests" --gtest_filter='WindowsClient.TheInstaller*'
  exit $?
fi

service=$3
cleanup_first() { wine sc stop "$name" >/dev/null 2>&1; wine sc delete "$name" >/dev/null 2>&1; }
cleanup_first
started=no
# Right after the prefix boots wine's service manager may be busy (1055) and lose a registration.
for _ in $(seq 100); do
  wine sc create "$name" binPath= "$(winepath -w "$service")" >/dev/null 2>&1
  if wine sc start "$name" >/dev/null 2>&1; then started=yes; break; fi
  sleep 0.2
done
[[ $started == yes ]] || { echo "FAIL: the service never started"; exit 1; }
wine "$tests" --gtest_filter='WindowsMeeting.*'
