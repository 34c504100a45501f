"""The HTTP side of the soak: each function runs in its own process and puts one result
dict on the queue when `stop` is set (or its hard deadline passes).

Names are partitioned so every answer is known in advance: load client i owns c<i>_<k>,
slow client j owns s<j>, the malformed stream owns m*, the probe owns `probe`. Board
frames (f<batch>_<nnn>) belong to the main process.
"""
import heapq
import random
import selectors
import socket
import struct
import threading
import time
from array import array

from answers import (Log, Outcome, exchange, expected_file_answer, like_matcher, listing,
                     problem_with, read_to_close, request_for, sorry)

GRACE_S = 60  # past the soak's end, a worker stops whatever it is doing
SUFFIXES = ["", "-a", ".b", "%41", "?q=1", "#h", "~", "!$&'()*+,;=:@", "[x]"]
NAMES_PER_CLIENT = 16


def finish(queue, log, **extra):
    queue.put(log.result(**extra))


def paced(rate, stop, hard_end):
    """Yields at `rate` per second until stopped; a late caller does not get a burst."""
    period, due = 1.0 / rate, time.monotonic()
    while not stop.is_set() and time.monotonic() < hard_end:
        yield
        due += period
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        elif delay < -1.0:
            due = time.monotonic()


class LoadClient:
    """Mixed commands over its own names, each answer checked against the model."""

    def __init__(self, cid, cfg, rng):
        self.cid, self.cfg, self.rng = cid, cfg, rng
        self.names = [f"c{cid}_{k}" for k in range(NAMES_PER_CLIENT)]
        self.model = {}  # name -> value, in the store's order (of first addition)
        self.seq = cfg.get("seq_base", 0)  # the board sees each name's numbers grow across rounds too
        self.patterns = [f"c{cid}_{p}" for p in ("*", "#", "1#", "[0-4]", "[!0-4]*", "?", "*5", "1?")]
        self.files = cfg["file_targets"]
        self.log = Log(f"load{cid}", cfg["t0"])

    def value(self):
        self.seq += 1
        return f"v{self.cid}x{self.seq}{self.rng.choice(SUFFIXES)}"

    def matching(self, pattern):
        match = like_matcher(pattern)
        return [n for n in self.model if match(n)]

    def run_one(self):
        rng = self.rng
        op = rng.choices(
            ["get", "set", "getlike", "files", "put", "unset", "setlike", "putlike", "unsetlike",
             "push", "pushlike", "test", "arity"],
            [25, 20, 15, 15, 5, 3, 3, 2, 2, 2, 1, 3, 4])[0]
        name = rng.choice(self.names)
        command = op if rng.random() < 0.9 else op.upper() if rng.random() < 0.5 else op.capitalize()
        body = b""
        if op == "get":
            path, body = f"/{command}/{name}", self.model.get(name, "").encode()
        elif op in ("set", "put"):
            value = self.value()
            path, body = f"/{command}/{name}/{value}", value.encode()
            self.model[name] = value
        elif op == "getlike":
            pattern = rng.choice(self.patterns)
            path = f"/{command}/{pattern}"
            body = listing((n.encode(), self.model[n].encode()) for n in self.matching(pattern))
        elif op in ("setlike", "putlike"):
            pattern, value = rng.choice(self.patterns), self.value()
            path = f"/{command}/{pattern}/{value}"
            for n in self.matching(pattern):
                self.model[n] = value
        elif op == "unset":
            path = f"/{command}/{name}"
            self.model.pop(name, None)
        elif op == "unsetlike":
            pattern = rng.choice(self.patterns[1:])  # never the whole set at once
            path = f"/{command}/{pattern}"
            for n in self.matching(pattern):
                del self.model[n]
        elif op in ("push", "pushlike"):
            path = f"/{command}/{name if op == 'push' else rng.choice(self.patterns)}"
        elif op == "test":
            path, body = rng.choice(["/test", "/", "/TEST/"]), b"OK"
        elif op == "arity":  # a wrong number of parts changes nothing and answers nothing
            path = rng.choice([f"/get/{name}/x", f"/set/{name}", f"/put/{name}/a/b", "/getlike",
                               f"/unset/{name}/x", f"/get//{name}"])
        else:  # files
            target = rng.choice(self.files)
            path, body = target.decode(), expected_file_answer(self.cfg["files_folder"], target)
        if op == "get" and rng.random() < 0.1:
            path += "/"  # a trailing slash is dropped
        origin = f"http://soak-{self.cid}.test:{rng.randrange(1, 65536)}".encode() if rng.random() < 0.1 else None
        request = request_for(path, origin)
        out = exchange(self.cfg["port"], request)
        if op == "files" and out.kind == Outcome.RESPONSE and problem_with(out.raw, self.cfg["caption"], body, origin):
            body = expected_file_answer(self.cfg["files_folder"], target)  # edited meanwhile?
        self.log.check(op, request, out, self.cfg["caption"], body, origin)


