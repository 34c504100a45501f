#!/usr/bin/env bash
# As a user on a clean Debian machine (as root): build the package, install it with apt-get, serve the
# examples from the installed copy, verify the unit, then purge it and find nothing left.
set -euo pipefail
fail() { echo "package-test: $*" >&2; exit 1; }
root=$(cd "$(dirname "$0")/.." && pwd)
dpkg-query -W -f='${Status}' pontivo 2>/dev/null | grep -q installed && fail "pontivo is installed already"
deb=$("$root/tools/package.sh" --test | tail -n1)
[[ $(basename "$deb") =~ ^pontivo_2\.0-1_[a-z0-9]+\.deb$ ]] || fail "named $deb"
files="/usr/share/pontivo $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')"
trap 'kill ${server:-} 2>/dev/null; apt-get purge -y -qq pontivo >/dev/null 2>&1 || true' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
ls /usr/bin/pontivo{,-win10,-board-sim} /etc/default/pontivo >/dev/null
SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no /usr/lib/systemd/system/pontivo{,@}.service
rating=$(systemd-analyze security --offline=true --threshold=20 --no-pager /usr/lib/systemd/system/pontivo{,@}.service) || fail "over 2.0: $rating"
grep Overall <<<"$rating"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
log=$(mktemp)
# A broker that is not there: the installed program must find its bridge module and keep serving.
(cd / && exec pontivo --headless --http-port "$port" --mqtt mqtt://127.0.0.1:9 2>"$log") &
server=$!
for _ in $(seq 50); do curl -fs "http://127.0.0.1:$port/test" >/dev/null && break; sleep 0.2; done
page=$(curl -fs "http://127.0.0.1:$port/files/examples/")
[[ $page == *led.html* ]] || fail "/files/examples/ answered: ${page:0:200}"
! grep -q "not available" "$log" || fail "$(cat "$log")"
# The window's module loads too: the program is still running when stopped after 3 s.
status=0
env HOME="$(mktemp -d)" QT_QPA_PLATFORM=offscreen timeout 3 pontivo >"$log" 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the window ended with status $status: $(cat "$log")"
started=$SECONDS
SYSTEMD_SANDBOX_STATE=$(mktemp) "$root/tests/package-units.sh" "$deb" || exit 1
echo "package-test: the units under systemd took $((SECONDS - started)) s"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pontivo >/dev/null
left=$(for path in $files; do [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done || true)
[ -z "$left" ] || fail "left after purge: $left"
echo "package-test: built, installed, verified and rated both units, served /files/examples/ from /usr/share/pontivo/files, loaded both modules, ran the units under systemd, purged"
