#!/usr/bin/env python3
"""Event-stream figures of a Release `pontivo --headless`, each against its target.
A pty plays the board (bench/serial's helpers); the streams are `GET /events` connections,
all read in this process without blocking (epoll), so none falls behind unless the server
or this reader is too slow. Every loop is bounded in count and time.

  latency  frame written -> event received, and /set request -> event received, with 1, 100
           and 1,000 streams open; timed on the first and the last stream opened (the server
           sends to them in that order), p50/p99 over --samples (default 1,000) each
  burst    100,000 frames as fast as the pty takes them, 100 streams open: every stream ends
           with every name's latest value; events per stream and server CPU per event
  rate     1,000 streams, 1,000 frames a second for 5 s: once a second, how far the stream
           furthest behind is from the newest frame written (must not grow); CPU per event
  get      /get/NAME, one connection each, sequential, median of 2,000, with 1,000 idle
           streams open vs none (two rounds interleaved): within 1.2x

usage: events_bench.py [latency] [burst] [rate] [get] [--samples N] [--binary PATH]
                       [--no-build] [--port N] [--smoke]
With none named, all run. exit status: 0 all targets met, 1 otherwise.
"""
import argparse
import os
import re
import resource
import select
import selectors
import socket
import sys
import time
from statistics import median

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "serial"))
from serial_bench import (CLIENT_CPU, REPO, Board, Server, build_release, get, note,  # noqa: E402
                          percentile, report, results)

SET_EVENT = re.compile(rb"event: set\ndata: ([^=\n]*)=([^\n]*)\n")