def load_worker(cid, cfg, stop, queue):
    client = LoadClient(cid, cfg, random.Random(cfg["seed"] * 1000 + cid))
    for _ in paced(cfg["load_rate"], stop, cfg["t_end"] + GRACE_S):
        client.run_one()
    finish(queue, client.log)


def probe_worker(cfg, stop, queue):
    """GET /get/probe every 10 ms, one connection each; the time from connect to close."""
    log, port, caption = Log("probe", cfg["t0"]), cfg["port"], cfg["caption"]
    value = b"steady-%d" % cfg["seed"]
    log.check("put", b"/put/probe", exchange(port, request_for(b"/put/probe/" + value)), caption, value)
    request = request_for("/get/probe")
    times, slowest = array("d"), []
    for _ in paced(100, stop, cfg["t_end"] + GRACE_S):
        out = exchange(port, request)
        if log.check("get", request, out, caption, value):
            times.append(out.seconds)
            slowest = sorted(slowest + [(out.seconds, time.monotonic() - cfg["t0"] - out.seconds)])[-5:]
    finish(queue, log, latencies=times.tobytes(), slowest=slowest)


class Slow:
    """One slow client: its request goes out two to five bytes at a time, 80-250 ms apart,
    always well inside the server's 500 ms wait for more of a request."""
    GAP_S = (0.08, 0.25)
    LATE_S = 0.45  # a gap this long is our own lateness, not the server's

    def __init__(self, j):
        self.j, self.sock, self.gen = j, None, 0
        self.value, self.known, self.n = b"", True, 0


