#!/usr/bin/env python3
"""Reproductions of the two faults the soak found, each against a fresh server.

  slot-memory   --slots connections at once make that many connection slots; then each
                slot in turn carries one large /put (slot k is reached by holding k-1
                connections open, since a new connection takes the first free slot). RSS
                before and after, over the slot count, is what an idle slot keeps. A small
                /put first, for comparison.
  server-pause  --connections clients send a request a byte every 200 ms, never pausing
                as long as the server's 500 ms wait for more. After 1 s the server is
                stopped for --pause seconds (SIGSTOP, SIGCONT); the clients go on 2 s more.
                A request answered or reset before its end was cut short although its
                client kept sending. Once without the pause, for comparison.

usage: repro.py slot-memory [--slots N] [--size BYTES] [--binary PATH] [--port N]
       repro.py server-pause [--connections N] [--pause S] [--binary PATH] [--port N]
"""
import argparse
import os
import signal
import socket
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "serial"))
from serial_bench import MiB, REPO, Server  # noqa: E402

STEP_S = 0.2


def ask(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        answer = b""
        while chunk := s.recv(1 << 16):
            answer += chunk
    if not answer.startswith(b"HTTP/1.1 200 OK"):
        sys.exit(f"unexpected answer {answer[:60]!r}")


def slot_memory(srv, slots, value_bytes):
    """RSS before and after one /put with `value_bytes` in each of `slots` slots."""
    held = [socket.create_connection(("127.0.0.1", srv.port), timeout=10) for _ in range(slots)]
    time.sleep(0.5)
    for h in held:
        h.close()
    time.sleep(1.5)
    before = srv.rss_bytes()
    request = b"GET /put/x/" + b"y" * value_bytes + b" HTTP/1.1\r\n\r\n"
    for k in range(slots):
        held = [socket.create_connection(("127.0.0.1", srv.port), timeout=10) for _ in range(k)]
        time.sleep(0.02)  # accepted, so they hold slots 1..k
        ask(srv.port, request)
        for h in held:
            h.close()
        time.sleep(0.02)
    time.sleep(1.5)
    after = srv.rss_bytes()
    return (f"{slots} slots, one /put with a {value_bytes}-byte value each: RSS {before / MiB:.1f} -> "
            f"{after / MiB:.1f} MiB, {(after - before) / slots / 1024:.1f} KiB kept per idle slot")


def cut_short(sock):
    """True once the server has answered or dropped this unfinished request."""
    try:
        sock.recv(4096)  # an answer, or the server's close
        return True
    except BlockingIOError:
        return False
    except OSError:
        return True


def server_pause(srv, connections, pause):
    """How many trickled requests the server cuts short across a pause of `pause` seconds."""
    socks = [socket.create_connection(("127.0.0.1", srv.port), timeout=10) for _ in range(connections)]
    for i, s in enumerate(socks):
        s.sendall(b"GET /put/p%d/%d HTTP/1.1\r\nX-Slow: " % (i, i))
        s.setblocking(False)
    cut, longest = set(), 0.0
    t0 = last = time.monotonic()
    resume_at = None
    try:
        while time.monotonic() - t0 < 3.0 + pause:
            if resume_at is None and pause and time.monotonic() - t0 >= 1.0:
                srv.proc.send_signal(signal.SIGSTOP)
                resume_at = time.monotonic() + pause
            if resume_at is not None and time.monotonic() >= resume_at:
                srv.proc.send_signal(signal.SIGCONT)
                resume_at = float("inf")
            for i, s in enumerate(socks):
                if i in cut:
                    continue
                try:
                    s.send(b"a")
                except OSError:
                    cut.add(i)
                    continue
                if cut_short(s):
                    cut.add(i)
            longest, last = max(longest, time.monotonic() - last), time.monotonic()
            time.sleep(STEP_S)
    finally:
        srv.proc.send_signal(signal.SIGCONT)
        for s in socks:
            s.close()
    return (f"{connections} slow requests, a byte every {STEP_S * 1e3:.0f} ms (longest gap {longest * 1e3:.0f} "
            f"ms), server stopped for {pause * 1e3:.0f} ms: {len(cut)} cut short before their end")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("fault", choices=["slot-memory", "server-pause"])
    ap.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    ap.add_argument("--port", type=int, default=18121)
    ap.add_argument("--slots", type=int, default=300)
    ap.add_argument("--size", type=int, default=60000, help="value bytes of the large /put")
    ap.add_argument("--connections", type=int, default=400)
    ap.add_argument("--pause", type=float, default=0.4, help="seconds the server is stopped")
    a = ap.parse_args()
    runs = ([(slot_memory, (a.slots, size)) for size in (100, a.size)] if a.fault == "slot-memory"
            else [(server_pause, (a.connections, pause)) for pause in (0.0, a.pause)])
    for run, args in runs:
        srv = Server(a.binary, a.port, "/nonexistent/board")
        try:
            print(run(srv, *args), flush=True)
        finally:
            srv.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
