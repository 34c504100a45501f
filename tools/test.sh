#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every
# test, then the Windows check, the Debian package's install test (as root), a short run of each fuzz
# target, a 1-minute soak of the whole bridge with everything on, and a stalled TLS handshake beside it
# (the whole command stays under 10 minutes;
# longer runs: tools/fuzz.sh --seconds N, bench/soak/soak.py --minutes M).
#   tools/test.sh [--quick]     --quick: the test suite alone
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-sanitize"

"$root/tools/install-deps.sh" --tests
# -O1 with line tables only: a minute less to build than -O2 -g, the same time to run the tests. A unity
# build parses the Qt headers once per batch of files instead of once per file: 40% less compile time.
cmake -S "$root" -B "$build" -DPONTIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
quick=false
[ "${1:-}" = "--quick" ] && quick=true
# The other builds (Windows, package, fuzz) run niced beside the tests, which mostly wait on timers
# and sockets: they take the idle CPU without slowing a test that wants it.
background_log="$build/background-builds.log"
if ! $quick; then
    (
        set -e
        nice -n 19 "$root/tools/windows-check.sh" --build-only
        [ "$(id -u)" -ne 0 ] || nice -n 19 "$root/tools/package.sh" --test
        nice -n 19 "$root/tools/fuzz.sh" --build-only
    ) >"$background_log" 2>&1 &
    background=$!
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --timeout 300 -j"$(nproc)"
$quick && exit 0
# Waits for a step that ran beside others; if it failed, shows the end of its log and stops here.
joined() { wait "$1" || { echo "test.sh: $2 failed; the end of its log follows" >&2; tail -n 100 "$3" >&2; exit 1; }; }
joined "$background" "a build beside the tests" "$background_log"

# Each step says when it ended, counted from the start, so a slow one shows.
step() { echo "test.sh: $1 done at $SECONDS s"; }
step "build and test suite"
# Windows stays buildable: the pure libraries' tests, cross-built and run under Wine, beside the package test.
nice -n 19 "$root/tools/windows-check.sh" >"$build/windows-check.log" 2>&1 &
windows=$!
# The Debian package built, installed, run and purged: only where this run may install packages.
if [ "$(id -u)" -eq 0 ]; then
    "$root/tests/package-test.sh"
else
    echo "tests/package-test.sh skipped: installing a package needs root"
fi
joined "$windows" "the Windows check" "$build/windows-check.log"
tail -1 "$build/windows-check.log"
step "package and Windows checks"

# Beside the soak, which mostly waits on its clients: the fuzz targets (niced, so the soak's server and
# clients come first) and a TLS client that stops mid-handshake, closed by the idle limit (30 s).
ASAN_OPTIONS=detect_leaks=1 nice -n 19 "$root/tools/fuzz.sh" --seconds 5 >"$build/fuzz.log" 2>&1 &
fuzz=$!
"$root/tests/auth/tls.sh" "$build/pontivo" --stall >"$build/tls-stall.log" 2>&1 &
stall=$!
# The soak sets its own sanitizer options for a long-running server.
env -u ASAN_OPTIONS python3 "$root/bench/soak/soak.py" --minutes 1 --all --no-build --binary "$build/pontivo"
joined "$fuzz" "a fuzz target" "$build/fuzz.log"
grep '^fuzz: ' "$build/fuzz.log"
joined "$stall" "the stalled TLS handshake check" "$build/tls-stall.log"
tail -2 "$build/tls-stall.log"
step "fuzz, soak and stalled handshake"