def slow_worker(cfg, count, stop, queue):
    """`count` slow clients in one event loop, each putting and getting its own s<j>."""
    rng = random.Random(cfg["seed"] * 7 + 1)
    port, caption, log = cfg["port"], cfg["caption"], Log("slow", cfg["t0"])
    sel = selectors.DefaultSelector()
    clients = [Slow(j) for j in range(count)]
    events, tie = [], 0  # heap of (when, tie, j, generation, what)
    max_open = 0

    def at(when, c, what):
        nonlocal tie
        tie += 1
        heapq.heappush(events, (when, tie, c.j, c.gen, what))

    def close(c, reason=None):
        if c.sock is not None:
            sel.unregister(c.sock)
            if reason is not None:  # leave with a reset, like a client that crashed
                c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            c.sock.close()
            c.sock = None
        c.gen += 1
        at(time.monotonic() + rng.uniform(0.05, 0.5), c, "start")

    def start(c):
        c.sock = socket.socket()
        c.sock.setblocking(False)
        c.sock.connect_ex(("127.0.0.1", port))
        sel.register(c.sock, selectors.EVENT_WRITE, c)
        c.state, c.got, c.early = "connecting", [], False
        if c.known and c.n % 2:
            c.kind, path, c.expect = "get", b"/get/s%d" % c.j, c.value
        else:
            c.kind, c.expect = "put", b"%d" % c.n
            path = b"/put/s%d/" % c.j + c.expect
        c.n += 1
        c.request = (b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: soak-slow\r\nX-Pad: "
                     + b"p" * rng.randrange(0, 40) + b"\r\n\r\n")
        at(time.monotonic() + 5, c, "connect-timeout")

    def answered(c):
        raw = b"".join(c.got)
        log.count(c.kind)
        if c.early:
            # The server answered a part of the request: fair only if we paused too long.
            c.known = False
            if c.max_gap >= Slow.LATE_S:
                log.note("answered early after a client pause over 0.45 s (ours, not counted)")
            else:
                log.fault(c.kind, c.request, f"answered after {c.pos} of {len(c.request)} bytes, "
                                             f"longest pause {c.max_gap * 1e3:.0f} ms")
            return
        what = problem_with(raw, caption, c.expect)
        if what:
            log.fault(c.kind, c.request, what)
            c.known = False
        else:
            log.count("completed")
            if c.kind == "put":
                c.value, c.known = c.expect, True

    def cut_off(c, now, what):
        """The server dropped the connection: fair only after a pause of ours."""
        c.known = False
        gap = max(c.max_gap, now - c.last_send) if c.state == "sending" else c.max_gap
        if gap >= Slow.LATE_S:
            log.note("reset after a client pause over 0.45 s (ours, not counted)")
        else:
            log.fault(c.kind, c.request, f"{what} with {c.pos} of {len(c.request)} bytes sent, the last "
                                         f"{(now - c.last_send) * 1e3:.0f} ms ago; {len(b''.join(c.got))} "
                                         f"bytes of answer")
        close(c, "reset")

    def send_some(c):
        # Times are taken around the send itself, so that a pause of this process shows in the
        # gap (an upper bound on the silence the server saw) instead of being blamed on it.
        chunk = c.request[c.pos:c.pos + rng.randint(2, 5)]
        start = time.monotonic()
        try:
            c.pos += c.sock.send(chunk)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError as e:
            cut_off(c, time.monotonic(), f"send failed: {e}")
            return
        c.max_gap = max(c.max_gap, time.monotonic() - c.last_send)
        c.last_send = start
        if c.pos < len(c.request):
            at(start + rng.uniform(*Slow.GAP_S), c, "send")
        else:
            c.state = "receiving"
            at(start + 5, c, "answer-timeout")

    def readable(c):
        try:
            data = c.sock.recv(1 << 16)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            cut_off(c, time.monotonic(), str(e))
            return
        if c.state == "sending":
            c.max_gap = max(c.max_gap, time.monotonic() - c.last_send)
            c.early = True
        if data:
            c.got.append(data)
        else:
            answered(c)
            close(c)

    for c in clients:
        at(time.monotonic() + rng.uniform(0, 3), c, "start")
    hard_end = cfg["t_end"] + GRACE_S
    while not stop.is_set() and time.monotonic() < hard_end:
        wait = min(0.05, max(0.0, events[0][0] - time.monotonic())) if events else 0.05
        for key, mask in sel.select(wait):
            c = key.data
            if c.state == "connecting":
                error = c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if error:
                    log.fault("connect", b"", f"connect failed: errno {error}")
                    close(c)
                    continue
                sel.modify(c.sock, selectors.EVENT_READ, c)
                c.state, c.pos, c.max_gap, c.last_send = "sending", 0, 0.0, time.monotonic()
                send_some(c)
            else:
                readable(c)
        max_open = max(max_open, len(sel.get_map()))
        now = time.monotonic()
        while events and events[0][0] <= now:
            _, _, j, gen, what = heapq.heappop(events)
            c = clients[j]
            if gen != c.gen:
                continue
            if what == "start":
                start(c)
            elif what == "send" and c.state == "sending":
                send_some(c)
            elif what == "connect-timeout" and c.state == "connecting":
                log.fault("connect", b"", "not connected within 5 s")
                close(c)
            elif what == "answer-timeout" and c.state == "receiving":
                log.fault(c.kind, c.request, "no answer within 5 s of the whole request")
                c.known = False
                close(c, "reset")
    for c in clients:
        if c.sock is not None:
            sel.unregister(c.sock)
            c.sock.close()
    finish(queue, log, max_open=max_open)


