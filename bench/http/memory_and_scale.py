#!/usr/bin/env python3
"""Memory and scale figures of a Release `pontivo --headless`, each against its
target: idle RSS, RSS growth over many connection-per-request requests, the
full /get listing of 100,000 variables, and a backtracking-prone /getlike
pattern. Each part starts a fresh server. All traffic goes to 127.0.0.1, and
every loop is bounded in count and time.

usage: memory_and_scale.py [--binary PATH] [--port N] [--no-build]
exit status: 0 all targets met, 1 otherwise.
"""
import argparse
import os
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import time
from statistics import median

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SERVER_CPU, CLIENT_CPU = 1, 0
MiB = 1024 * 1024
results = []  # (figure, text, target text, ok)


def report(figure, text, target, ok):
    results.append((figure, text, target, ok))
    print(f"  {figure:<44} {text:>14}   {target:<16} {'PASS' if ok else 'MISS'}", flush=True)


def note(figure, text):
    print(f"  {figure:<44} {text:>14}", flush=True)


class Server:
    """A fresh pontivo on the server CPU, stopped by its own PID."""

    def __init__(self, binary, port):
        if port_open(port):
            sys.exit(f"port {port} is already in use")
        self.port = port
        self.log = tempfile.NamedTemporaryFile(prefix="pontivo-bench-", suffix=".log", delete=False)
        # taskset execs the binary, so the PID is the server's own.
        self.proc = subprocess.Popen(["taskset", "-c", str(SERVER_CPU), binary, "--headless",
                                      "--http-port", str(port)],
                                     stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                sys.exit(f"pontivo exited at start: {open(self.log.name).read()}")
            if f"serving http://localhost:{port}/" in open(self.log.name).read():
                return
            time.sleep(0.02)
        self.stop()
        sys.exit("pontivo did not announce itself within 30 s")

    def rss_bytes(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmRSS")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        os.unlink(self.log.name)


def port_open(port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def request(port, path, timeout=30.0):
    """One connection, one GET, read until the server closes: (seconds, status, body)."""
    t0 = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * MiB)
        chunks = []
        while True:
            c = s.recv(1 << 20)
            if not c:
                break
            chunks.append(c)
    dt = time.perf_counter() - t0
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    return dt, int(head.split(b" ", 2)[1]) if head else 0, body


def load(port, n, path_of, body_of=None, conc=16, limit_s=120.0):
    """n connection-per-request GETs, conc at a time, stopped after limit_s
    whatever the count. Returns (completed, failed, seconds); a failure is a
    socket error, a status other than 200, or a body other than body_of(i)."""
    sel = selectors.DefaultSelector()
    started = done = failed = 0

    def start():
        nonlocal started
        i = started
        started += 1
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        req = f"GET {path_of(i)} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode()
        sel.register(s, selectors.EVENT_WRITE, [i, req, []])

    t0 = time.monotonic()
    for _ in range(min(conc, n)):
        start()
    while sel.get_map() and time.monotonic() - t0 < limit_s:
        for key, ev in sel.select(timeout=1.0):
            s, st = key.fileobj, key.data
            ok, finished = True, False
            try:
                if ev & selectors.EVENT_WRITE:
                    if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                        ok, finished = False, True
                    else:
                        s.send(st[1])  # a short request fits the empty send buffer
                        sel.modify(s, selectors.EVENT_READ, st)
                else:
                    c = s.recv(65536)
                    if c:
                        st[2].append(c)
                    else:
                        finished = True
                        head, _, body = b"".join(st[2]).partition(b"\r\n\r\n")
                        ok = head.startswith(b"HTTP/1.1 200 ") and (
                            body_of is None or body == body_of(st[0]))
            except OSError:
                ok, finished = False, True
            if finished:
                sel.unregister(s)
                s.close()
                done += ok
                failed += not ok
                if started < n:
                    start()
    for key in list(sel.get_map().values()):
        sel.unregister(key.fileobj)
        key.fileobj.close()
    return done, failed, time.monotonic() - t0


def timed(port, path, repeats, check):
    times = []
    for _ in range(repeats):
        dt, status, body = request(port, path)
        if status != 200 or not check(body):
            raise RuntimeError(f"unexpected answer to {path[:60]}...: {status} {body[:80]!r}")
        times.append(dt)
        if dt > 10:  # one very slow answer tells enough; keep the run bounded
            break
    return median(times), len(times)


def part_memory(binary, port):
    print("memory: connection per request, /get/temp and /set/temp/N alternating, 16 at a time")
    srv = Server(binary, port)
    try:
        time.sleep(1.0)
        idle = srv.rss_bytes()
        report("idle RSS, 1 s after start", f"{idle / MiB:.1f} MiB", "<= 12 MiB", idle <= 12 * MiB)
        path_of = lambda i: "/get/temp" if i % 2 else f"/set/temp/{i}"
        total, failed, rss = 0, 0, {}
        for upto in (10_000, 200_000):
            d, f, sec = load(port, upto - total, lambda i, b=total: path_of(b + i), limit_s=180)
            total += d
            failed += f
            time.sleep(0.5)
            rss[upto] = srv.rss_bytes()
            note(f"RSS after {total:,} requests ({d / sec:,.0f} req/s)", f"{rss[upto] / MiB:.2f} MiB")
        growth = rss[200_000] - rss[10_000]
        complete = total == 200_000 and failed == 0
        report("RSS growth, request 10,000 to 200,000", f"{growth / MiB:+.2f} MiB", "<= 1 MiB",
               growth <= MiB and complete)
        note("RSS growth from idle", f"{(rss[200_000] - idle) / MiB:+.2f} MiB")
        if not complete:
            print(f"  !! {total:,} requests completed, {failed:,} failed")
    finally:
        srv.stop()


def part_listing(binary, port, n=100_000, repeats=5):
    print(f"listing: GET /get of a store of {n:,} variables")
    srv = Server(binary, port)
    try:
        name = lambda i: f"v{i:05d}"
        d, f, sec = load(port, n, lambda i: f"/put/{name(i)}/{i:05d}",
                         lambda i: f"{i:05d}".encode(), limit_s=180)
        note(f"fill with /put ({d:,} ok, {f} failed)", f"{sec:.1f} s")
        note("RSS with the store filled", f"{srv.rss_bytes() / MiB:.1f} MiB")
        want = {name(i).encode() + b"=" + f"{i:05d}".encode() for i in range(n)}

        def check(body):
            lines = body.split(b"\r\n")
            return lines[-1] == b"" and len(lines) - 1 == n and set(lines[:-1]) == want

        t, k = timed(port, "/get", repeats, check)
        report(f"GET /get, {n:,} lines checked, median of {k}", f"{t * 1e3:.1f} ms", "< 20 ms",
               t < 0.020 and d == n)
        note("  its body size", f"{len(request(port, '/get')[2]) / MiB:.2f} MiB")
    finally:
        srv.stop()


def part_pattern(binary, port, repeats=15):
    pattern = "*a" * 8 + "*b"
    print(f"pattern: GET /getlike/{pattern}")
    srv = Server(binary, port)
    try:
        no_match = lambda body: body == b""
        request(port, "/test")  # the first connection pays one-off costs; keep it out of the baseline
        t0, k0 = timed(port, f"/getlike/{pattern}", repeats, no_match)
        note(f"empty store (baseline), median of {k0}", f"{t0 * 1e3:.3f} ms")
        long_name = "a" * 2000
        _, status, body = request(port, f"/put/{long_name}/x")
        assert status == 200 and body == b"x", (status, body)
        assert request(port, "/getlike/a*")[2] == long_name.encode() + b"=x\r\n"
        t1, k1 = timed(port, f"/getlike/{pattern}", repeats, no_match)
        report(f"one 2,000-'a' name, median of {k1}", f"{t1 * 1e3:.3f} ms", "< 5 ms", t1 < 0.005)
    finally:
        srv.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    ap.add_argument("--port", type=int, default=18086, help="first of three ports")
    ap.add_argument("--no-build", action="store_true", help="use --binary as it is")
    a = ap.parse_args()
    if not a.no_build:
        build = os.path.dirname(os.path.abspath(a.binary))
        print(f"building Release into {build}", flush=True)
        subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DPONTIVO_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "-j2"], check=True, stdout=subprocess.DEVNULL)
    if not os.access(a.binary, os.X_OK):
        sys.exit(f"no binary at {a.binary}")
    os.sched_setaffinity(0, {CLIENT_CPU})  # client on the other CPU than the server
    # One port per part, so no part meets the TIME-WAIT sockets the one before left.
    print(f"{a.binary} on 127.0.0.1:{a.port}-{a.port + 2}, server CPU {SERVER_CPU}, client CPU {CLIENT_CPU}")
    part_memory(a.binary, a.port)
    part_listing(a.binary, a.port + 1)
    part_pattern(a.binary, a.port + 2)
    missed = [r for r in results if not r[3]]
    print("all targets met" if not missed else f"{len(missed)} target(s) missed")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
