"""The attacks, one function per row. Each runs until ctx.running() turns false (the row's time
is up, or the server grew past the guard) and returns (effect happened, what was checked)."""
import multiprocessing
import socket
import time

from watch import MiB  # first: it puts bench/serial, soak, mqtt and events on the path
from answers import exchange, request_for  # noqa: E402
from events_bench import cpu_seconds  # noqa: E402
from mqtt_bench import Subscriber  # noqa: E402

RSS_TARGET_MIB = 32
ATTACKER = "127.0.0.2"  # connections an attack holds; the probe and the board's check come from 127.0.0.1


def open_stream(ctx, pattern, rcvbuf=None, address=ATTACKER):
    """A `GET /events/PATTERN` connection; (socket, accepted), accepted when an event-stream head came."""
    sock = socket.socket()
    sock.bind((address, 0))
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.settimeout(5)
    try:
        sock.connect(("127.0.0.1", ctx.port))
        sock.sendall(request_for(b"/events/" + pattern))
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = sock.recv(4096)
            if not chunk:
                break
            head += chunk
    except OSError:
        return sock, False
    return sock, head.startswith(b"HTTP/1.1 200 ") and b"text/event-stream" in head


def hold(ctx, socks):
    ctx.wait()
    for sock in socks:
        sock.close()


def grew(ctx, what):
    grown = ctx.rss.growth_mib()
    return grown > RSS_TARGET_MIB, f"{what}: RSS +{grown:.1f} MiB (effect: over {RSS_TARGET_MIB} MiB)"


def patterns_memory(ctx):
    socks, accepted = [], 0
    while len(socks) < 1024 and ctx.running():
        sock, ok = open_stream(ctx, b"p%04d-" % len(socks) + b"x" * (65000 - 6))
        socks.append(sock)
        accepted += ok
    tried = len(socks)
    hold(ctx, socks)
    happened, text = grew(ctx, f"{accepted:,} of {tried:,} streams with 65,000-character patterns accepted")
    return happened and accepted > 0, text


def patterns_time(ctx, streams=1024, per_address=64):
    """The costliest patterns the server takes (as long as allowed, a star between every byte), from as many
    addresses as the per-client limit needs, against a long name none of them matches: the loop's time per set
    with the streams open, less the same sets' time with none."""
    name = "b" * 59937 + "a" * 63  # every `a` but one the patterns need, at the very end

    def cpu_per_set(seconds):
        sets, cpu0, end = 0, cpu_seconds(ctx.pid), time.monotonic() + seconds
        while ctx.running() and time.monotonic() < end:
            ctx.get(f"/set/{name}/{sets}")
            sets += 1
        return (cpu_seconds(ctx.pid) - cpu0) / max(1, sets), sets

    alone, _ = cpu_per_set(5)
    socks = [open_stream(ctx, b"*a" * 64, address=f"127.0.{2 + i // per_address // 250}.{2 + i // per_address % 250}")
             for i in range(streams)]
    per_set, sets = cpu_per_set(float("inf"))
    for sock, _ in socks:
        sock.close()
    accepted = sum(ok for _, ok in socks)
    added = per_set - alone
    return added >= 0.001, (f"{accepted} of {streams} streams with `*a` x 64 accepted from {streams // per_address} "
                            f"addresses, {sets:,} sets of a 60,000-byte name none matches: {added * 1e3:.2f} ms of "
                            f"server CPU added per set (effect: >= 1 ms)")


def churn(ctx, kind, size):
    """/put and /unset of ever new names of `size` bytes while the row runs: the store stays empty."""
    n, pad = 0, "n" * size
    while ctx.running():
        ctx.get(f"/put/{kind}{n:08d}-{pad}/v")
        ctx.get(f"/unset/{kind}{n:08d}-{pad}")
        n += 1
    return f"{n:,} names of {size // 1000} KB put and unset, store {len(ctx.get('/get') or b''):,} bytes"


def lagging_streams(ctx, streams=100):
    socks = [open_stream(ctx, b"", rcvbuf=1024)[0] for _ in range(streams)]
    churned = churn(ctx, "lag", 1000)
    hold(ctx, socks)
    return grew(ctx, f"{streams} streams never reading, {churned}")


