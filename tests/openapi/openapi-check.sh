#!/usr/bin/env bash
# The served /api/openapi.json against two independent validators of OpenAPI 3.1 (the JSON schema of the format,
# and a linter), both from npm (tools/install-deps.sh --tests).   openapi-check.sh PONTIVO
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$here/node_modules/.bin
[[ -x $bin/validate-api && -x $bin/redocly ]] || { echo "openapi-check.sh: no validators in $here/node_modules: run tools/install-deps.sh --tests"; exit 1; }
dir=$(mktemp -d) && trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$dir"' EXIT
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$1" --headless --http-port "$port" --com-port "$dir/none" 2>"$dir/server.err" &
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/test" >/dev/null && break; sleep 0.1; done
curl -sf -o "$dir/openapi.json" "http://127.0.0.1:$port/api/openapi.json" || { echo "openapi-check.sh: no document"; cat "$dir/server.err"; exit 1; }
"$bin/validate-api" "$dir/openapi.json" | tee "$dir/schema.out"
grep -q '"valid": true' "$dir/schema.out" || { echo "openapi-check.sh: not valid OpenAPI 3.1 by its JSON schema"; exit 1; }
export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true
"$bin/redocly" lint --format=summary "$dir/openapi.json" || { echo "openapi-check.sh: the linter finds errors"; exit 1; }