class Stream:
    """One `GET /events` connection. Only complete events (up to a blank line) are looked at;
    the snapshot up to the first `link` event is set aside, counting starts after it."""

    def __init__(self, port, keep=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.sock.setblocking(False)
        self.keep = keep  # None, "latest" (name -> last value) or "newest" (largest numeric value)
        self.pending = b""
        self.head_ok = None  # 200 with text/event-stream, once the head is complete
        self.opened = False  # the snapshot's link event arrived
        self.closed = False
        self.events = 0
        self.latest = {}
        self.newest = -1

    def read(self):
        """Reads what is there; the newly completed events (after the snapshot)."""
        done = []
        try:
            for _ in range(64):  # bounded: a stream that never empties does not starve the rest
                chunk = self.sock.recv(1 << 18)
                if not chunk:
                    self.closed = True
                    break
                done.append(self.feed(chunk))
                if len(chunk) < 1 << 18:
                    break  # most likely empty now; one recv less per stream and pass
        except BlockingIOError:
            pass
        except OSError:
            self.closed = True
        return b"".join(done)

    def feed(self, chunk):
        data = self.pending + chunk
        cut = data.rfind(b"\n\n") + 2
        if cut < 2:
            self.pending = data
            return b""
        complete, self.pending = data[:cut], data[cut:]
        if not self.opened:
            if self.head_ok is None:
                self.head_ok = complete.startswith(b"HTTP/1.1 200 ") and b"text/event-stream" in complete
            link = complete.find(b"event: link\n")
            if link < 0:
                return b""
            self.opened = True
            complete = complete[complete.index(b"\n\n", link) + 2:]
        self.events += complete.count(b"event: ")
        if self.keep == "latest":
            self.latest.update(SET_EVENT.findall(complete))
        elif self.keep == "newest":
            at = complete.rfind(b"\ndata: ")
            if at >= 0:
                value = complete[complete.index(b"=", at) + 1:complete.index(b"\n", at + 1)]
                self.newest = max(self.newest, int(value))
        return complete

    def close(self):
        self.sock.close()


class Pool:
    """The open streams, in the order opened, read together through one selector."""

    def __init__(self, port, keep=None):
        self.port = port
        self.keep = keep
        self.streams = []
        self.selector = selectors.DefaultSelector()

    def open_to(self, count, timeout=30.0):
        """Opens streams until `count` are open; whether all of them got their snapshot."""
        while len(self.streams) < count:
            stream = Stream(self.port, self.keep)
            self.selector.register(stream.sock, selectors.EVENT_READ, stream)
            self.streams.append(stream)
            if len(self.streams) % 50 == 0:
                self.drain(0)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and not all(s.opened or s.closed for s in self.streams):
            self.drain(0.05)
        return all(s.opened and s.head_ok and not s.closed for s in self.streams)

    def drain(self, timeout):
        """One pass over the streams that have something; how many had."""
        ready = self.selector.select(timeout)
        for key, _ in ready:
            stream = key.data
            stream.read()
            if stream.closed:
                self.selector.unregister(key.fileobj)
        return len(ready)

    def drain_until(self, done, timeout):
        """Reads until done() holds or the time is up; whether it held."""
        deadline = time.monotonic() + timeout
        while not done():
            if time.monotonic() >= deadline:
                return False
            self.drain(0.01)
        return True

    def events(self):
        return sum(s.events for s in self.streams)

    def close(self):
        for key in list(self.selector.get_map().values()):
            self.selector.unregister(key.fileobj)
        for stream in self.streams:
            stream.close()
        self.streams = []


def wait_marker(streams, marker, timeout):
    """perf_counter() when each stream got an event holding `marker` (None if not in time)."""
    seen = [None] * len(streams)
    deadline = time.perf_counter() + timeout
    while None in seen:
        left = deadline - time.perf_counter()
        waiting = [s.sock for s, t in zip(streams, seen) if t is None and not s.closed]
        if left <= 0 or not waiting:
            break
        ready = select.select(waiting, [], [], left)[0]
        now = time.perf_counter()
        for i, s in enumerate(streams):
            if seen[i] is None and s.sock in ready and marker in s.read():
                seen[i] = now
    return seen


def cpu_seconds(pid):
    """utime + stime of the process, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start(binary, port):
    board = Board()
    # All 1,000 streams come from this one address.
    server = Server(binary, port, board.name, extra=("--client-streams", "1000"))
    if not board.wait_peer(5):
        server.stop()
        board.close()
        sys.exit("pontivo did not open the pty")
    return board, server


def open_streams(pool, count, server):
    ok = pool.open_to(count)
    if not ok:
        report(f"{count} streams open", f"{sum(s.opened for s in pool.streams)}", "all", False)
        print(server.stderr()[-2000:])
    return ok


def time_event(board, port, pool, path, value):
    """Writes the frame or sends /set; when the first and the last stream got the event."""
    marker = b"data: lat=" + value + b"\n"
    measured = pool.streams[:1] + pool.streams[1:][-1:]  # the first and the last, once each
    conn = None
    t0 = time.perf_counter()
    if path == "frame":
        board.write(b"{lat=" + value + b"}")
    else:
        conn = socket.create_connection(("127.0.0.1", port), timeout=5)
        conn.sendall(b"GET /set/lat/" + value + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    seen = wait_marker(measured, marker, 1.0)
    answered = True
    if conn:
        with conn:
            answer = b""
            while chunk := conn.recv(4096):
                answer += chunk
            answered = answer.startswith(b"HTTP/1.1 200 ")
    return [None if t is None else (t - t0) * 1000 for t in (seen[0], seen[-1])], answered


def run_latency(binary, port, samples, counts=(1, 100, 1000), warm=50):
    print(f"latency: frame written / /set sent -> event received, {samples:,} samples each")
    board, server = start(binary, port)
    pool = Pool(port)
    try:
        for count in counts:
            if not open_streams(pool, count, server):
                return
            for path in ("frame", "set"):
                before = [s.events for s in pool.streams]
                first, last, unseen, failed = [], [], 0, 0
                for i in range(warm + samples):
                    (t_first, t_last), answered = time_event(board, port, pool, path, f"{count}{path}{i}".encode())
                    board.drain()
                    pool.drain(0)
                    failed += not answered
                    if i >= warm:
                        unseen += t_first is None or t_last is None
                        if t_first is not None and t_last is not None:
                            first.append(t_first)
                            last.append(t_last)
                    time.sleep(0.001)
                pool.drain_until(lambda: all(s.events - b >= warm + samples for s, b in zip(pool.streams, before)), 5)
                short = sum(s.events - b != warm + samples for s, b in zip(pool.streams, before))
                show_latency(count, path, sorted(first), sorted(last), unseen, failed, short)
    finally:
        pool.close()
        server.stop()
        board.close()


def show_latency(count, path, first, last, unseen, failed, short):
    what = "frame -> event" if path == "frame" else "/set -> event"
    if not last:
        report(f"{what}, {count} streams", "none seen", "all", False)
        return
    p50, p99 = percentile(last, 50), percentile(last, 99)
    label = f"{what}, {count} stream{'s' if count > 1 else ''}"
    if count == 100:
        report(f"{label}: p50", f"{p50:.2f} ms", "< 1 ms", p50 < 1)
        report(f"{label}: p99", f"{p99:.2f} ms", "< 5 ms", p99 < 5)
    else:
        note(f"{label}: p50 / p99", f"{p50:.2f} / {p99:.2f} ms")
    if count > 1:
        note("  first stream opened: p50 / p99",
             f"{percentile(first, 50):.2f} / {percentile(first, 99):.2f} ms")
    note("  max", f"{last[-1]:.2f} ms")
    report("  unseen in 1 s / streams short / /set failed", f"{unseen} / {short} / {failed}", "0 / 0 / 0",
           unseen == 0 and short == 0 and failed == 0)


def write_aside(board, data, timeout):
    """Writes `data` on the pty from a child process, as fast as the pty takes it, while this
    one reads the streams; the child's PID."""
    pid = os.fork()
    if pid == 0:
        try:
            written = board.write(data, timeout)
        finally:
            os._exit(0 if written == len(data) else 1)
    return pid


def run_burst(binary, port, frames=100_000, count=100, names=1000):
    print(f"burst: {frames:,} frames {{bK=N}} (K = N mod {names}) as fast as the pty takes them, {count} streams")
    board, server = start(binary, port)
    pool = Pool(port, keep="latest")
    try:
        if not open_streams(pool, count, server):
            return
        expected = {b"b%d" % (n % names): b"%d" % n for n in range(frames - names, frames)}
        last_name, last_value = b"b%d" % ((frames - 1) % names), b"%d" % (frames - 1)
        data = b"".join(b"{b%d=%d}" % (n % names, n) for n in range(frames))
        cpu0 = cpu_seconds(server.proc.pid)
        t0 = time.perf_counter()
        writer, ended = write_aside(board, data, 30), {}

        def writer_done():
            if not ended:
                pid, status = os.waitpid(writer, os.WNOHANG)
                if pid:
                    ended.update(at=time.perf_counter(), ok=os.waitstatus_to_exitcode(status) == 0)
            return bool(ended)
        pool.drain_until(lambda: writer_done() and all(s.latest.get(last_name) == last_value or s.closed
                                                       for s in pool.streams), 60)
        t_done = time.perf_counter()
        if not writer_done():
            os.kill(writer, 9)
            os.waitpid(writer, 0)
            ended.update(at=t_done, ok=False)
        cpu = cpu_seconds(server.proc.pid) - cpu0
        complete = sum(s.latest == expected and not s.closed for s in pool.streams)
        counts = sorted(s.events for s in pool.streams)
        note("writing (all of it?) / last event everywhere",
             f"{(ended['at'] - t0) * 1e3:.0f} ms ({'yes' if ended['ok'] else 'no'}) / {(t_done - t0) * 1e3:.0f} ms")
        note("events per stream min / median / max", f"{counts[0]:,} / {counts[len(counts) // 2]:,} / {counts[-1]:,}")
        note("streams that got all events (others merged)", f"{sum(c == frames for c in counts)} of {count}")
        note("server CPU per delivered event", f"{cpu / max(1, sum(counts)) * 1e6:.3f} us")
        report("streams ending with every name's latest value", f"{complete} of {count}", "all",
               complete == count and ended["ok"])
    finally:
        pool.close()
        server.stop()
        board.close()


def run_rate(binary, port, count=1000, per_second=1000, seconds=5, names=100):
    print(f"rate: {count:,} streams, {per_second:,} frames/s for {seconds} s over {names} names, "
          f"{per_second // 100} every 10 ms")
    board, server = start(binary, port)
    pool = Pool(port, keep="newest")
    try:
        if not open_streams(pool, count, server):
            return
        written_at = {}
        lags = []
        batch = per_second // 100
        cpu0 = cpu_seconds(server.proc.pid)
        t0 = time.monotonic()
        for tick in range(seconds * 100):
            first = tick * batch
            board.write(b"".join(b"{r%d=%d}" % (n % names, n) for n in range(first, first + batch)), timeout=1)
            now = time.monotonic()
            written_at.update((n, now) for n in range(first, first + batch))
            board.drain()
            for _ in range(4):  # bounded: what is there now, not what keeps coming
                if not pool.drain(0):
                    break
            if tick % 100 == 99:  # the age of the newest frame the furthest-behind stream has
                behind = min(s.newest for s in pool.streams)
                age = (time.monotonic() - written_at[behind]) * 1000 if behind >= 0 else float("inf")
                lags.append((age, first + batch - 1 - behind))
            time.sleep(max(0.0, t0 + (tick + 1) / 100 - time.monotonic()))
        total = seconds * per_second
        t_last = written_at[total - 1]
        caught_up = pool.drain_until(lambda: all(s.newest == total - 1 for s in pool.streams), 5)
        drained_ms = (time.monotonic() - t_last) * 1000
        cpu = cpu_seconds(server.proc.pid) - cpu0
        events = pool.events()
        closed = sum(s.closed for s in pool.streams)
        note("events delivered / frames x streams", f"{events:,} / {total * count:,}")
        note("server CPU per delivered event", f"{cpu / max(1, events) * 1e6:.3f} us")
        note("server CPU busy over the run", f"{cpu / (time.monotonic() - t0) * 100:.0f} %")
        note("RSS at the end", f"{server.rss_bytes() / (1 << 20):.1f} MiB")
        note("lag of the stream furthest behind, each s", " ".join(f"{age:.0f}" for age, _ in lags) + " ms")
        note("  in frames behind the newest written", " ".join(f"{frames}" for _, frames in lags))
        worst = max(age for age, _ in lags[1:])
        report("lag not growing (worst after the first s)", f"{worst:.0f} ms", "< 100 ms each s", worst < 100)
        report("last frame on every stream after", f"{drained_ms:.0f} ms", "< 500 ms",
               caught_up and drained_ms < 500 and closed == 0)
    finally:
        pool.close()
        server.stop()
        board.close()


def time_gets(port, requests, pid):
    """Per-request times (ms), failures, and the server's CPU per request (us)."""
    times, failed = [], 0
    cpu0 = cpu_ns(pid)
    for _ in range(requests):
        t0 = time.perf_counter()
        failed += get(port, "/get/g") != b"1"
        times.append((time.perf_counter() - t0) * 1000)
    return times, failed, (cpu_ns(pid) - cpu0) / requests / 1000


def cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])  # time on a CPU, in nanoseconds


