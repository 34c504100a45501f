#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every
# test, then the Windows check, the Debian package's install test (as root), a short run of each fuzz
# target and a 1-minute soak of the whole bridge (the whole command stays under 10 minutes;
# longer runs: tools/fuzz.sh --seconds N, bench/soak/soak.py --minutes M).
#   tools/test.sh [--quick]     --quick: the test suite alone
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-sanitize"

"$root/tools/install-deps.sh" --tests
# -O1 with line tables only: a minute less to build than -O2 -g, the same time to run the tests.
cmake -S "$root" -B "$build" -DPONTIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --timeout 300
[ "${1:-}" = "--quick" ] && exit 0

# Windows stays buildable: the pure libraries' tests, cross-built and run under Wine.
"$root/tools/windows-check.sh"
# The Debian package built, installed, run and purged: only where this run may install packages.
if [ "$(id -u)" -eq 0 ]; then
    "$root/tests/package-test.sh"
else
    echo "tests/package-test.sh skipped: installing a package needs root"
fi

ASAN_OPTIONS=detect_leaks=1 "$root/tools/fuzz.sh" --seconds 10
# The soak sets its own sanitizer options for a long-running server.
env -u ASAN_OPTIONS python3 "$root/bench/soak/soak.py" --minutes 1 --no-build --binary "$build/pontivo"
