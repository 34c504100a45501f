#!/usr/bin/env bash
# HTTPS as openssl s_client and curl see it: TLS 1.1 refused, 1.2 and 1.3 taken with ALPN http/1.1, the
# commands, a file, a large answer and an event stream over it, a key others can read refused. With --stall, also a client that
# stops mid-handshake, closed by the idle limit (30 s).   tls.sh PONTIVO [--stall]
set -u
for tool in openssl curl; do
    command -v $tool >/dev/null || { echo "tls.sh: $tool is missing (tools/install-deps.sh --tests)"; exit 1; }
done
dir=$(mktemp -d) && trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$dir"' EXIT
fail() { echo "tls.sh: $*"; cat "$dir/server.err" 2>/dev/null; exit 1; }
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$dir/key.pem" \
    -out "$dir/cert.pem" -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 2>/dev/null || fail "no certificate"
chmod 644 "$dir/key.pem"
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port) https=$(free_port)
mkdir "$dir/files" && cp "$1" "$dir/pontivo" && set -- "$dir/pontivo" "${@:2}" # serves $dir/files
args=(--headless --http-port "$port" --com-port "$dir/board" --tls-cert "$dir/cert.pem" --tls-key "$dir/key.pem" --https-port "$https")
"$1" "${args[@]}" 2>"$dir/refused.err"
[ $? = 1 ] && grep -q "others can read it; refused (chmod 600 $dir/key.pem)" "$dir/refused.err" ||
    fail "a key others can read is used: $(cat "$dir/refused.err")"
chmod 600 "$dir/key.pem"
"$1" "${args[@]}" 2>"$dir/server.err" &
for _ in $(seq 100); do curl -s "http://127.0.0.1:$port/test" >/dev/null && break; sleep 0.1; done
hello() { echo | timeout 10 openssl s_client -connect "127.0.0.1:$https" -alpn http/1.1 "$@" 2>&1; }
[[ $(hello -tls1_1) == *'alert protocol version'* ]] || fail "TLS 1.1 is taken"
for version in 1_2 1_3; do
    out=$(hello -tls$version)
    [[ $out == *"New, TLSv${version/_/.}, Cipher"* && $out == *'ALPN protocol: http/1.1'* ]] || fail "TLS $version: $out"
done
s=(-s --cacert "$dir/cert.pem")
[ "$(curl "${s[@]}" "https://127.0.0.1:$https/set/a/5")" = 5 ] || fail "no /set over HTTPS"
[ "$(curl -s "http://127.0.0.1:$port/get/a")" = 5 ] || fail "loopback plain HTTP is not served"
# A file and a listing, each larger than the socket takes at once, read slowly: the same bytes as over plain HTTP.
head -c 45000 /dev/urandom | base64 -w0 >"$dir/big"
head -c 16M /dev/urandom >"$dir/files/big" # past what the sockets' buffers hold
for i in $(seq 25); do curl -s -X PUT --data-binary "@$dir/big" "http://127.0.0.1:$port/api/variables/big$i" >/dev/null; done
for path in files/big api/variables; do
    curl -s "http://127.0.0.1:$port/$path" >"$dir/plain" && curl "${s[@]}" --limit-rate 16M "https://127.0.0.1:$https/$path" >"$dir/tls"
    [ $(wc -c <"$dir/plain") -gt 1000000 ] && cmp -s "$dir/plain" "$dir/tls" || fail "/$path differs over HTTPS"
done
curl "${s[@]}" -N --max-time 3 "https://127.0.0.1:$https/events/b" >"$dir/events" &
sleep 1 && curl "${s[@]}" "https://127.0.0.1:$https/set/b/7" >/dev/null && wait %%
grep -q '^data: b=7' "$dir/events" || fail "no event over HTTPS: $(cat "$dir/events")"
if [ "${2:-}" = --stall ]; then
    start=$SECONDS
    python3 - "$https" <<'PY' || fail "a stalled handshake stays open"
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"\x16\x03\x01\x00\x10")  # the start of a ClientHello, then nothing
s.settimeout(45)
sys.exit(0 if s.recv(1) == b"" else 1)
PY
    echo "tls.sh: a stalled handshake was closed after $((SECONDS - start)) s"
fi
echo "tls.sh: passed"
