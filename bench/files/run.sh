#!/usr/bin/env bash
# Static files over loopback: Pontivo against nginx serving the same 1 MB and 50 MB files in the
# same run, one connection per request. Prints requests/s, MB/s and Pontivo's peak RSS, and exits 1
# when a target is missed. All load goes to 127.0.0.1 and stops by itself. See README.md.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD=$REPO/build-bench-files
BINARY="" BUILD_IT=1 DUR=8 PORT=18095 OUT=""

usage() {
  cat <<USAGE
usage: $0 [--duration S] [--port N] [--build-dir DIR | --binary FILE] [--no-build] [--out DIR]
  --duration S   seconds of load per server, size and concurrency (default $DUR; 8 loads in all)
  --port N       Pontivo listens on N, nginx on N+1 (default $PORT)
  --build-dir    Release build folder (default $BUILD); --binary uses a pontivo built elsewhere
  --out DIR      work and results folder (default /tmp/pontivo-bench-files-<time>)
USAGE
}

while [ $# -gt 0 ]; do
  case "$1" in
    --duration) DUR=$2; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --build-dir) BUILD=$(realpath -m "$2"); shift 2 ;;
    --binary) BINARY=$(realpath "$2"); BUILD_IT=0; shift 2 ;;
    --no-build) BUILD_IT=0; shift ;;
    --out) OUT=$(realpath -m "$2"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
done
OUT=${OUT:-/tmp/pontivo-bench-files-$(date +%Y%m%d-%H%M%S)}
BINARY=${BINARY:-$BUILD/pontivo}
for tool in wrk nginx curl taskset; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

if [ "$BUILD_IT" = 1 ]; then
  echo "building Release into $BUILD"
  cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPONTIVO_BUILD_TESTS=OFF >/dev/null || exit 1
  cmake --build "$BUILD" -j2 --target pontivo >/dev/null || exit 1
fi

# Pontivo serves the files folder beside its executable, so it runs from a copy next to the test files.
SRV=$OUT/srv
mkdir -p "$SRV/files" "$OUT/nginx/tmp" "$OUT/logs"
cp "$BINARY" "$SRV/pontivo" || exit 1
head -c 1000000 /dev/urandom >"$SRV/files/1mb.bin"
head -c 50000000 /dev/urandom >"$SRV/files/50mb.bin"

cat >"$OUT/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
error_log $OUT/nginx/error.log;
pid $OUT/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $OUT/nginx/tmp;
    proxy_temp_path $OUT/nginx/tmp;
    fastcgi_temp_path $OUT/nginx/tmp;
    uwsgi_temp_path $OUT/nginx/tmp;
    scgi_temp_path $OUT/nginx/tmp;
    server { listen 127.0.0.1:$((PORT + 1)); root $SRV; }
}
CONF

SERVER_PID=""
stop_server() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  SERVER_PID=""
}
trap stop_server EXIT

# Servers on CPU 1, the client on CPU 0.
start_server() { # name
  if [ "$1" = pontivo ]; then
    taskset -c 1 "$SRV/pontivo" --headless --http-port "$PORT" 2>"$OUT/logs/pontivo.err" &
  else
    taskset -c 1 nginx -p "$OUT/nginx" -c "$OUT/nginx/nginx.conf" &
  fi
  SERVER_PID=$!
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$(port_of "$1")/" && return 0
    sleep 0.1
  done
  echo "$1 did not start" >&2; exit 1
}
port_of() { [ "$1" = pontivo ] && echo "$PORT" || echo $((PORT + 1)); }

# One connection per request for both servers, as Pontivo always closes.
load() { # name file connections
  local url="http://127.0.0.1:$(port_of "$1")/files/$2"
  curl -s "$url" | cmp -s - "$SRV/files/$2" || { echo "$1 served $2 wrongly" >&2; exit 1; }
  taskset -c 0 wrk -t1 -c"$3" -d"${DUR}s" -H "Connection: close" "$url" >"$OUT/logs/$1-$2-c$3.txt"
  local rps errors
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$OUT/logs/$1-$2-c$3.txt")
  errors=$(grep -cE "Socket errors|Non-2xx" "$OUT/logs/$1-$2-c$3.txt")
  local size
  size=$(stat -c %s "$SRV/files/$2")
  printf "%s\t%s\t%s\t%s\t%s\n" "$1" "$2" "$3" "$rps" "$(awk -v r="$rps" -v s="$size" 'BEGIN {printf "%.0f", r * s / 1e6}')" \
    >>"$OUT/results.tsv"
  [ "$errors" = 0 ] || echo "errors in $OUT/logs/$1-$2-c$3.txt" >&2
}

printf "server\tfile\tconnections\treq/s\tMB/s\n" >"$OUT/results.tsv"
declare -A HWM
for file in 1mb.bin 50mb.bin; do
  for server in nginx pontivo; do
    start_server "$server"
    load "$server" "$file" 1
    load "$server" "$file" 4
    [ "$server" = pontivo ] && HWM[$file]=$(awk '/^VmHWM:/ {print $2}' "/proc/$SERVER_PID/status")
    stop_server
  done
done

column -t -s $'\t' "$OUT/results.tsv"
echo
missed=0
for c in 1 4; do
  nginx=$(awk -F'\t' -v c=$c '$1 == "nginx" && $2 == "50mb.bin" && $3 == c {print $5}' "$OUT/results.tsv")
  ours=$(awk -F'\t' -v c=$c '$1 == "pontivo" && $2 == "50mb.bin" && $3 == c {print $5}' "$OUT/results.tsv")
  ratio=$(awk -v a="$ours" -v b="$nginx" 'BEGIN {printf "%.2f", a / b}')
  verdict=$(awk -v r="$ratio" 'BEGIN {print (r >= 0.5) ? "ok" : "MISSED"}')
  [ "$verdict" = ok ] || missed=1
  echo "50 MB, c=$c: Pontivo $ours MB/s = ${ratio} x nginx ($nginx MB/s); target >= 0.5 x: $verdict"
done
for file in 1mb.bin 50mb.bin; do
  size=$(stat -c %s "$SRV/files/$file")
  ratio=$(awk -v h="${HWM[$file]}" -v s="$size" 'BEGIN {printf "%.2f", h * 1024 / s}')
  line="peak RSS (VmHWM) serving $file: ${HWM[$file]} kB = $ratio x the file"
  if [ "$file" = 50mb.bin ]; then
    verdict=$(awk -v r="$ratio" 'BEGIN {print (r < 3) ? "ok" : "MISSED"}')
    [ "$verdict" = ok ] || missed=1
    line="$line; target < 3 x: $verdict"
  fi
  echo "$line"
done
echo "results: $OUT/results.tsv, wrk output: $OUT/logs/"
rm -f "$SRV/files/1mb.bin" "$SRV/files/50mb.bin"
exit $missed
