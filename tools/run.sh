#!/usr/bin/env bash
# Installs what is missing, builds Pontivo (release) and starts it: the window where a display
# exists, headless otherwise. Extra arguments go to pontivo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DPONTIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$root/build/pontivo" "$@"
fi
exec "$root/build/pontivo" --headless "$@"