def store_fill(ctx):
    value, n, refused = "v" * 60000, 0, 0
    while ctx.running() and n * len(value) < 8 * ctx.store_limit:
        refused += ctx.get(f"/put/fill{n:08d}/{value}") != value.encode()
        n += 1
    # Name by name: one listing of it all would itself cost the server a copy of the store.
    held = sum(ctx.get(f"/get/fill{k:08d}") == value.encode() for k in range(n)) * (len(value) + 12)
    ctx.wait()
    return held > ctx.store_limit, (f"{n:,} new names of 60 KB put, {refused:,} refused; the store holds "
                                    f"{held / MiB:.1f} MiB (effect: over the {ctx.store_limit / MiB:.0f} MiB limit)")


def descriptors(ctx, rate=200):
    """Silent connections from ATTACKER; once a second a page under /files/ from 127.0.0.1; the
    board unplugged and plugged back at three quarters of the row."""
    held, made, files_failed, pages, reopen = [], 0, 0, 0, "not tried"
    replug_at = ctx.t0 + 0.75 * ctx.duration
    next_page = time.monotonic()
    while ctx.running():
        now = time.monotonic()
        while made < (now - ctx.t0) * rate:
            sock = socket.socket()
            sock.setblocking(False)
            sock.bind((ATTACKER, 0))
            sock.connect_ex(("127.0.0.1", ctx.port))
            held.append((now, sock))
            made += 1
        while held and held[0][0] < now - 40:  # long closed by the server's idle limit
            held.pop(0)[1].close()
        if now >= next_page:
            next_page += 1
            pages += 1
            body = ctx.get("/files/examples/", timeout=5)
            files_failed += body is None or b"<" not in body
        if reopen == "not tried" and now >= replug_at:
            seconds = ctx.board_call("replug", 5)
            reopen = "failed within 5 s" if seconds is None else f"{seconds:.2f} s"
        time.sleep(0.005)
    for _, sock in held:
        sock.close()
    return files_failed > 0 or reopen.startswith("failed"), (
        f"{made:,} silent connections at {rate}/s; /files/examples/ failed {files_failed} of {pages}, board "
        f"reopened in {reopen}")


def cross_site(ctx):
    tries, changed = 0, 0
    ctx.get("/put/led/off")
    while ctx.running():
        tries += 1
        exchange(ctx.port, b"GET /set/led/on HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nSec-Fetch-Site: cross-site\r\n"
                           b"Sec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n\r\n" % ctx.port)
        changed += ctx.get("/get/led") == b"on"
        ctx.get("/put/led/off")
        time.sleep(0.1)
    board = sum(line == b"led=on" for line in ctx.board_lines())
    return changed + board > 0, (f"{tries} cross-site GET /set/led/on without Origin ({ctx.origin_note}): store "
                                 f"changed {changed} times, board got led=on {board} times (effect: either)")


def stored_script(ctx):
    markup = b"<body><img\tsrc=x\tonerror=alert(document.domain)>"
    tries, unsafe = 0, 0
    while ctx.running():
        tries += 1
        ctx.get(b"/put/x/" + markup)
        head, _, body = exchange(ctx.port, request_for(b"/get/x")).raw.partition(b"\r\n\r\n")
        fields = [line.lower().replace(b" ", b"") for line in head.split(b"\r\n")[1:]]
        unsafe += body == markup and b"x-content-type-options:nosniff" not in fields
        time.sleep(0.1)
    return unsafe > 0, (f"{tries} times /put/x/<markup> then /get/x: {unsafe} answers gave the markup back without "
                        f"X-Content-Type-Options: nosniff (effect: any)")


