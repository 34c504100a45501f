"""What every row of the attack catalogue watches while its attack runs: a probe client doing
ordinary requests, a board sending numbered frames at 100 Hz (each checked on an event stream),
and the server's peak RSS. The probe and the board run in processes of their own, so an
attacker busy in the main process does not slow them."""
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.dirname(HERE)
for part in ("serial", "soak", "mqtt", "events"):
    sys.path.insert(0, os.path.join(BENCH, part))
from clients import paced  # noqa: E402
from serial_bench import MiB, Board, get, port_open, stop_process  # noqa: E402,F401  (MiB for attacks)

PROBE_RATE = 50  # requests per second, /set/probe/N and /get/probe alternating
FRAME_HZ = 100
SEQ_EVENT = re.compile(rb"event: set\ndata: seq=(\d+)\n")


def probe_main(port, stop, out):
    """One connection per request; an error is a failed connect or any answer but the right one."""
    times, errors, samples, value = [], 0, [], None
    for k, _ in enumerate(paced(PROBE_RATE, stop, time.monotonic() + 3600)):
        setting = k % 2 == 0
        if setting:
            value = b"%08d" % k
        path = f"/set/probe/{value.decode()}" if setting else "/get/probe"
        t0 = time.perf_counter()
        body = get(port, path, timeout=5)
        times.append(time.perf_counter() - t0)
        if body != value:
            errors += 1
            if len(samples) < 3:
                samples.append(f"{path}: {'no answer' if body is None else repr(body[:40])}")
    out.send((times, errors, samples))


