#!/usr/bin/env python3
"""Serial-side figures of a Release `pontivo --headless`, each against its target.
A pseudo-terminal made here plays the board: frames are written on its master side
and read back through HTTP on 127.0.0.1. Every loop is bounded in count and time.

  latency  frame written -> value visible through /get, p50/p99 over 1,000 frames; beside
           it a /get alone (and --peer's GET) at the same pace, the floor this machine sets
  burst    100,000 distinct frames as fast as the pty takes them: none lost, all
           applied within 2 s
  soak     frames at 1 kHz, HTTP load, unplug/replug every 20 s (--minutes, default 5):
           frames lost while connected, RSS growth, open descriptors start/end
  formats  1,000,000 records in each --frames format through the pty: records per second and
           the server's CPU per record; lines and json within 1.5x of braces' CPU

usage: serial_bench.py [latency] [burst] [soak] [formats] [--minutes M] [--binary PATH] [--no-build]
                       [--port N] [--peer PORT[/PATH]]
With none named, latency and burst run (the soak only when named).
exit status: 0 all targets met, 1 otherwise.
"""
import argparse
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty
from statistics import median

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SERVER_CPU, CLIENT_CPU = 1, 0
MiB = 1024 * 1024
results = []  # (figure, ok)


def report(figure, text, target, ok):
    results.append((figure, ok))
    print(f"  {figure:<46} {text:>16}   {target:<18} {'PASS' if ok else 'MISS'}", flush=True)


def note(figure, text):
    print(f"  {figure:<46} {text:>16}", flush=True)


