#!/usr/bin/env bash
# Builds a Release of the programs (no tests) for /usr and packs it as build-package/pontivo_<version>-1_<arch>.deb;
# the last line printed is the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-package"
optimise=()
# --test: the same package unoptimised and built in batches, in its own folder, for the install test.
if [ "${1:-}" = "--test" ]; then
    build="$root/build-package-test"
    optimise=(-DCMAKE_CXX_FLAGS_RELEASE=-O0 -DCMAKE_UNITY_BUILD=ON)
fi

"$root/tools/install-deps.sh" --package
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "${optimise[@]}" -DPONTIVO_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/pontivo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/pontivo_*.deb