def run_get(binary, port, requests=2000, rounds=2, count=1000):
    print(f"get: /get/g, one connection each, {requests:,} per round, none vs {count:,} idle streams, "
          f"{rounds} rounds interleaved")
    board, server = start(binary, port)
    pool = Pool(port)
    without, with_streams, failed, cpu_off, cpu_on = [], [], 0, [], []
    pid = server.proc.pid
    try:
        get(port, "/set/g/1")
        time_gets(port, 200, pid)  # warm up
        fds = server.fd_count()
        for _ in range(rounds):
            times, bad, cpu = time_gets(port, requests, pid)
            without += times
            cpu_off.append(cpu)
            if not open_streams(pool, count, server):
                return
            pool.drain(0)
            times, bad2, cpu = time_gets(port, requests, pid)
            with_streams += times
            cpu_on.append(cpu)
            failed += bad + bad2
            pool.close()
            deadline = time.monotonic() + 10
            while server.fd_count() > fds and time.monotonic() < deadline:
                time.sleep(0.05)
        off, on = median(without), median(with_streams)
        note("median /get, no streams / with streams", f"{off:.3f} / {on:.3f} ms")
        note("server CPU per /get, no streams / with streams", f"{median(cpu_off):.1f} / {median(cpu_on):.1f} us")
        note("failed requests", f"{failed}")
        report(f"/get median with {count:,} streams / without", f"{on / off:.2f}x", "<= 1.2x",
               on <= 1.2 * off and failed == 0)
    finally:
        pool.close()
        server.stop()
        board.close()


