"""The board side of the soak: pontivo-board-sim on a fixed --link name, fed frames through
its standard input at 1 kHz, stopped and started again for each unplug; a checker that
reads every frame back; and a check of the lines the board got from Pontivo."""
import os
import re
import signal
import subprocess
import threading
import time

from answers import Log, exchange, listing, problem_with, request_for
from serial_bench import stop_process

LOAD_LINE = re.compile(rb"c(\d+)_(\d+)=v(\d+)x(\d+)(.*)", re.S)


class Sim:
    """One pontivo-board-sim run. It sends its standard input only while Pontivo has the port
    open; every line Pontivo writes comes back on its standard output."""

    def __init__(self, path, link, on_line):
        self.proc = subprocess.Popen([path, "--link", link], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.opened, self.closed = threading.Event(), threading.Event()
        self.messages = []
        os.set_blocking(self.proc.stdin.fileno(), False)
        self.pending = b""
        self.readers = [threading.Thread(target=self.read_lines, args=(on_line,), daemon=True),
                        threading.Thread(target=self.read_messages, daemon=True)]
        for r in self.readers:
            r.start()

    def read_lines(self, on_line):
        lines = iter(self.proc.stdout.readline, b"")
        next(lines, None)  # the port's name
        previous = None
        for line in lines:
            if previous is not None:
                on_line(previous, False)
            previous = line.rstrip(b"\n")
        if previous is not None:
            on_line(previous, True)  # the last one may have been cut by the unplug

    def read_messages(self):
        for line in iter(self.proc.stderr.readline, b""):
            text = line.decode(errors="replace").strip()
            self.messages.append(text)
            if text.endswith("the port was opened"):
                self.opened.set()
            elif "the port was closed" in text:
                self.closed.set()

    def connected(self):
        return self.opened.is_set() and not self.closed.is_set()

    def write(self, data):
        """Queues `data` and writes what the pipe takes now; never blocks."""
        self.pending += data
        try:
            n = os.write(self.proc.stdin.fileno(), self.pending)
            self.pending = self.pending[n:]
        except BlockingIOError:
            pass
        return not self.pending

    def stop(self):
        """Pulls the cable: SIGTERM, and the simulator takes its pty and link with it."""
        status = stop_process(self.proc, signal.SIGTERM, 5)
        self.proc.stdin.close()
        for r in self.readers:
            r.join(5)
        return status


class BoardLines:
    """Lines Pontivo wrote to the board. Only load clients set (c<i>_<k>, values v<i>x<seq>...),
    and each name's sequence numbers may only grow: a line out of order, torn or from nowhere
    is counted."""
    # Sets of soak --all (everything.py) and of the catalogue rows it runs (a CSV cell through the JSON API).
    OTHERS = (b"all_", b"cell=")

    def __init__(self, suffixes):
        self.suffixes = {s.encode() for s in suffixes}
        self.lock = threading.Lock()
        self.received = self.bad = self.cut = 0
        self.last_seq = {}
        self.samples = []

    def __call__(self, raw, last_of_run):
        line = raw[len(b"board got: "):] if raw.startswith(b"board got: ") else None
        m = LOAD_LINE.fullmatch(line) if line is not None else None
        with self.lock:
            self.received += 1
            if line is not None and line.startswith(self.OTHERS):
                return
            ok = m is not None and m[1] == m[3] and m[5] in self.suffixes
            if ok:
                name, seq = m[1] + b"_" + m[2], int(m[4])
                ok = seq >= self.last_seq.get(name, 0)
                self.last_seq[name] = seq
            if ok:
                return
            if last_of_run:
                self.cut += 1
                return
            self.bad += 1
            if len(self.samples) < 5:
                self.samples.append(f"board got {raw[:90]!r}")


class Board:
    """Frames at RATE per second while connected; every UNPLUG_EVERY_S the last frame is
    waited for in the store (so nothing is in flight), the simulator stopped, and a new one
    started on the same link after UNPLUGGED_S. Frame n is {f<B>_<nnn>=n}, B = n // 1000;
    one frame in fifty reaches the pty in two writes, and one in a hundred is followed by a
    line of text that is not a frame."""
    RATE = 1000
    UNPLUG_EVERY_S = 20
    UNPLUGGED_S = 0.5

    def __init__(self, sim_path, link, lines):
        self.sim_path, self.link, self.lines = sim_path, link, lines
        self.sim = Sim(sim_path, link, lines)
        self.lock = threading.Lock()
        self.n = 0  # frames written, all while connected: 0 .. n-1
        self.unplugs, self.quiesce_timeouts, self.closed_by_server = 0, 0, 0
        self.reconnect_s, self.sim_statuses = [], []
        self.unplugged_at = []  # monotonic times of the pulls
        self.quiesce_s = 2.0

    @staticmethod
    def frame(n):
        return b"{f%d_%03d=%d}" % (n // 1000, n % 1000, n)

    def wait_connected(self, timeout):
        t0 = time.monotonic()
        if not self.sim.opened.wait(timeout):
            return None
        return time.monotonic() - t0

    def quiesce(self, port, caption):
        """Waits until frame n-1 is in the store."""
        if self.n == 0:
            return
        last = self.n - 1
        request = request_for(f"/get/f{last // 1000}_{last % 1000:03d}")
        deadline = time.monotonic() + self.quiesce_s
        while time.monotonic() < deadline:
            self.sim.write(b"")
            out = exchange(port, request)
            if problem_with(out.raw, caption, str(last).encode()) is None:
                return
            time.sleep(0.005)
        self.quiesce_timeouts += 1

    def replug(self):
        if self.sim.closed.is_set():
            self.closed_by_server += 1
        self.unplugged_at.append(time.monotonic())
        self.sim_statuses.append(self.sim.stop())
        time.sleep(self.UNPLUGGED_S)
        self.sim = Sim(self.sim_path, self.link, self.lines)
        seconds = self.wait_connected(10)
        if seconds is not None:
            self.reconnect_s.append(seconds)
        self.unplugs += 1

    def reattach(self):
        """After the server was killed and started again: a fresh simulator, as the old one saw its port
        closed; not counted as an unplug. The seconds until the port was open again, or None."""
        self.sim_statuses.append(self.sim.stop())
        self.sim = Sim(self.sim_path, self.link, self.lines)
        return self.wait_connected(10)

    def feed(self, t_end, port, caption, stop):
        next_unplug = time.monotonic() + self.UNPLUG_EVERY_S
        start, sent_since = time.monotonic(), 0
        while time.monotonic() < t_end and not stop.is_set():
            now = time.monotonic()
            if now >= next_unplug:
                self.quiesce(port, caption)
                self.replug()
                next_unplug = time.monotonic() + self.UNPLUG_EVERY_S
                start, sent_since = time.monotonic(), 0
                continue
            if not self.sim.connected() or not self.sim.write(b""):
                time.sleep(0.002)
                start, sent_since = time.monotonic(), 0
                continue
            due = min(int((now - start) * self.RATE) - sent_since, 100)
            if due > 0:
                parts = []
                for k in range(self.n, self.n + due):
                    parts.append(self.frame(k))
                    if k % 100 == 99:
                        parts.append(b"\r\nboard log: %d frames, 3 < 4 = true\r\n" % (k + 1))
                chunk = b"".join(parts)
                if (self.n // 50) != ((self.n + due) // 50):  # one frame in fifty goes in two writes
                    cut = len(self.frame(self.n)) // 2
                    self.sim.write(chunk[:cut])
                    time.sleep(0.001)
                    chunk = chunk[cut:]
                self.sim.write(chunk)
                with self.lock:
                    self.n += due
                sent_since += due
            time.sleep(0.002)
        self.quiesce(port, caption)

    def close(self):
        self.sim_statuses.append(self.sim.stop())


class FrameChecker:
    """Fetches every finished batch with /getlike/f<B>_*: it must list exactly the batch's frames
    in the order sent, each with its own number. A batch still short is fetched again up to
    three times, a second apart; what is still missing then is lost. Checked frames are unset,
    so the store stays at about two thousand frames. run() may be called again for the next round:
    it goes on from the first frame not yet checked."""

    def __init__(self, board, port, caption, t0):
        self.board, self.port, self.caption = board, port, caption
        self.log = Log("frames", t0)
        self.lost = self.checked = 0
        self.upto = 0  # frames 0 .. upto-1 are checked

    def check(self, end):
        """Frames upto .. end-1, all of one batch."""
        batch = self.upto // 1000
        want = [(b"f%d_%03d" % (batch, k % 1000), b"%d" % k) for k in range(self.upto, end)]
        request = request_for(f"/getlike/f{batch}_*")
        got = []
        for attempt in range(4):
            out = exchange(self.port, request, timeout=10)
            if not self.log.check("getlike", request, out, self.caption, lambda body: True):
                break
            body = out.raw.partition(b"\r\n\r\n")[2]
            got = [tuple(line.split(b"=", 1)) for line in body.split(b"\r\n")[:-1]]
            if len(got) >= len(want):
                break
            time.sleep(1)
        if got and got != want[:len(got)]:
            self.log.fault("getlike", request, f"listing differs from the frames sent: {listing(got[:3])!r}...")
        self.lost += len(set(want) - set(got))
        self.checked += len(want)
        self.upto = end
        unset = request_for(f"/unsetlike/f{batch}_*")
        self.log.check("unsetlike", unset, exchange(self.port, unset), self.caption, b"")

    def next_end(self, n):
        return min(n, (self.upto // 1000 + 1) * 1000)

    def run(self, done):
        """Checks batches as they finish; once `done` is set, the rest up to the last frame."""
        while not done.is_set():
            with self.board.lock:
                n = self.board.n
            while self.next_end(n) % 1000 == 0 and self.next_end(n) > self.upto and not done.is_set():
                self.check(self.next_end(n))
            done.wait(0.5)
        n = self.board.n
        while self.upto < n:
            self.check(self.next_end(n))
