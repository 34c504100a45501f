#!/usr/bin/env bash
# In headless Chromium /get/x shows stored markup as text, running none of its script; the variables page hears over
# /events, without reloading, of a board plugged in after it showed it closed.   push.sh PONTIVO PONTIVO-BOARD-SIM
command -v chromium >/dev/null || { echo "push.sh: no chromium; skipped"; exit 77; }
dir=$(mktemp -d) && trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$dir"' EXIT && mkfifo "$dir"/{in,out,plug}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$1" --headless --http-port "$port" --com-port "$dir/board" 2>"$dir/server.err" &
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/test" >/dev/null && break; sleep 0.1; done
exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'GET /put/x/<b><img\tsrc=x\tonerror=document.title=6> HTTP/1.1\r\n\r\n' >&3 &&
    cat <&3 >/dev/null
dom=$(timeout 60 chromium --headless --no-sandbox --user-data-dir="$dir/p" --dump-dom "http://127.0.0.1:$port/get/x" 2>/dev/null)
[[ $dom == *'&lt;b&gt;&lt;img'* && $dom != *'<title>6'* ]] || { echo "push.sh: /get/x ran as a page: $dom"; exit 1; }
(read -r <"$dir/plug" && exec "$2" --link "$dir/board" --every 1000 '{sensor=4711}' &>/dev/null) &
# --dump-dom takes the DOM at load, before any event, and virtual time halts while a stream is open: use the pipe.
chromium --headless --no-sandbox --disable-gpu --user-data-dir="$dir/profile" --remote-debugging-pipe \
    "http://127.0.0.1:$port/files/examples/variables.html" 3<"$dir/in" 4>"$dir/out" 2>"$dir/chromium.err" &
timeout 60 python3 - "$dir" '<td>sensor</td><td class="value mono">4711</td>' \
    "<b id=\"link\" class=\"\">open</b> <span id=\"linkDetail\">$dir/board</span>" <<'PY' && exit 0
import itertools, json, sys, time
to, back, ids = open(sys.argv[1] + '/in', 'wb', 0), open(sys.argv[1] + '/out', 'rb'), itertools.count()
def call(method, session={}, **params):
    to.write(json.dumps(dict(id=(id := next(ids)), method=method, params=params, **session)).encode() + b'\0')
    while (message := json.loads(b''.join(iter(lambda: back.read(1), b'\0')))).get('id') != id: pass
    return message.get('result', {})
page = next(t for t in call('Target.getTargets')['targetInfos'] if t['type'] == 'page')
session = {'sessionId': call('Target.attachToTarget', targetId=page['targetId'], flatten=True)['sessionId']}
def wait(*wants):
    for _ in range(100):
        html = call('Runtime.evaluate', session, expression='document.documentElement.outerHTML').get('result', {})
        if all(want in html.get('value', '') for want in wants): return
        time.sleep(0.2)
    sys.exit(print(html) or 1)
wait('<b id="link" class="error">closed</b>')
open(sys.argv[1] + '/plug', 'w').write('now\n')
wait(*sys.argv[2:])
PY
echo "push.sh: the page shows no sensor=4711 or no open link to $dir/board"; cat "$dir/server.err"; exit 1