class BoardWorker:
    """The board: frames {seq=NNNNNNNN} at FRAME_HZ on a pty behind `link`, written only while the
    server holds the port and the check stream is open, so every number written must come back.
    The check is a `GET /events/seq` stream read at once: each frame is a change of `seq`, so each
    is one `set` event unless the server dropped it (a stream that keeps up is never merged).
    Lines the server writes to the board are kept. `noisy` mixes in what a bad cable or a chatty
    sketch sends: frames in two writes, text lines, unfinished and over-long frames."""

    def __init__(self, link, conn, noisy):
        self.link, self.conn, self.noisy = link, conn, noisy
        self.board = Board(link)
        self.port, self.sock, self.stream_buf, self.stream_ready, self.retry_at = None, None, b"", False, 0.0
        self.out, self.partial, self.lines = b"", b"", []
        self.n, self.seen, self.reconnects = 0, set(), 0

    def run(self):
        next_frame = time.monotonic()
        while True:
            now = time.monotonic()
            if now >= next_frame:
                next_frame = max(next_frame + 1 / FRAME_HZ, now - 0.1)
                if self.stream_ready and self.board.peer_open():
                    self.write(self.frame(self.n))
                    self.n += 1
            self.flush()
            if self.port and not self.sock and now >= self.retry_at:
                self.open_stream()
            fds = [self.conn, self.board.master] + ([self.sock] if self.sock else [])
            for ready in select.select(fds, [], [], max(0.0, min(0.01, next_frame - time.monotonic())))[0]:
                if ready is self.conn and not self.command(*self.conn.recv()):
                    return
                if ready is self.sock:
                    self.read_stream()
            self.read_board()

    def frame(self, n):
        data = b"{seq=%08d}" % n
        if self.noisy:
            data = ([b"{half=", b"{junk=" + b"x" * 5000 + b"}", b"\r\nboard log: 3 < 4 = true\r\n", b""][n % 4]
                    + data)
        return data

    def write(self, data):
        if self.noisy and self.n % 7 == 0:  # the first half of a frame arrives alone
            self.out += data[:len(data) // 2]
            self.flush()
            time.sleep(0.001)
            data = data[len(data) // 2:]
        self.out += data

    def flush(self):
        if self.out:
            try:
                self.out = self.out[os.write(self.board.master, self.out):]
            except (BlockingIOError, OSError):
                pass  # full, or no one holds the port now: it stays queued

    def read_board(self):
        try:
            chunk = os.read(self.board.master, 1 << 16)
        except (BlockingIOError, OSError):
            return
        *whole, self.partial = (self.partial + chunk).split(b"\n")
        self.lines.extend(whole)

    def open_stream(self):
        self.stream_buf, self.stream_ready, self.retry_at = b"", False, time.monotonic() + 0.5
        try:
            self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            self.sock.sendall(b"GET /events/seq HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        except OSError:
            self.sock = None  # tried again from the loop

    def read_stream(self):
        try:
            chunk = self.sock.recv(1 << 16)
        except OSError:
            chunk = b""
        if not chunk:  # closed by the server: numbers sent meanwhile cannot be seen
            self.sock.close()
            self.reconnects += 1
            self.open_stream()
            return
        data = self.stream_buf + chunk
        cut = data.rfind(b"\n\n") + 2
        self.stream_buf = data[cut:]
        done = data[:cut]
        self.stream_ready = self.stream_ready or b"event: link\n" in done
        self.seen.update(int(m) for m in SEQ_EVENT.findall(done))

    def command(self, what, *args):
        if what == "stream":
            self.port = args[0]
            self.open_stream()
            deadline = time.monotonic() + 10
            while not (self.stream_ready and self.board.peer_open()) and time.monotonic() < deadline:
                if self.sock and select.select([self.sock], [], [], 0.01)[0]:
                    self.read_stream()
            self.conn.send(self.stream_ready and self.board.peer_open())
        elif what == "frame":
            self.write(args[0])
        elif what == "lines":
            self.conn.send(self.lines[args[0]:])
        elif what == "replug":  # a new pty behind the same link: the old one's cable is pulled
            self.settle(2)  # nothing in flight, as with a soak's unplug
            old, self.board = self.board, Board(self.link)
            old.close()
            t0 = time.monotonic()
            self.conn.send(time.monotonic() - t0 if self.board.wait_peer(args[0]) else None)
        elif what == "finish":
            self.settle(5)
            self.conn.send((self.n, self.n - len(self.seen & set(range(self.n))), self.reconnects))
            self.board.close()
            return False
        return True

    def settle(self, timeout):
        """Waits until the last number written is back."""
        deadline = time.monotonic() + timeout
        while self.n and self.n - 1 not in self.seen and time.monotonic() < deadline and self.sock:
            self.flush()
            if select.select([self.sock], [], [], 0.05)[0]:
                self.read_stream()


def board_main(link, conn, noisy):
    BoardWorker(link, conn, noisy).run()


class Rss(threading.Thread):
    """The server's RSS every 0.1 s against its value when the row's attack starts; the kernel's
    own high-water mark (reset at the start) catches peaks between samples."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.stop = pid, threading.Event()
        try:
            with open(f"/proc/{pid}/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            pass
        self.start_kib = self.field("VmRSS")
        self.peak_kib = self.start_kib
        self.start()

    def field(self, name):
        try:
            with open(f"/proc/{self.pid}/status") as f:
                for line in f:
                    if line.startswith(name + ":"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0

    def run(self):
        while not self.stop.wait(0.1):
            self.peak_kib = max(self.peak_kib, self.field("VmRSS"))

    def growth_mib(self):
        return (max(self.peak_kib, self.field("VmRSS"), self.field("VmHWM")) - self.start_kib) / 1024

    def now_mib(self):
        return (self.field("VmRSS") - self.start_kib) / 1024


class Broker:
    """mosquitto on 127.0.0.1 keeping retained messages on disk, so they outlive a restart."""

    def __init__(self, port):
        self.port, self.dir = port, tempfile.mkdtemp(prefix="pontivo-hostile-mqtt-")
        self.conf = os.path.join(self.dir, "broker.conf")
        with open(self.conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nuser root\n"
                    f"persistence true\npersistence_location {self.dir}/\n")
        self.proc = None
        self.start()

    def start(self):
        if port_open(self.port):
            sys.exit(f"broker port {self.port} is already in use")
        self.proc = subprocess.Popen([shutil.which("mosquitto") or "/usr/sbin/mosquitto", "-c", self.conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not port_open(self.port) and time.monotonic() < deadline:
            time.sleep(0.05)

    def stop(self):
        if self.proc:
            stop_process(self.proc, 15, 5)
            self.proc = None

    def publish(self, topic, payload, retain=False):
        flags = ["-r"] * retain + (["-n"] if payload is None else ["-m", payload])
        subprocess.run(["mosquitto_pub", "-p", str(self.port), "-q", "1", "-t", topic, *flags], timeout=10,
                       check=False)

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