def line_injection(ctx):
    """Each way a line break can ride in a value; the board splits its input at LF and at CR."""
    ways = {"HTTP LF": lambda: ctx.get(b"/set/led/on\nrelay=open-lf"),
            "HTTP CR": lambda: ctx.get(b"/set/led/on\rrelay=open-cr"),
            "frame LF + /push": lambda: (ctx.board_call("frame", b"{led=on\nrelay:frame}", reply=False),
                                         time.sleep(0.05), ctx.get("/push/led"))}
    if ctx.broker:
        ways["MQTT LF"] = lambda: ctx.broker.publish(f"{ctx.prefix}/led/set", "on\nrelay=open-mqtt")
    rounds = 0
    while ctx.running():
        rounds += 1
        for way in ways.values():
            way()
        ctx.get("/put/led/off")
        time.sleep(0.5)
    time.sleep(0.5)
    got = [line for raw in ctx.board_lines() for line in raw.replace(b"\r", b"\n").split(b"\n")]
    tags = {b"relay=open-lf": "HTTP LF", b"relay=open-cr": "HTTP CR", b"relay:frame": "frame LF + /push",
            b"relay=open-mqtt": "MQTT LF"}
    through = sorted({tags.get(line, repr(line)) for line in got if line.startswith(b"relay")})
    return bool(through), (f"{rounds} rounds of {', '.join(ways)}{ctx.missing_note}: a line starting with `relay` "
                           f"reached the board through {', '.join(through) or 'none'} (effect: any)")


def mqtt_replay(ctx):
    rounds, applied, replayed, unsure = 0, 0, 0, 0
    topic = f"{ctx.prefix}/led/set"
    while ctx.running():
        rounds += 1
        value, before = f"replay-{rounds}".encode(), len(ctx.board_lines())
        ctx.broker.publish(topic, value.decode(), retain=True)
        applied += ctx.wait_line(b"led=" + value, 5, before)
        seen = len(ctx.board_lines())
        ctx.broker.stop()
        ctx.broker.start()
        ctx.get(f"/put/mark/{rounds}")
        sub = Subscriber(ctx.broker, f"{ctx.prefix}/mark")  # republished once reconnected
        unsure += sub.wait_for(f"{ctx.prefix}/mark", str(rounds), 15) is None
        sub.stop()
        time.sleep(0.5)
        replayed += b"led=" + value in ctx.board_lines()[seen:]
    ctx.broker.publish(topic, None, retain=True)
    return replayed > 0, (f"{rounds} rounds of a retained {topic} and a broker restart: applied {applied}, applied "
                          f"again after reconnecting {replayed} (reconnect not seen in time: {unsure}) (effect: any again)")


def mqtt_pending(ctx):
    ctx.broker.stop()
    return grew(ctx, f"broker stopped, {churn(ctx, 'mq', 8000)}")


def malformed(ctx):
    """The soak's malformed stream (bench/soak/clients.py) as it is, with the board's noisy frames."""
    from clients import malformed_worker
    cfg = dict(port=ctx.port, caption=ctx.caption, files_folder=ctx.files_folder, t0=time.monotonic(),
               seed=1, t_end=ctx.deadline)
    spawn = multiprocessing.get_context("spawn")
    stop, queue = spawn.Event(), spawn.Queue()
    worker = spawn.Process(target=malformed_worker, args=(cfg, 3, stop, queue), daemon=True)
    worker.start()
    ctx.wait()
    stop.set()
    result = queue.get(timeout=120)
    worker.join(10)
    sent = sum(n for k, n in result["counts"].items() if not k.startswith(("setup", "guard", "8-bit read")))
    return result["faults"] > 0, "; ".join([f"{sent:,} malformed requests, {result['faults']} wrong answers"]
                                           + result["samples"][:2])


def put_api(ctx, name, value):
    """PUT /api/variables/NAME with the value as its body; the answer's status line."""
    head = b"PUT /api/variables/%s HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (name, len(value))
    return exchange(ctx.port, head + value).raw.split(b"\r\n", 1)[0]


