#!/usr/bin/env bash
# Installs the Debian packages Pontivo needs to build and run (and, with --tests, to test),
# when any is missing. --package and --windows add what tools/package.sh and tools/windows-check.sh need.
set -euo pipefail

packages=(cmake g++ make qt6-base-dev qt6-serialport-dev qt6-svg-dev libmosquitto-dev nlohmann-json3-dev libsqlite3-dev libsodium-dev libssl-dev)
if [ "${1:-}" = "--tests" ]; then
    packages+=(libgtest-dev curl clang-14 libfuzzer-14-dev libclang-rt-14-dev valgrind python3 chromium mosquitto mosquitto-clients prometheus)
    # The example sketch on a simulated AVR (tools/board-avr).
    packages+=(gcc-avr avr-libc arduino-core-avr libsimavr-dev)
fi
# The Debian package (tools/package.sh, tests/package-test.sh) and the Windows check (tools/windows-check.sh).
case "${1:-}" in
    --tests) packages+=(dpkg-dev file systemd g++-mingw-w64-x86-64-posix wine64 libgtest-dev) ;;
    --package) packages+=(dpkg-dev file) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix wine64 libgtest-dev) ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null; then
    echo "pontivo: missing packages (${missing[*]}) and no apt-get to install them; install them by hand." >&2
    exit 1
fi
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
