#!/usr/bin/env bash
# Start-up to window shown and memory of the shown window, measured on the release build
# under Xvfb with /usr/bin/time. Needs xvfb, x11-utils (xev, xwininfo) and GNU time.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-bench"
runs=5
program=pontivo
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --program) program=$2; shift 2 ;;
        --no-build) nobuild=1; shift ;;
        *) echo "usage: $0 [--build-dir DIR] [--runs N] [--program pontivo|pontivo-win10] [--no-build]" >&2; exit 2 ;;
    esac
done
if [ -z "${nobuild:-}" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONTIVO_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target "$program" >/dev/null
fi

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do xwininfo -display "$display" -root >/dev/null 2>&1 && break; sleep 0.1; done

# One X client watches for the window being mapped; polling with xwininfo instead makes
# Xvfb refuse connections now and then.
coproc XEV { stdbuf -oL xev -display "$display" -root -event substructure 2>/dev/null; }
out=$(mktemp -d)
echo "run  shown_ms  max_rss_MB"
for run in $(seq "$runs"); do
    start=$(date +%s%N)
    DISPLAY=$display /usr/bin/time -f "%M" -o "$out/time.$run" "$build/$program" 2>/dev/null &
    timer=$!
    while read -r line <&"${XEV[0]}"; do [[ $line == MapNotify* ]] && break; done
    shown=$((($(date +%s%N) - start) / 1000000))
    sleep 2 # the window idles as users leave it
    pkill -TERM -P "$timer" || true
    wait "$timer" || true
    rss_kb=$(tail -n 1 "$out/time.$run")
    echo "$run  $shown  $(awk -v kb="$rss_kb" 'BEGIN { printf "%.1f", kb / 1024 }')"
done
kill "$XEV_PID" 2>/dev/null || true
rm -rf "$out"
echo "targets: shown < 300 ms, max RSS < 60 MB"
