#!/usr/bin/env bash
# Takes docs/screenshot.png: the window under Xvfb while running, with the board simulator
# as the board and one /set request passing. Needs xvfb and a build with tests (the default).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
cmake --build "$build" -j2 --target pontivo-screenshot pontivo-board-sim >/dev/null

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
board=$(mktemp -u /tmp/pontivo-shot-board.XXXX)
"$build/pontivo-board-sim" --link "$board" --every 200 '{temp=21}' >/dev/null 2>&1 &
sim=$!
trap 'kill $sim $xvfb 2>/dev/null || true' EXIT
sleep 1
mkdir -p "$root/docs"
DISPLAY=$display "$build/pontivo-screenshot" "$root/docs/screenshot.png" "$board"
echo "wrote $root/docs/screenshot.png"
