#!/usr/bin/env bash
# Installs the Debian packages Pontivo needs to build and run (and, with --tests, to test),
# when any is missing. --package and --windows add what tools/package.sh and tools/windows-check.sh need.
set -euo pipefail

packages=(cmake g++ make qt6-base-dev qt6-serialport-dev qt6-svg-dev libmosquitto-dev nlohmann-json3-dev libsqlite3-dev libsodium-dev libssl-dev)
if [ "${1:-}" = "--tests" ]; then
    packages+=(libgtest-dev curl clang-14 libfuzzer-14-dev libclang-rt-14-dev valgrind python3 chromium mosquitto mosquitto-clients prometheus nodejs)
    # The example sketch on a simulated AVR (tools/board-avr).
    packages+=(gcc-avr avr-libc arduino-core-avr libsimavr-dev)
fi
# The Debian package (tools/package.sh, tests/package-test.sh) and the Windows check (tools/windows-check.sh).
case "${1:-}" in
    --tests) packages+=(dpkg-dev file systemd iproute2 procps g++-mingw-w64-x86-64-posix wine64 libgtest-dev) ;;
    --package) packages+=(dpkg-dev file) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix wine64 libgtest-dev) ;;
esac

# npm packages of a test folder (its package.json and lock), when its node_modules is older than the lock.
npm_tests() {
    [ "${1:-}" = "--tests" ] || return 0
    # Debian's nodejs comes without npm (other builds of nodejs bring their own).
    command -v npm >/dev/null || DEBIAN_FRONTEND=noninteractive $(command -v sudo) apt-get install -y -qq npm
    command -v npm >/dev/null || { echo "pontivo: no npm for the tests' npm packages" >&2; return 1; }
    for lock in "$(dirname "$0")"/../tests/*/package-lock.json "$(dirname "$0")"/../tests/*/*/package-lock.json; do
        folder=$(dirname "$lock")
        [ "$folder/node_modules/.package-lock.json" -nt "$lock" ] && continue
        PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix "$folder" --no-audit --no-fund
    done
}

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && { npm_tests "${1:-}"; exit 0; }

if ! command -v apt-get >/dev/null; then
    echo "pontivo: missing packages (${missing[*]}) and no apt-get to install them; install them by hand." >&2
    exit 1
fi
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
npm_tests "${1:-}"