# Malformed requests. Each case gives the bytes to send, what to do after sending, and what
# may come back: `body` for a well-formed answer with exactly that body (or a predicate),
# None when only a clean close is right; `reset_ok` where the server may leave bytes unread.

KNOWN = b"known-value"
GUARD = b"good"
CAP = 64 * 1024


class Case:
    def __init__(self, name, data, body, then="hold", origin=None, reset_ok=False, timeout=5.0):
        self.name, self.data, self.body, self.then = name, data, body, then
        self.origin, self.reset_ok, self.timeout = origin, reset_ok, timeout


def malformed_cases(rng, folder, tid):
    """One case of each kind, freshly drawn."""
    def garbage(n):  # never an accepted method, never a blank line, no CR or LF at the end
        data = bytes(rng.randrange(256) for _ in range(n))
        while b"\r\n\r\n" in data:
            data = data.replace(b"\r\n\r\n", b"\r\n\n")
        return bytes([rng.choice(b"\x00\x01\xff XYZgpx{")]) + data.rstrip(b"\r\n")

    value = bytes(rng.choice([c for c in range(256) if c not in b" \r\n/"]) for _ in range(rng.randint(1, 200)))
    huge = rng.randint(1000, CAP - 40)
    pad = b"GET /put/mh/"
    folder = folder.encode()
    return [
        Case("garbage", garbage(rng.randint(1, 4000)), b""),
        Case("garbage+end", garbage(rng.randint(1, 4000)) + b"\r\n\r\n", b""),
        Case("truncated line", b"GET /get/mk", KNOWN),
        Case("truncated version", b"GET /get/mk HTTP/1.", KNOWN),
        Case("unfinished headers", b"GET /get/mk HTTP/1.1\r\nHost: x", KNOWN),
        Case("two bytes", b"GE", b""),
        Case("method only", b"GET ", b"OK"),
        Case("line then half-close", b"GET /get/mk", KNOWN, then="shut"),
        Case("nothing then half-close", b"", None, then="shut"),
        Case("huge value", pad + b"y" * huge + b" HTTP/1.1\r\n\r\n", b"y" * huge),
        Case("exactly the cap, no end", pad + b"y" * (CAP - len(pad)), b"y" * (CAP - len(pad))),
        Case("over the cap", pad + b"y" * (CAP + rng.randint(1, 20000)),
             lambda b: len(b) >= CAP - len(pad) and b == b"y" * len(b), reset_ok=True),
        Case("huge header", b"GET /get/mk HTTP/1.1\r\nX-Long: " + b"z" * (CAP - 100) + b"\r\n\r\n", KNOWN),
        Case("many headers", b"GET /get/mk HTTP/1.1\r\n" + b"".join(b"H%d: v\r\n" % i for i in range(6000))
             + b"\r\n", KNOWN),
        Case("8-bit value", b"GET /put/mb%d/" % tid + value + b" HTTP/1.1\r\n\r\n", value),
        Case("8-bit header", b"GET /get/mk HTTP/1.1\r\nX-Bin: \xff\xfe\x00\x01\x7f\r\n\r\n", KNOWN),
        Case("8-bit origin", b"GET /get/mk HTTP/1.1\r\nOrigin: http://\xc3\xa9\x00x\r\n\r\n", KNOWN,
             origin=b"http://\xc3\xa9\x00x"),
        Case("CR in origin", b"GET /get/mk HTTP/1.1\r\nOrigin: a\rSet-Cookie: b\r\n\r\n", KNOWN,
             origin=b"aSet-Cookie: b"),
        Case("LF in origin", b"GET /get/mk HTTP/1.1\r\nOrigin: a\nX-Injected: 1\r\n\r\n", KNOWN,
             origin=b"aX-Injected: 1"),
        Case("NUL in method", b"G\x00T /unset/mg HTTP/1.1\r\n\r\n", b""),
        Case("invalid pattern", rng.choice([b"GET /getlike/[ HTTP/1.1\r\n\r\n",
                                            b"GET /getlike/[z-a]* HTTP/1.1\r\n\r\n"]), b""),
        Case("wrong method", rng.choice([b"DELETE", b"get", b"HEAD", b"OPTIONS", b"PATCH", b"GETS", b"POSTX",
                                         b"\r\nGET", b" GET", b"GET\t", b"CONNECT", b"TRACE", b"Get"])
             + b" /unset/mg HTTP/1.1\r\n\r\n", b""),
        Case("PUT method", b"PUT /get/mk HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", KNOWN, reset_ok=True),
        Case("two blanks", b"GET  /get/mk HTTP/1.1\r\n\r\n", b"OK"),
        Case("bare LFs", b"GET /get/mk HTTP/1.1\n\n", KNOWN),
        Case("LFs in target", b"GET /get/mk\n\n", b""),
        Case("absolute form", b"GET http://127.0.0.1/get/mk HTTP/1.1\r\n\r\n", b""),
        Case("escaped name", b"GET /get/%6Dk HTTP/1.1\r\n\r\n", b""),
        Case("query", b"GET /get/mk?x=1 HTTP/1.1\r\n\r\n", b""),
        Case("empty segment", b"GET /get//mk HTTP/1.1\r\n\r\n", b""),
        Case("pipelined", b"GET /get/mk HTTP/1.1\r\n\r\nGET /unset/mg HTTP/1.1\r\n\r\n", KNOWN, reset_ok=True),
        Case("dot-dot", b"GET /files/../README.md HTTP/1.1\r\n\r\n", sorry(folder + b"/../README.md")),
        Case("escaped dot-dot", b"GET /files/%2e%2e/%2E%2E/etc/passwd HTTP/1.1\r\n\r\n",
             sorry(folder + b"/../../etc/passwd")),
        Case("NUL in file name", b"GET /files/examples/led.html%00.txt HTTP/1.1\r\n\r\n",
             sorry(folder + b"/examples/led.html\x00.txt")),
        Case("markup in file name", b"GET /files/<b>'x'&\"y\" HTTP/1.1\r\n\r\n",
             sorry(folder + b"/<b>'x'&\"y\"")),
        Case("only blank line", b"\r\n\r\n", b""),
        Case("abort mid-request", b"GET /get/mk HTTP/1.1\r\nHo", None, then="abort"),
        Case("abort mid-answer", pad + b"y" * 60000 + b" HTTP/1.1\r\n\r\n", None, then="abort-reading"),
        Case("connect and go", b"", None, then="abort"),
    ]