class Board:
    """The master side of a fresh pty; the server opens the slave (or `link` to it).
    Closing the master is pulling the cable."""

    def __init__(self, link=None):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.slave_path = os.ttyname(slave)
        os.close(slave)  # with no slave open, the master reports a hang-up: see peer_open
        os.set_blocking(self.master, False)
        self.link = link
        if link:
            tmp = f"{link}.new"
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(self.slave_path, tmp)
            os.replace(tmp, link)  # the name never dangles while replugging
        self.lines = 0  # LF-ended lines the server wrote

    @property
    def name(self):
        return self.link or self.slave_path

    def peer_open(self):
        p = select.poll()
        p.register(self.master, select.POLLIN)
        return not any(ev & select.POLLHUP for _, ev in p.poll(0))

    def wait_peer(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.peer_open():
                return True
            time.sleep(0.002)
        return False

    def write(self, data, timeout=30.0):
        """Writes everything, waiting while the pty is full; returns the bytes written."""
        view = memoryview(data)
        done = 0
        deadline = time.monotonic() + timeout
        while done < len(view) and time.monotonic() < deadline:
            try:
                done += os.write(self.master, view[done:done + 65536])
            except BlockingIOError:
                self.drain()
                select.select([], [self.master], [], 0.05)
        return done

    def drain(self):
        try:
            while True:
                chunk = os.read(self.master, 65536)
                if not chunk:
                    break
                self.lines += chunk.count(b"\n")
        except (BlockingIOError, OSError):
            pass  # EIO: no slave open right now

    def close(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1


class Server:
    """A fresh pontivo on the server CPU, stopped by its own PID."""

    def __init__(self, binary, port, com_port, env=None, extra=()):
        if port_open(port):
            sys.exit(f"port {port} is already in use")
        self.port = port
        self.final_stderr = None
        self.log = tempfile.NamedTemporaryFile(prefix="pontivo-bench-serial-", suffix=".log", delete=False)
        # taskset execs the binary, so the PID is the server's own.
        self.proc = subprocess.Popen(["taskset", "-c", str(SERVER_CPU), binary, "--headless",
                                      "--http-port", str(port), "--com-port", com_port, *extra],
                                     stdout=subprocess.DEVNULL, stderr=self.log, env=env)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                self.stop()
                sys.exit(f"pontivo exited at start: {self.stderr()}")
            if f"serving http://localhost:{port}/" in self.stderr():
                return
            time.sleep(0.02)
        self.stop()
        sys.exit("pontivo did not announce itself within 30 s")

    def stderr(self):
        if self.final_stderr is not None:
            return self.final_stderr
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def rss_bytes(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmRSS")

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def stop(self, sig=signal.SIGINT, timeout=5.0):
        """Sends `sig`; returns the exit status (None if it had to be killed). stderr() still
        answers afterwards."""
        status = stop_process(self.proc, sig, timeout)
        if self.final_stderr is None:
            self.final_stderr = self.stderr()
            self.log.close()
            os.unlink(self.log.name)
        return status


def stop_process(proc, sig, timeout):
    """Sends `sig` unless it has exited; the exit status, or None if it had to be killed."""
    status = proc.poll()
    if status is None:
        proc.send_signal(sig)
        try:
            status = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return status


def port_open(port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def get(port, path, timeout=10.0):
    """One connection, one GET, read until the server closes: the body (None on any failure)."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
            chunks = []
            while True:
                c = s.recv(1 << 20)
                if not c:
                    break
                chunks.append(c)
    except OSError:
        return None
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    return body if head.startswith(b"HTTP/1.1 200 ") else None


def wait_value(port, name, value, timeout):
    """Polls /get/name until it answers value; the time it was seen, or None."""
    deadline = time.perf_counter() + timeout
    while time.perf_counter() < deadline:
        if get(port, f"/get/{name}") == value:
            return time.perf_counter()
    return None


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(p / 100 * len(sorted_values)))]


def paced_get(port, path):
    """One GET after the same 1 ms pause the frames have: the machine's floor for the figure."""
    t0 = time.perf_counter()
    ok = get(port, path) is not None
    return time.perf_counter() - t0 if ok else None


def run_latency(binary, port, peer=None, frames=1000):
    print(f"latency: frame written on the pty -> value seen by /get/lat, {frames:,} frames")
    board = Board()
    srv = Server(binary, port, board.name)
    try:
        if not board.wait_peer(5):
            report("port opened", "no", "open", False)
            return
        baseline = []
        for i in range(200):
            t0 = time.perf_counter()
            get(port, "/get/none")
            baseline.append(time.perf_counter() - t0)
        # Each frame is followed by a /get alone and, if given, a peer's GET at the same pace:
        # waking an idle CPU costs the same in all three.
        latencies, alone, at_peer, missed = [], [], [], 0
        for i in range(frames + 50):  # the first 50 warm up
            value = str(i).encode()
            t0 = time.perf_counter()
            board.write(b"{lat=" + value + b"}")
            seen = wait_value(port, "lat", value, timeout=1.0)
            time.sleep(0.001)
            paced = [paced_get(port, "/get/none")]
            if peer:
                time.sleep(0.001)
                paced.append(paced_get(*peer))
            if i >= 50:
                if seen is None:
                    missed += 1
                else:
                    latencies.append(seen - t0)
                alone.append(paced[0])
                at_peer.extend(paced[1:])
            time.sleep(0.001)
        note("one /get round trip alone (median)", f"{median(baseline) * 1e3:.2f} ms")
        for figure, values in (("a /get alone at the same pace, p50/p99", alone),
                               (f"peer GET {peer[1]} at the same pace, p50/p99" if peer else "", at_peer)):
            values = sorted(v for v in values if v is not None)
            if values:
                note(figure, f"{percentile(values, 50) * 1e3:.3f}/{percentile(values, 99) * 1e3:.3f} ms")
        if not latencies:
            report("frames seen", "0", "all", False)
            return
        latencies.sort()
        p50, p99 = percentile(latencies, 50) * 1e3, percentile(latencies, 99) * 1e3
        report("latency p50", f"{p50:.3f} ms", "< 0.2 ms", p50 < 0.2)
        report("latency p99", f"{p99:.3f} ms", "< 2 ms", p99 < 2)
        note("latency max", f"{latencies[-1] * 1e3:.2f} ms")
        report("frames not seen within 1 s", f"{missed}", "0", missed == 0)
    finally:
        srv.stop()
        board.close()


def run_burst(binary, port, frames=100_000):
    print(f"burst: {frames:,} frames {{bNNNNNN=N}} written as fast as the pty takes them")
    board = Board()
    srv = Server(binary, port, board.name)
    try:
        if not board.wait_peer(5):
            report("port opened", "no", "open", False)
            return
        data = b"".join(b"{b%06d=%d}" % (i, i) for i in range(frames))
        last = str(frames - 1).encode()
        t0 = time.perf_counter()
        written = board.write(data)
        t_written = time.perf_counter()
        seen = wait_value(port, f"b{frames - 1:06d}", last, timeout=10.0)
        note("bytes written", f"{written:,} of {len(data):,}")
        note("writing took", f"{(t_written - t0) * 1e3:.0f} ms")
        listing = get(port, "/get", timeout=30) or b""
        expected = b"".join(b"b%06d=%d\r\n" % (i, i) for i in range(frames))
        lines = listing.split(b"\r\n")[:-1]
        lost = frames - len(set(lines) & set(expected.split(b"\r\n")[:-1]))
        report("frames lost (full /get listing checked)", f"{lost:,}", "0",
               lost == 0 and listing == expected)
        applied = None if seen is None else (seen - t0)
        report("all applied, from the first byte written",
               "not within 10 s" if applied is None else f"{applied * 1e3:.0f} ms", "<= 2 s",
               applied is not None and applied <= 2.0)
    finally:
        srv.stop()
        board.close()


FORMAT_RECORDS = {  # one pair per record, ended as a sketch's println ends it
    "braces": lambda i: b"{s%d=%d}\r\n" % (i % 10, i),
    "lines": lambda i: b"s%d:%d\r\n" % (i % 10, i),
    "json": lambda i: b'{"s%d":%d}\r\n' % (i % 10, i),
}
BAUD_115200_BYTES_PER_S = 115200 / 10  # 8 data bits, a start and a stop bit


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def run_formats(binary, port, records=1_000_000):
    print(f"formats: {records:,} records per --frames format through the pty, as fast as it takes them")
    cpu = {}
    for name, record in FORMAT_RECORDS.items():
        board = Board()
        srv = Server(binary, port, board.name, extra=("--frames", name))
        try:
            if not board.wait_peer(5):
                report(f"{name}: port opened", "no", "open", False)
                return
            data = b"".join(record(i) for i in range(records))
            last = records - 1
            cpu0, t0 = cpu_seconds(srv.proc.pid), time.perf_counter()
            board.write(data)
            seen = wait_value(port, f"s{last % 10}", str(last).encode(), timeout=30.0)
            cpu[name] = (cpu_seconds(srv.proc.pid) - cpu0) / records
            size = len(data) / records
            if seen is None:
                report(f"{name}: last record applied", "not within 30 s", "applied", False)
                return
            note(f"{name}: records/s through the pty", f"{records / (seen - t0):,.0f}")
            note(f"{name}: server CPU per record", f"{cpu[name] * 1e6:.2f} us")
            rate = BAUD_115200_BYTES_PER_S / size
            note(f"{name}: at 115200 baud ({size:.1f} B each)", f"{rate:,.0f}/s, {rate * cpu[name] * 100:.2f}% CPU")
        finally:
            srv.stop()
            board.close()
    for name in ("lines", "json"):
        ratio = cpu[name] / cpu["braces"]
        report(f"{name}: CPU per record / braces'", f"{ratio:.2f}x", "<= 1.5x", ratio <= 1.5)


class Soak:
    """Frames at 1 kHz while connected, HTTP load, and an unplug/replug every 20 s.
    Frame n is {fB_NNN=n}, B = n // 1000: once a batch is over, the checker fetches it
    with /getlike/fB_*, compares it with what was written and unsets it, so the store
    stays small and a growing RSS means a leak."""

    RATE = 1000
    UNPLUG_EVERY_S = 20
    UNPLUGGED_S = 0.5
    LOAD_RATE = 100  # HTTP requests per second, one connection each

    def __init__(self, binary, port, minutes):
        self.dir = tempfile.mkdtemp(prefix="pontivo-bench-serial-")
        self.link = os.path.join(self.dir, "board")
        self.board = Board(self.link)
        self.port = port
        self.srv = Server(binary, port, self.link)
        self.duration = minutes * 60
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.written = {}  # batch -> set of frame numbers written
        self.current_batch = 0
        self.lost = self.wrong = self.checked = 0
        self.reconnect_s = []
        self.unplugs = 0
        self.quiesce_timeouts = 0
        self.load_done = self.load_failed = 0
        self.frames_written = self.lines_before = 0

    def frame(self, n):
        return b"{f%d_%03d=%d}" % (n // 1000, n % 1000, n)

    def quiesce(self, last_n):
        """Waits until the last frame written is in the store, so an unplug drops nothing in flight."""
        name = f"f{last_n // 1000}_{last_n % 1000:03d}"
        if wait_value(self.port, name, str(last_n).encode(), timeout=2.0) is None:
            self.quiesce_timeouts += 1

    def replug(self):
        self.lines_before += self.board.lines
        self.board.close()
        time.sleep(self.UNPLUGGED_S)
        self.board = Board(self.link)
        t0 = time.monotonic()
        if self.board.wait_peer(10):
            self.reconnect_s.append(time.monotonic() - t0)
        self.unplugs += 1

    def writer(self, t_end):
        n = 0
        next_unplug = time.monotonic() + self.UNPLUG_EVERY_S
        start, sent_since = time.monotonic(), 0
        while time.monotonic() < t_end:
            now = time.monotonic()
            if now >= next_unplug:
                if n:
                    self.quiesce(n - 1)
                self.replug()
                next_unplug = time.monotonic() + self.UNPLUG_EVERY_S
                start, sent_since = time.monotonic(), 0
                continue
            self.board.drain()
            if not self.board.peer_open():
                time.sleep(0.005)
                start, sent_since = time.monotonic(), 0
                continue
            due = min(int((now - start) * self.RATE) - sent_since, 100)
            if due > 0:
                chunk = b"".join(self.frame(k) for k in range(n, n + due))
                with self.lock:
                    for k in range(n, n + due):
                        self.written.setdefault(k // 1000, set()).add(k)
                    self.current_batch = (n + due - 1) // 1000
                self.board.write(chunk, timeout=5)
                n += due
                sent_since += due
            time.sleep(0.001)
        if n:
            self.quiesce(n - 1)
        self.frames_written = n

    def check_batch(self, batch):
        with self.lock:
            expected = self.written.pop(batch, set())
        seen = {}
        for attempt in range(3):  # frames still on their way get another second
            body = get(self.port, f"/getlike/f{batch}_*", timeout=10)
            seen = {}
            for line in (body or b"").split(b"\r\n"):
                name, eq, value = line.partition(b"=")
                if eq:
                    seen[int(name.split(b"_")[1]) + batch * 1000] = value
            if body is not None and len(seen) >= len(expected):
                break
            time.sleep(1)
        get(self.port, f"/unsetlike/f{batch}_*")
        self.lost += len(expected - seen.keys())
        self.wrong += sum(1 for k, v in seen.items() if v != str(k).encode())
        self.checked += len(expected)

    def checker(self):
        checked_upto = 0
        while not self.stop.is_set():
            with self.lock:
                closed = self.current_batch - 1  # the batch before the current one is over
            while checked_upto < closed:
                self.check_batch(checked_upto)
                checked_upto += 1
            time.sleep(0.5)
        with self.lock:
            remaining = sorted(self.written)
        for batch in remaining:
            self.check_batch(batch)

    def load(self):
        paths = ["/get/led", "/set/led/on", "/getlike/led*", "/set/led/off", "/test", "/get"]
        i = 0
        start = time.monotonic()
        while not self.stop.is_set():
            body = get(self.port, paths[i % len(paths)], timeout=5)
            self.load_done += body is not None
            self.load_failed += body is None
            i += 1
            delay = start + i / self.LOAD_RATE - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def run(self):
        print(f"soak: {self.duration / 60:g} min, frames at {self.RATE} Hz, HTTP at {self.LOAD_RATE} req/s, "
              f"unplug/replug every {self.UNPLUG_EVERY_S} s (pty closed, recreated behind {self.link})")
        try:
            if not self.board.wait_peer(5):
                report("port opened", "no", "open", False)
                return
            time.sleep(0.5)
            fds_start, rss_start = self.srv.fd_count(), self.srv.rss_bytes()
            t_end = time.monotonic() + self.duration
            threads = [threading.Thread(target=self.load), threading.Thread(target=self.checker)]
            for t in threads:
                t.start()
            rss_warm = None
            writer = threading.Thread(target=self.writer, args=(t_end,))
            writer.start()
            while writer.is_alive():
                writer.join(1.0)
                if rss_warm is None and self.unplugs >= 1 and self.reconnect_s:
                    time.sleep(5)  # the first replug done and a few seconds of load since
                    rss_warm = self.srv.rss_bytes()
            self.stop.set()
            for t in threads:
                t.join()
            connected = self.board.wait_peer(3)
            time.sleep(0.5)  # let the last HTTP connections close
            fds_end, rss_end = self.srv.fd_count(), self.srv.rss_bytes()
            self.report(fds_start, fds_end, rss_start, rss_warm, rss_end, connected)
        finally:
            self.stop.set()
            status = self.srv.stop()
            note("server exit status after SIGINT", f"{status}")
            self.board.close()
            if os.path.lexists(self.link):
                os.unlink(self.link)
            os.rmdir(self.dir)

    def report(self, fds_start, fds_end, rss_start, rss_warm, rss_end, connected):
        log = self.srv.stderr()
        note("frames written while connected", f"{self.frames_written:,}")
        note("  of which checked in the store", f"{self.checked:,}")
        note("unplug/replug cycles", f"{self.unplugs}")
        if self.reconnect_s:
            note("replug -> port open again (median/max)",
                 f"{median(self.reconnect_s):.2f}/{max(self.reconnect_s):.2f} s")
        note("'cannot be opened' / 'open' lines on stderr",
             f"{log.count('cannot be opened')} / {log.count(' open (')}")
        note("HTTP requests answered / failed", f"{self.load_done:,} / {self.load_failed:,}")
        note("lines the board received", f"{self.board_lines():,}")
        report("frames lost while connected", f"{self.lost:,}", "0",
               self.lost == 0 and self.wrong == 0 and self.quiesce_timeouts == 0
               and self.checked == self.frames_written)
        if self.wrong or self.quiesce_timeouts:
            print(f"  !! {self.wrong} frames with a wrong value, {self.quiesce_timeouts} unplugs "
                  "whose last frame did not arrive within 2 s")
        note("RSS at start", f"{rss_start / MiB:.2f} MiB")
        if rss_warm is not None:
            note("RSS after the first replug (+5 s)", f"{rss_warm / MiB:.2f} MiB")
        note("RSS at end", f"{rss_end / MiB:.2f} MiB")
        base = rss_warm if rss_warm is not None else rss_start
        report("RSS growth (after first replug -> end)", f"{(rss_end - base) / MiB:+.2f} MiB", "< 1 MiB",
               rss_end - base < MiB)
        note("RSS growth from start", f"{(rss_end - rss_start) / MiB:+.2f} MiB")
        report("open descriptors start -> end", f"{fds_start} -> {fds_end}", "equal",
               fds_start == fds_end and connected)

    def board_lines(self):
        return self.board.lines + self.lines_before


def build_release(build, targets):
    print(f"building Release into {build}", flush=True)
    subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DPONTIVO_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("runs", nargs="*", metavar="RUN", help="latency, burst, soak, formats")
    ap.add_argument("--minutes", type=float, default=5.0, help="soak length (default 5)")
    ap.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    ap.add_argument("--no-build", action="store_true", help="use --binary as it is")
    ap.add_argument("--port", type=int, default=18095, help="HTTP port of the server")
    ap.add_argument("--peer", metavar="PORT[/PATH]",
                    help="latency: also time GET PATH (default /) on another server on 127.0.0.1:PORT "
                         "at the frames' pace, e.g. nginx serving a small file")
    a = ap.parse_args()
    runs = a.runs or ["latency", "burst"]
    unknown = set(runs) - {"latency", "burst", "soak", "formats"}
    if unknown:
        ap.error(f"unknown run {', '.join(sorted(unknown))}")
    if not a.no_build:
        build_release(os.path.dirname(a.binary), ["pontivo"])
    if not os.access(a.binary, os.X_OK):
        sys.exit(f"no binary at {a.binary}")
    os.sched_setaffinity(0, {CLIENT_CPU})  # client on the other CPU than the server
    if "latency" in runs:
        peer = None
        if a.peer:
            peer_port, _, peer_path = a.peer.partition("/")
            peer = (int(peer_port), "/" + peer_path)
        run_latency(a.binary, a.port, peer)
    if "burst" in runs:
        run_burst(a.binary, a.port)
    if "soak" in runs:
        Soak(a.binary, a.port, a.minutes).run()
    if "formats" in runs:
        run_formats(a.binary, a.port)
    missed = [figure for figure, ok in results if not ok]
    print("ALL PASS" if not missed else f"MISS: {', '.join(missed)}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
