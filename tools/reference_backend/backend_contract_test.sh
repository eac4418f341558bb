#!/usr/bin/env bash
# zv-backend against the client's contract, over HTTP: tokens are needed and
# checked, the catalog and the profile have the members the client reads, the
# region's nodes come in the order given, a refused session is neither stored
# nor provisioned, a device's new session replaces its old one, a failed write
# leaves no peer behind, bodies are bounded, password checks hold up no other
# request, the release check offers a Linux release and can offer an installer
# served over HTTPS, state survives a restart, and unseen sessions expire.
#   backend_contract_test.sh ZV_BACKEND
set -uo pipefail
backend=$1
state=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The node's wg: it notes what it is told, fails while node-down exists, and
# reports a handshake just now for the peers listed in handshakes.
mkdir "$state/bin"
cat >"$state/bin/wg" <<WG
#!/bin/sh
echo "\$*" >>$state/wg.log
[ "\$1" = show ] && sed "s/\$/\t\$(date +%s)/" $state/handshakes 2>/dev/null
[ ! -e $state/node-down ]
WG
chmod +x "$state/bin/wg"
dead=BAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg=  # a node nobody answers at, offered first
pid=""
start() {
  PATH="$state/bin:$PATH" "$backend" --database "$state/db.sqlite" --port "${port:-0}" --node "192.0.2.9:51820,$dead" \
    --node-interface zv-node --node-endpoint 192.0.2.1:51820 --node-public-key AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8= "$@" \
    >"$state/log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do grep -q 'listening on' "$state/log" && break; sleep 0.05; done
  port=$(grep -o 'listening on http://127.0.0.1:[0-9]*' "$state/log" | cut -d: -f3)
}
stop() { kill "$pid" && wait "$pid"; }
trap 'kill $pid 2>/dev/null; rm -rf "$state"' EXIT