def run_case(port, case, caption, log):
    """Sends one case and judges what came back; True when it was right."""
    log.count(case.name)
    t0 = time.monotonic()
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=case.timeout)
    except OSError as e:
        log.fault(case.name, case.data, f"connect failed: {e}")
        return False
    with sock:
        try:
            sock.sendall(case.data)
            if case.then == "shut":
                sock.shutdown(socket.SHUT_WR)
            elif case.then == "abort-reading":
                sock.recv(100)
        except (ConnectionResetError, BrokenPipeError):
            if not case.reset_ok and not case.then.startswith("abort"):
                log.fault(case.name, case.data, "reset while sending")
                return False
        except socket.timeout:
            log.fault(case.name, case.data, f"stuck for {case.timeout} s while sending")
            return False
        if case.then.startswith("abort"):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return True
        out = read_to_close(sock, t0 + case.timeout)
    out.seconds = time.monotonic() - t0
    log.note(f"outcome {out.kind}")
    if out.kind == Outcome.RESET and case.reset_ok:
        return True
    if case.body is None:
        if out.kind != Outcome.CLOSED:
            log.fault(case.name, case.data, f"{out.kind} ({len(out.raw)} bytes) where a close was due")
            return False
        return True
    return log.check(case.name, case.data, out, caption, case.body, case.origin, counted=True)