RUNS = {"latency": run_latency, "burst": run_burst, "rate": run_rate, "get": run_get}
SMOKE = {"latency": {"samples": 50, "counts": (1, 3, 5)}, "burst": {"frames": 2000, "count": 3, "names": 100},
         "rate": {"count": 5, "per_second": 200, "seconds": 2}, "get": {"requests": 100, "count": 5}}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("runs", nargs="*", metavar="RUN", help="latency, burst, rate, get")
    ap.add_argument("--samples", type=int, default=1000, help="latency samples per stream count and path")
    ap.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    ap.add_argument("--no-build", action="store_true", help="use --binary as it is")
    ap.add_argument("--port", type=int, default=18099, help="HTTP port of the server")
    ap.add_argument("--smoke", action="store_true", help="tiny counts, a few seconds: checks the script, not the server")
    a = ap.parse_args()
    runs = a.runs or ["latency", "burst", "rate", "get"]
    if set(runs) - {"latency", "burst", "rate", "get"}:
        ap.error("runs are latency, burst, rate, get")
    if not a.no_build:
        build_release(os.path.dirname(a.binary), ["pontivo"])
    if not os.access(a.binary, os.X_OK):
        sys.exit(f"no binary at {a.binary}")
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, max(hard, 4096)))  # 1,000 streams and then some
    os.sched_setaffinity(0, {CLIENT_CPU})
    sizes = SMOKE if a.smoke else {"latency": {"samples": a.samples}}
    for run in runs:
        RUNS[run](a.binary, a.port, **sizes.get(run, {}))
    missed = [figure for figure, ok in results if not ok]
    print("ALL PASS" if not missed else f"MISS: {', '.join(missed)}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