# call METHOD PATH [BODY] [TOKEN] -> "STATUS BODY"
call() {
  local auth=()
  [[ -n ${4:-} ]] && auth=(-H "Authorization: Bearer $4")
  curl -s -o "$state/body" -w '%{http_code}' -X "$1" "${auth[@]}" -H 'Content-Type: application/json' \
    ${3:+--data "$3"} "http://127.0.0.1:$port$2"
  echo " $(cat "$state/body")"
}
# The expected text with * as the only wildcard.
expect() {
  local pattern=${3//[/\\[}
  pattern=${pattern//]/\\]}
  # shellcheck disable=SC2053
  [[ $2 == $pattern ]] || fail "$1: got '$2'"
}

start
expect "wrong password" "$(call POST /api/v1/auth/login '{"account":"demo@zentravolk.com","password":"x"}')" \
  '401 {"message":"账号或密码错误"}'
# login DEVICE: the answer; its access token in $token
login() {
  login=$(call POST /api/v1/auth/login "{\"account\":\"demo@zentravolk.com\",\"password\":\"demo-pass-2026\",\"device_id\":\"$1\"}")
  [[ $login =~ ^200\ \{\"access_token\":\"([0-9a-f]{64})\",\"refresh_token\":\"[0-9a-f]{64}\"\}$ ]] || fail "login: $login"
  token=${BASH_REMATCH[1]:-}
}
login d
expect "no token" "$(call GET /api/v1/me)" '401 {"message":"登录已失效，请重新登录"}'
expect "refresh token is no bearer" "$(call GET /api/v1/games '' "${login:80:64}")" '401 *'
expect "profile" "$(call GET /api/v1/me '' "$token")" \
  '200 {"account":"demo@zentravolk.com","membership":{"active":true,"expires_at":"*","kind":"trial"}}'
expect "games" "$(call GET /api/v1/games '' "$token")" '200 {"items":[{"id":"g-cs2","name":"Counter-Strike 2","slug":"cs2"},*'
expect "regions" "$(call GET /api/v1/games/g-cs2/regions '' "$token")" '200 {"items":[{"id":"hk","name":"香港"}]}'
expect "unknown game" "$(call GET /api/v1/games/nope/regions '' "$token")" '404 {"message":"*"}'
expect "nodes, in the order given" "$(call GET /api/v1/games/g-cs2/regions/hk/nodes '' "$token")" \
  '200 {"items":[{"id":"hk-node-1","location":"hk","name":"Hong Kong Node 1","score":20},{"id":"hk-node-2","location":"hk","name":"Hong Kong Test Node","score":20}]}'
session='{"game_id":"g-cs2","region_id":"hk","preferred_node_id":"%s","client_public_key":"%s"}'
# shellcheck disable=SC2059
expect "short key" "$(call POST /api/v1/acceleration/sessions "$(printf "$session" hk-node-2 c2hvcnQ=)" "$token")" \
  '400 {"message":"客户端公钥无效"}'
# key N: the Nth of several 32-byte keys. create N [NODE]: a session for it, on hk-node-2 unless named.
key() { printf %032d "$1" | base64; }
# shellcheck disable=SC2059
create() { call POST /api/v1/acceleration/sessions "$(printf "$session" "${2:-hk-node-2}" "$(key "$1")")" "$token"; }
# id ANSWER: the session id in a create's answer. session_of KEY: the stored session of a key.
id() { [[ $1 =~ \"session_id\":\"([^\"]+)\" ]] && echo "${BASH_REMATCH[1]}"; }
session_of() {
  python3 -c "import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute(
    'SELECT id FROM sessions WHERE client_public_key = ?', (sys.argv[2],)).fetchone()[0])" "$state/db.sqlite" "$1"
}
touch "$state/node-down"
expect "node unreachable" "$(create 1)" '503 {"message":"加速节点暂不可用"}'
rm "$state/node-down"
expect "no such session" "$(call DELETE /api/v1/acceleration/sessions/s1 '' "$token")" '404 *'
expect "no such node" "$(create 1 hk-node-9)" '400 {"message":"加速节点不存在"}'
# The node that is not run here gets no peer, only the session its endpoint names.
told=$(wc -l <"$state/wg.log")
on_first=$(create 1 hk-node-1)
expect "on the first node" "$on_first" \
  "201 {\"allowed_ips\":[\"198.51.100.0/24\"],\"assigned_ip\":\"10.240.0.2/32\",\"egress_ip\":\"203.0.113.10\",\"endpoint\":\"192.0.2.9:51820\",\"game_processes\":[\"cs2.exe\"],\"rules_environment\":\"game-rules\",\"server_public_key\":\"$dead\",\"session_id\":\"*\"}"
[[ $(wc -l <"$state/wg.log") -eq $told ]] || fail "a node not run here was told: $(tail -1 "$state/wg.log")"

# A device holds one session: its next one, even on another node, replaces it:
# the old address is free again and the old peer goes. A live session's key is
# no one else's, and an account holds three sessions at most: the third is made
# only if the refused second use was not stored. A failed write answers an
# error and leaves no peer.
on_first=$(id "$on_first")
second=$(id "$(create 2)")
grep -qx "set zv-node peer $(key 2) allowed-ips 10.240.0.2/32" "$state/wg.log" || fail "the replaced address is not free"
expect "replaced by the device's next session" "$(call DELETE "/api/v1/acceleration/sessions/$on_first" '' "$token")" \
  '404 *'
expect "replaced again" "$(create 3)" '201 *'
[[ $(tail -2 "$state/wg.log" | head -1) == "set zv-node peer $(key 2) remove" ]] || fail "the replaced session's peer stayed"
expect "the replaced one is gone" "$(call DELETE "/api/v1/acceleration/sessions/$second" '' "$token")" '404 *'
login e
expect "a key in use" "$(create 3)" '409 {"message":"该客户端公钥已被其他会话使用"}'
expect "second session" "$(create 4)" '201 *'
login f
# failing WHAT: the database refuses to WHAT (INSERT, DELETE) sessions until it is told "failing no".
failing() {
  python3 -c "import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute('DROP TRIGGER IF EXISTS failing')
if sys.argv[2] != 'no': db.execute('CREATE TRIGGER failing BEFORE ' + sys.argv[2] + ' ON sessions BEGIN SELECT RAISE(ABORT, \'disk full\'); END')" \
    "$state/db.sqlite" "$1"
}
failing INSERT
expect "a failed write" "$(create 5)" '500 {"message":"服务器暂时无法保存数据，请稍后再试"}'
tail -2 "$state/wg.log" | grep -qx "set zv-node peer $(key 5) remove" || fail "the failed session's peer stayed"
failing DELETE
expect "a failed delete" "$(call DELETE "/api/v1/acceleration/sessions/$(session_of "$(key 4)")" '' "$token")" \
  '500 {"message":"服务器暂时无法保存数据，请稍后再试"}'
failing no
expect "third session" "$(create 5)" '201 *'
login g
told=$(wc -l <"$state/wg.log")
expect "fourth session" "$(create 6)" '409 {"message":"每个账号最多同时使用 3 个加速会话，请先停止其他会话"}'
[[ $(wc -l <"$state/wg.log") -eq $told ]] || fail "a refused session reached the node: $(tail -1 "$state/wg.log")"

# Bodies up to 64 KiB reach the routes, a larger one is refused (also later on a
# kept connection), and before it is sent: 1 GiB is announced, one byte comes;
# the 256 MiB sent after the refusal are dropped, not kept.
head -c 65536 /dev/zero | tr '\0' ' ' >"$state/fits"
cat "$state/fits" - <<<'' >"$state/over"
statuses=$(curl -s -o /dev/null -w '%{http_code} ' -H 'Expect:' --data-binary @"$state/fits" \
  "http://127.0.0.1:$port/api/v1/auth/login" --next -s -o "$state/body" -w '%{http_code} ' -H 'Expect:' \
  --data-binary @"$state/over" "http://127.0.0.1:$port/api/v1/auth/login")
expect "bodies over 64 KiB" "$statuses$(cat "$state/body")" '401 413 {"message":"请求内容过大"}'
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'POST /api/v1/auth/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1073741824\r\n\r\n{' >&3
IFS= read -r -t 10 line <&3
head -c 268435456 /dev/zero >&3 2>/dev/null
exec 3<&-
[[ ${line:-} == $'HTTP/1.1 413 Payload Too Large\r' ]] || fail "1 GiB announced: '${line:-}'"
peak=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
((peak < 100000)) || fail "the backend grew to $peak kB"

# Password checks run beside the event loop: while four wrong passwords are
# checked, the profile is answered before the last of them. The log has the
# answers in the order they were made; clients may see a blocked server's
# answers all at once.
status() { curl -s -o /dev/null -w '%{http_code}\n' "$@"; }
logins=()
for _ in 1 2 3 4; do
  status -d '{"account":"demo@zentravolk.com","password":"x"}' "http://127.0.0.1:$port/api/v1/auth/login" \
    >>"$state/statuses" &
  logins+=($!)
done
for _ in $(seq 500); do [[ $(ss -Htn state established "( dport = :$port )" | wc -l) -ge 4 ]] && break; sleep 0.01; done
status -H "Authorization: Bearer $token" "http://127.0.0.1:$port/api/v1/me" >>"$state/statuses"
wait "${logins[@]}"
order=$(grep -oE 'POST /api/v1/auth/login -> 401|GET /api/v1/me -> 200' "$state/log" | tail -5 | cut -c1 | xargs)
[[ $(sort "$state/statuses" | xargs) == "200 401 401 401 401" && $order == *G*P ]] ||
  fail "answers $(xargs <"$state/statuses") made in the order $order (G: profile, P: login)"

expect "release" "$(call GET '/api/v1/client/releases/latest?channel=alpha&platform=windows-x64')" '200 *"version":"0.4.0"}'
expect "Linux release" "$(call GET '/api/v1/client/releases/latest?channel=alpha&platform=linux-x64')" \
  '200 {"mandatory":false,"release_notes":"线路更稳定，断线时提示更清楚。","version":"0.4.1"}'
expect "another platform" "$(call GET '/api/v1/client/releases/latest?channel=alpha&platform=macos-arm64')" \
  '404 {"message":"没有可用的版本"}'
stop

# Restarted with an installer to offer and sessions that expire after 2 s
# unseen: the token still holds, the installer comes over HTTPS, as large and
# with the hash the answer gives, and only the session whose peer shakes hands
# with its node outlives the expiry (one on the node not run here is never seen).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 -days 1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$state/key.pem" -out "$state/cert.pem" 2>/dev/null
head -c 300000 /dev/urandom >"$state/Zentravolk-Setup.exe"
key 4 >"$state/handshakes"
seen=$(session_of "$(key 4)") unseen=$(session_of "$(key 5)")
start --installer "$state/Zentravolk-Setup.exe" --release-version 9.9.9 --tls-certificate "$state/cert.pem" \
  --tls-key "$state/key.pem" --session-expiry 2 --linux-release-version 1.0.0
expect "the token outlives a restart" "$(call GET /api/v1/me '' "$token")" '200 *'
expect "the Linux release given" "$(call GET '/api/v1/client/releases/latest?channel=alpha&platform=linux-x64')" \
  '200 *"version":"1.0.0"}'
sleep 3.5
expect "seen on its node" "$(call DELETE "/api/v1/acceleration/sessions/$seen" '' "$token")" '204 '
expect "unseen for 2 s" "$(call DELETE "/api/v1/acceleration/sessions/$unseen" '' "$token")" '404 *'
grep -qx "set zv-node peer $(key 5) remove" "$state/wg.log" || fail "the expired session's peer stayed"
release=$(call GET '/api/v1/client/releases/latest?channel=alpha&platform=windows-x64')
expect "the served installer" "$release" "200 {\"download_url\":\"https://127.0.0.1:*/downloads/Zentravolk-Setup.exe\",\
\"mandatory\":false,\"release_notes\":\"\",\"sha256\":\"$(sha256sum <"$state/Zentravolk-Setup.exe" | cut -c1-64)\",\
\"size_bytes\":300000,\"version\":\"9.9.9\"}"
[[ $release =~ \"download_url\":\"([^\"]+)\" ]]
if ! curl -s --cacert "$state/cert.pem" -o "$state/downloaded" "${BASH_REMATCH[1]:-none}" ||
  ! cmp -s "$state/downloaded" "$state/Zentravolk-Setup.exe"; then
  fail "the offered installer did not come over HTTPS"
fi
[[ $failures -eq 0 ]] && echo "the backend keeps its contract"
exit $((failures > 0))
