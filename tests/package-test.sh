#!/usr/bin/env bash
# As a user on a clean Debian machine (as root): build the package, install it with apt-get, serve the
# examples from the installed copy, check the unit, then remove and purge it and find nothing left.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if dpkg-query -W -f='${Status}' pontivo 2>/dev/null | grep -q installed; then
    echo "package-test: pontivo is installed already; remove it first" >&2
    exit 1
fi
deb=$("$root/tools/package.sh" | tail -n1)
[[ $(basename "$deb") =~ ^pontivo_2\.0-1_[a-z0-9]+\.deb$ ]] || { echo "package-test: named $deb" >&2; exit 1; }
files="/usr/share/pontivo $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')"
server=""
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
trap 'kill "$server" 2>/dev/null || true; apt-get purge -y -qq pontivo >/dev/null 2>&1 || true' EXIT
for path in /usr/bin/pontivo /usr/bin/pontivo-win10 /usr/bin/pontivo-board-sim /etc/default/pontivo \
            /usr/share/pontivo/files/examples/led.html /usr/lib/systemd/system/pontivo.service; do
    [ -e "$path" ] || { echo "package-test: $path not installed" >&2; exit 1; }
done
SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no /usr/lib/systemd/system/pontivo.service
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd / && exec pontivo --headless --http-port "$port" 2>/dev/null) &
server=$!
for _ in $(seq 50); do curl -fs "http://127.0.0.1:$port/test" >/dev/null && break; sleep 0.2; done
page=$(curl -fs "http://127.0.0.1:$port/files/examples/")
[[ $page == *led.html* ]] || { echo "package-test: /files/examples/ answered: ${page:0:200}" >&2; exit 1; }
kill "$server"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pontivo >/dev/null
left=$(for path in $files; do [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done || true)
[ -z "$left" ] || { echo "package-test: left after purge: $left" >&2; exit 1; }
echo "package-test: built, installed, served /files/examples/ from /usr/share/pontivo/files, purged"
