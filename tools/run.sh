#!/usr/bin/env bash
# Installs what is missing, builds Pontivo (release) and starts it. Extra arguments go to pontivo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DPONTIVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)"
exec "$root/build/pontivo" --headless "$@"