def long_cases(port, caption, log, rng, stop):
    """One at a time: a connection that says nothing, and one that trickles a request a byte
    every 300 ms without ever finishing it; the server must close both at its 30 s idle
    limit, without answering."""
    while not stop.is_set():
        silent = rng.random() < 0.5
        name = "idle, silent" if silent else "idle, trickling"
        log.count(name)
        t0, max_gap, sent = time.monotonic(), 0.0, 0
        data = b"GET /get/mk HTTP/1.1\r\nX-Trickle: " + b"t" * 1000
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError as e:
            log.fault(name, b"", f"connect failed: {e}")
            continue
        with sock:
            sock.setblocking(False)
            out, last = None, t0
            while out is None and not stop.is_set():
                now = time.monotonic()
                if now - t0 > 40:
                    out = Outcome(Outcome.HANG)
                    break
                if not silent and now - last >= 0.3:
                    try:
                        sent += sock.send(data[sent:sent + 1])
                    except (BlockingIOError, InterruptedError):
                        pass
                    except OSError:
                        out = Outcome(Outcome.RESET)
                    max_gap, last = max(max_gap, time.monotonic() - last), now
                try:
                    chunk = sock.recv(1 << 16)
                    out = Outcome(Outcome.RESPONSE if chunk else Outcome.CLOSED, chunk)
                except (BlockingIOError, InterruptedError):
                    time.sleep(0.05)
                except OSError:
                    out = Outcome(Outcome.RESET)
        if out is None:
            return  # stopped meanwhile
        seconds = time.monotonic() - t0
        if out.kind == Outcome.RESPONSE and max_gap >= Slow.LATE_S:
            log.note("trickle answered after a client pause over 0.45 s (ours, not counted)")
        elif out.kind not in (Outcome.CLOSED, Outcome.RESET) or not 29 <= seconds <= 33:
            log.fault(name, data[:sent], f"{out.kind} after {seconds:.1f} s, {sent} bytes sent, longest pause "
                                         f"{max_gap * 1e3:.0f} ms (a close at 30-31 s expected)")


def malformed_worker(cfg, threads, stop, queue):
    """`threads` loops sending every kind of malformed request in random order, plus one loop
    of connections held past the idle limit."""
    port, caption, folder = cfg["port"], cfg["caption"], cfg["files_folder"]
    log, lock = Log("malformed", cfg["t0"]), threading.Lock()
    for setup in (b"/put/mk/" + KNOWN, b"/put/mg/" + GUARD):
        log.check("setup", setup, exchange(port, request_for(setup)), caption, setup.rsplit(b"/", 1)[1])
    hard_end = cfg["t_end"] + GRACE_S

    def loop(tid):
        rng, mine = random.Random(cfg["seed"] * 31 + tid), Log(f"malformed{tid}", cfg["t0"])
        while not stop.is_set() and time.monotonic() < hard_end:
            cases = malformed_cases(rng, folder, tid)
            rng.shuffle(cases)
            for case in cases:
                if stop.is_set() or time.monotonic() >= hard_end:
                    break
                run_case(port, case, caption, mine)
                if case.name == "8-bit value":  # and it reads back the same
                    get = b"/get/mb%d" % tid
                    mine.check("8-bit read back", get, exchange(port, request_for(get)), caption, case.body)
                if b"/unset/mg" in case.data:  # nothing may have run it
                    mine.check("guard after " + case.name, b"/get/mg", exchange(port, request_for(b"/get/mg")),
                               caption, GUARD)
                time.sleep(rng.uniform(0.02, 0.1))
        with lock:
            merge(log, mine)

    def idle_loop():
        mine = Log("malformed-idle", cfg["t0"])
        long_cases(port, caption, mine, random.Random(cfg["seed"] * 37), stop)
        with lock:
            merge(log, mine)

    workers = [threading.Thread(target=loop, args=(t,)) for t in range(threads)]
    workers.append(threading.Thread(target=idle_loop))
    for w in workers:
        w.start()
    for w in workers:
        w.join(max(1.0, hard_end + 45 - time.monotonic()))
    finish(queue, log)


def merge(into, other):
    for k, n in other.counts.items():
        into.count(k, n)
    for k, n in other.notes.items():
        into.note(k, n)
    into.faults += other.faults
    into.samples.extend(other.samples[:max(0, into.keep - len(into.samples))])
