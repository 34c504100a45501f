#!/usr/bin/env bash
# Logins as a user meets them with curl: the users commands, 401/403/429, tokens, a body never read
# before the check, SIGHUP after a user is removed.   logins.sh PONTIVO
set -u
command -v curl >/dev/null || { echo "logins.sh: curl is missing (tools/install-deps.sh --tests)"; exit 1; }
dir=$(mktemp -d) && trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$dir"' EXIT
fail() { echo "logins.sh: $*"; cat "$dir/server.err" 2>/dev/null; exit 1; }
users="$dir/etc/users"
echo 'open sesame' | "$1" --users "$users" --add-user alice --role write 2>/dev/null || fail "--add-user failed"
echo 'peek' | "$1" --users "$users" --add-user rita 2>/dev/null || fail "--add-user rita failed"
token=$("$1" --users "$users" --add-token ci --role write 2>/dev/null)
[[ $token =~ ^[0-9a-f]{64}$ ]] || fail "--add-token printed '$token'"
grep -q "$token" "$users" && fail "the token is in the file"
[ "$("$1" --users "$users" --list-users)" = $'alice write password\nrita read password\nci write token' ] ||
    fail "--list-users: $("$1" --users "$users" --list-users)"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$1" --headless --http-port "$port" --com-port "$dir/board" --users "$users" 2>"$dir/server.err" &
server=$!
url="http://127.0.0.1:$port"
for _ in $(seq 100); do curl -s "$url/test" >/dev/null && break; sleep 0.1; done
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
[ "$(status "$url/get/a")" = 401 ] || fail "no 401 without credentials"
[ "$(curl -s -u 'alice:open sesame' "$url/set/a/1")" = 1 ] || fail "alice cannot set"
[ "$(curl -s -H "Authorization: Bearer $token" "$url/get/a")" = 1 ] || fail "the token cannot read"
[ "$(curl -s -u rita:peek "$url/get/a")" = 1 ] || fail "rita cannot read"
[ "$(status -u rita:peek "$url/set/a/2")" = 403 ] || fail "rita may write"
# A refused request is answered on its head alone: the body it announces is never waited for.
answer=$(printf 'PUT /api/variables/a HTTP/1.1\r\nContent-Length: 100\r\n\r\n' | timeout 2 curl -s telnet://127.0.0.1:$port)
[[ $answer == 'HTTP/1.1 401'* ]] || fail "a PUT without credentials got '$answer'"

# Eleven failures from one address block it; another address goes on.
for _ in $(seq 11); do status --interface 127.0.0.2 -H "Authorization: Bearer bad" "$url/get/a" >/dev/null; done
[ "$(status --interface 127.0.0.2 -u 'alice:open sesame' "$url/get/a")" = 429 ] || fail "127.0.0.2 is not blocked"
[ "$(status --interface 127.0.0.3 -u 'alice:open sesame' "$url/get/a")" = 200 ] || fail "127.0.0.3 is blocked too"
[ "$(grep -c 'failed logins from 127.0.0.2 ' "$dir/server.err")" = 1 ] || fail "the block is not said once"
grep -q 'open sesame\|wrong\|'"$token" "$dir/server.err" && fail "a credential was logged"

"$1" --users "$users" --remove-user alice 2>/dev/null || fail "--remove-user failed"
kill -HUP $server
for _ in $(seq 50); do grep -q 'read again' "$dir/server.err" && break; sleep 0.1; done
[ "$(status --interface 127.0.0.3 -u 'alice:open sesame' "$url/get/a")" = 401 ] || fail "alice stays after SIGHUP"
[ "$(status -u rita:peek "$url/get/a")" = 200 ] || fail "rita is gone after SIGHUP"
kill $server; wait $server 2>/dev/null
echo "logins.sh: passed"
