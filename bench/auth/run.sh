#!/usr/bin/env bash
# Logins and HTTPS, measured: HTTPS /get and /set beside nginx serving the same certificate, Basic against
# no login on plain /get, and a 60 s guessing attack with another client on /test.
#   bench/auth/run.sh [--binary build/pontivo] [--count 2000] [--rounds 5] [--attack-seconds 60] [--addresses 10000]
# The servers run on CPU 1, the clients on CPU 0. Two servers compared get their requests one for one, --rounds
# times, and the medians are taken: this machine's speed drifts by a third within minutes. Needs nginx, openssl and python3.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
binary=$root/build/pontivo count=2000 rounds=5 attack_seconds=60 addresses=10000
while [ $# -gt 0 ]; do
    case $1 in
        --binary) binary=$2; shift 2 ;;
        --count) count=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --attack-seconds) attack_seconds=$2; shift 2 ;;
        --addresses) addresses=$2; shift 2 ;;
        *) echo "usage: $0 [--binary PATH] [--count N] [--rounds N] [--attack-seconds S] [--addresses N]" >&2; exit 2 ;;
    esac
done
for tool in nginx openssl python3 taskset; do
    command -v "$tool" >/dev/null || { echo "auth bench: $tool is missing (tools/install-deps.sh --tests)" >&2; exit 1; }
done
[ -x "$binary" ] || { echo "auth bench: no $binary: build it in Release first" >&2; exit 1; }

dir=$(mktemp -d /tmp/pontivo-auth-bench.XXXXXX)
cleanup() { pkill -P $$ 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
chmod 600 "$dir/key.pem"
printf 'secret\n' | "$binary" --users "$dir/users" --add-user alice --role write >/dev/null
basic="Authorization: Basic $(printf alice:secret | base64)"
cpu() { taskset -c 0 python3 "$root/bench/auth/cpu.py" "$@"; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
# compare LABEL PID URL HEADER LABEL PID URL: --rounds runs of interleaved requests, each printed, then the medians.
compare() {
    local first=() second=() ratios=() a b r rest
    for _ in $(seq "$rounds"); do
        read -r a b r rest < <(cpu "$count" "$2" "$3" "$4" "$6" "$7")
        echo "$1 $a us, $5 $b us CPU per request: ${r}x $rest"
        first+=("$a") second+=("$b") ratios+=("$r")
    done
    echo "median of $rounds: $1 $(median "${first[@]}") us, $5 $(median "${second[@]}") us, ratio $(median "${ratios[@]}")x"
}

# Starts a server on CPU 1 and waits for its port; sets $pid.
serve() {
    local port=$1; shift
    taskset -c 1 "$@" >"$dir/out.$port" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "auth bench: nothing listens on $port:" >&2; cat "$dir/out.$port" >&2; exit 1
}
# A board on a pseudo-terminal, as in use: a missing port would have the server looking for it meanwhile.
sim=$(dirname "$binary")/pontivo-board-sim
[ -x "$sim" ] || { echo "auth bench: no $sim beside $binary" >&2; exit 1; }
sleep 3600 | "$sim" --link "$dir/board" >/dev/null &
for _ in $(seq 50); do [ -e "$dir/board" ] && break; sleep 0.1; done
pontivo=("$binary" --headless --com-port "$dir/board" --bind 127.0.0.1)

cat >"$dir/nginx.conf" <<EOF
worker_processes 1; master_process off; daemon off; pid $dir/nginx.pid; error_log $dir/nginx.err;
events {}
http {
    access_log off;
    server {
        listen 127.0.0.1:18243 ssl; ssl_certificate $dir/cert.pem; ssl_certificate_key $dir/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3; keepalive_timeout 0;
        location /get/ { return 200 "1"; }
        location /set/ { return 200 "1"; }
    }
}
EOF
serve 18243 nginx -c "$dir/nginx.conf" -e "$dir/nginx.err"
nginx_pid=$pid
serve 18244 "${pontivo[@]}" --http-port 18244 --tls-cert "$dir/cert.pem" --tls-key "$dir/key.pem" --https-port 18245
tls_pid=$pid
curl -s -o /dev/null http://127.0.0.1:18244/set/a/1
echo "== HTTPS, connection per request (TLS handshake each), server CPU per request"
for path in /get/a /set/a/1; do
    compare pontivo "$tls_pid" "https://127.0.0.1:18245$path" "" nginx "$nginx_pid" "https://127.0.0.1:18243$path"
done

echo "== plain /get, Basic login against none"
serve 18246 "${pontivo[@]}" --http-port 18246 --users "$dir/users"
users_pid=$pid
curl -s -o /dev/null -u alice:secret http://127.0.0.1:18246/set/a/1
# Ten times the requests: at 40 us each, 2,000 would take 8 ticks of the system's 10 ms CPU clock.
count=$((count * 10)) compare login "$users_pid" http://127.0.0.1:18246/get/a "$basic" none "$tls_pid" http://127.0.0.1:18244/get/a

echo "== $attack_seconds s of guessing from $addresses addresses, another client on /test every 10 ms"
taskset -c 0 python3 "$root/bench/auth/attack.py" "$users_pid" 18246 "$attack_seconds" "$addresses" "$basic"
echo "== the same with wrong tokens (no password hashing: the guard's own memory)"
taskset -c 0 python3 "$root/bench/auth/attack.py" "$users_pid" 18246 "$attack_seconds" "$addresses" "$basic" tokens
