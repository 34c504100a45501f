#!/usr/bin/env bash
# The pages reading /api/ in headless Chromium: variables.html shows ages and sources, sensor.html starts from the
# recording (or says why not), history.html charts a recorded name (with --record only).   api-pages.sh PONTIVO
command -v chromium >/dev/null || { echo "api-pages.sh: no chromium; skipped"; exit 77; }
dir=$(mktemp -d) && trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$dir"' EXIT && mkfifo "$dir"/{in,out}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
record=() && "$1" --help | grep -q -- '--record FILE' && record=(--record "$dir/record.db")
"$1" --headless --http-port "$port" --com-port "$dir/no-board" "${record[@]}" 2>"$dir/server.err" &
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/test" >/dev/null && break; sleep 0.1; done
for value in 1 3 2; do curl -sf -X PUT --data-binary $value "http://127.0.0.1:$port/api/variables/sensor" >/dev/null; done
chromium --headless --no-sandbox --disable-gpu --user-data-dir="$dir/profile" --remote-debugging-pipe about:blank 3<"$dir/in" 4>"$dir/out" 2>/dev/null &
timeout 60 python3 - "$dir" "http://127.0.0.1:$port/files/examples/" "${#record[@]}" <<'PY' && exit 0
import itertools, json, sys, time, urllib.request
to, back, ids = open(sys.argv[1] + '/in', 'wb', 0), open(sys.argv[1] + '/out', 'rb'), itertools.count()
def call(method, session={}, **params):
    to.write(json.dumps(dict(id=(id := next(ids)), method=method, params=params, **session)).encode() + b'\0')
    while (message := json.loads(b''.join(iter(lambda: back.read(1), b'\0')))).get('id') != id: pass
    return message.get('result', {})
page = next(t['targetId'] for t in call('Target.getTargets')['targetInfos'] if t['type'] == 'page')
session = {'sessionId': call('Target.attachToTarget', targetId=page, flatten=True)['sessionId']}
def visit(name, *wants):
    call('Page.navigate', session, url=sys.argv[2] + name)
    for _ in range(100):
        html = call('Runtime.evaluate', session, expression='document.documentElement.outerHTML').get('result', {})
        if all(want in html.get('value', '') for want in wants): return
        time.sleep(0.2)
    sys.exit(print(name, wants, html) or 1)
visit('variables.html', '<td class="age muted" data-name="sensor">', ' s ago</td><td class="source muted" data-name="sensor">http</td>')
if sys.argv[3] == '0':
    sys.exit(visit('sensor.html', 'start Pontivo with --record FILE') or print('api-pages.sh: no --record here; history not tried'))
# The writes reach the recording within a second or two (hand-over, then the writer's next commit).
for _ in range(100):
    if len(json.load(urllib.request.urlopen(sys.argv[2].replace('/files/examples/', '/api/history/sensor')))['points']) == 3: break
    time.sleep(0.1)
visit('sensor.html', '3 recorded points', 'from 1.000 to 3.000')
visit('history.html', '<span id="count" class="muted">3 points</span>', 'format=csv')
PY
echo "api-pages.sh: a page did not show what it should"; cat "$dir/server.err"; exit 1