def slow_reader(port, target, out):
    """Reads an answer 4 KiB at a time with a small receive buffer; puts the bytes read in `out`."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    sock.settimeout(30)
    got = 0
    try:
        sock.connect(("127.0.0.1", port))
        sock.sendall(request_for(target))
        while chunk := sock.recv(4096):
            got += len(chunk)
            time.sleep(0.001)
    except OSError:
        pass
    sock.close()
    out.put(got)


def large_answers(ctx, readers=6):
    """Values of control bytes (6 bytes each in JSON) up to the store's limit, 300 writes to one recorded name,
    then listings and histories read slowly by several clients at once."""
    value, n = b"\x01" * 60000, 0
    while ctx.running() and n * len(value) < ctx.store_limit - 2 * len(value):
        put_api(ctx, b"big%04d" % n, value)
        n += 1
    for _ in range(300 if ctx.running() else 0):
        put_api(ctx, b"hist", value)
    rounds, read = 0, []
    queue = multiprocessing.Queue()
    while ctx.running():
        rounds += 1
        procs = [multiprocessing.Process(target=slow_reader, args=(ctx.port, t, queue))
                 for t in [b"/api/variables", b"/api/history/hist"] * (readers // 2)]
        for proc in procs:
            proc.start()
        read += [queue.get(timeout=60) for _ in procs]
        for proc in procs:
            proc.join()
    happened, text = grew(ctx, f"{n} values of 60,000 control bytes, then {rounds} rounds of {readers} slow readers of "
                               f"/api/variables and /api/history/hist, {max(read, default=0) / MiB:.0f} MiB the largest answer")
    return happened, text


def pattern_cost(ctx, names=100):
    """`names` names of 40 KB, then long star patterns on the JSON API and /getlike."""
    for n in range(names):
        ctx.get(f"/put/{n:03d}{'b' * 40000}/v")
    pattern = "*a" * 30000
    tries, slowest = 0, 0.0
    while ctx.running():
        for target in (f"/api/variables?match={pattern}", f"/getlike/{pattern}"):
            slowest = max(slowest, exchange(ctx.port, request_for(target.encode()), timeout=30).seconds)
            tries += 1
        time.sleep(0.2)
    return slowest > 1.0, f"{tries} requests with a pattern of 30,000 stars: slowest {slowest:.2f} s (effect: over 1 s)"


def csv_formulas(ctx):
    """Values a spreadsheet would run, then the history as CSV."""
    cells = [b"=HYPERLINK(\"http://x\")", b"+SUM(1,1)", b"@SUM(1)", b"\tTAB", b"-1+1"]
    tries, runnable = 0, 0
    while ctx.running():
        tries += 1
        for cell in cells:
            put_api(ctx, b"cell", cell)
        time.sleep(1.5)  # the recording commits once a second
        body = ctx.get("/api/history/cell?format=csv") or b""
        rows = [line.split(b",", 2)[2] for line in body.split(b"\r\n")[1:] if line.count(b",") >= 3]
        runnable += sum(row[:1] in (b"=", b"+", b"@", b"\t", b"-") for row in rows)
    return runnable > 0, f"{tries} rounds of 5 formula values, then the CSV history: {runnable} cells a spreadsheet runs (effect: any)"


def request_edges(ctx):
    """An Origin line in a body, two differing Content-Length lines, an /api/ answer without nosniff."""
    tries, echoed, taken, sniffable = 0, 0, 0, 0
    while ctx.running():
        tries += 1
        raw = exchange(ctx.port, b"GET /get/x HTTP/1.1\r\n\r\nOrigin: http://evil\r\n").raw
        echoed += b"Access-Control-Allow-Origin: http://evil" in raw
        raw = exchange(ctx.port, b"PUT /api/variables/cl HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab").raw
        taken += raw.startswith(b"HTTP/1.1 200")
        raw = exchange(ctx.port, request_for(b"/api/variables/cl")).raw
        sniffable += b"X-Content-Type-Options: nosniff" not in raw.partition(b"\r\n\r\n")[0]
        time.sleep(0.1)
    return echoed + taken + sniffable > 0, (f"{tries} rounds: Origin in a body echoed {echoed}, differing Content-Length "
                                            f"taken {taken}, /api/ answers without nosniff {sniffable} (effect: any)")


ROWS = [
    ("event stream patterns, memory", patterns_memory, {}),
    ("event stream patterns, time", patterns_time, {}),
    ("lagging streams", lagging_streams, {}),
    ("store fill", store_fill, {"store_max": True}),
    ("descriptor exhaustion", descriptors, {"probe_is_effect": True}),
    ("cross-site write", cross_site, {"allow_origin": True}),
    ("stored script", stored_script, {}),
    ("line injection", line_injection, {"broker": "optional"}),
    ("MQTT retained set replay", mqtt_replay, {"broker": "required"}),
    ("MQTT pending growth", mqtt_pending, {"broker": "required"}),
    ("malformed streams", malformed, {"noisy": True, "lost_is_effect": True}),
    ("large JSON answers", large_answers, {"store_max": True, "record": True}),
    ("pattern cost", pattern_cost, {}),
    ("CSV formulas", csv_formulas, {"record": True}),
    ("request edges", request_edges, {}),
]
