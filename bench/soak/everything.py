"""--all: the rest of Pontivo switched on beside the soak's load, each part checked as it runs.

  recording       --record with --restore and a small --record-max, so the file fills and is pruned
  history reads   GET /api/history and /api/history/c0_0 every second: 200 and JSON
  JSON API        every 0.5 s a PUT of a counter to all_json, read back through /api/variables/all_json
  event streams   one live /events reader, one that lags (a small buffer read 1 KiB every 2 s)
  /metrics        every 5 s (scaled down for short runs): 200, every line a comment or "name value"
  MQTT            a Mosquitto of our own with --mqtt-discovery, restarted every 5 min (scaled); while it
                  is down all_q0..all_q4 change, and once Pontivo is back its retained topics must equal
                  the store
  board restore   --restore-board: every unplug of the soak's board is a reopening that restores
  kill -9         after each round of the load (soak.py, rounds.py): a writer sets all_k 20 times a
                  second, the server is killed with SIGKILL and started again with --restore; at most
                  1 s of acknowledged writes may be lost
  catalogue       rows of bench/hostile/attacks.py that leave the soak's model alone, one after the other
                  for a slice each; an attack's effect is a wrong answer
"""
import functools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

from answers import Outcome, exchange, request_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "hostile"))
import attacks  # noqa: E402
from hostile import Ctx  # noqa: E402

MiB = 1 << 20
PREFIX = "pontivo"
QUIET = [f"all_q{i}" for i in range(5)]
PATTERN_NAMES = 20  # of 40 KB: the row's 100 would hold 4 MB in the store beside the load
# Rows that only touch names of their own (x, cell, cl, ###b...) and no process or listener of the soak.
# Left out: those that grow RSS or hold connections by design (1-5, 12), cross-site (needs --allow-origin,
# which refuses the load's requests with an Origin), line injection (its frames and lines would be the
# board check's), the MQTT rows (they stop the broker), malformed streams (the soak runs them already).
CATALOGUE = {"stored script": attacks.stored_script,
             "pattern cost": functools.partial(attacks.pattern_cost, names=PATTERN_NAMES),
             "CSV formulas": attacks.csv_formulas, "request edges": attacks.request_edges}
TIMED_ROWS = {"pattern cost"}  # its effect is a time (over 1 s): under ASan a note, like the probe's p99


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def mosquitto():
    """The broker's program: Debian puts it in /usr/sbin, which a user's PATH may not hold."""
    return shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin")


def split(outcome):
    """(status code, body) of a complete answer, or (None, why)."""
    if outcome.kind != Outcome.RESPONSE or b"\r\n\r\n" not in outcome.raw:
        return None, outcome.kind
    head, body = outcome.raw.split(b"\r\n\r\n", 1)
    parts = head.split(b" ", 2)
    return (int(parts[1]), body) if len(parts) > 1 and parts[1].isdigit() else (None, head[:40])


def request(method, path, body=b""):
    return (f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body


class Broker:
    """Mosquitto on a port of its own, without persistence: a restart forgets every retained topic."""

    def __init__(self, directory):
        self.port = free_port()
        self.conf = os.path.join(directory, "broker.conf")
        with open(self.conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([mosquitto(), "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        time.sleep(0.3)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def retained(self, topic):
        """The retained messages under `topic`, as {topic: payload}."""
        out = subprocess.run(["mosquitto_sub", "-p", str(self.port), "-t", topic, "-v", "--retained-only",
                              "-W", "2"], capture_output=True, timeout=10).stdout
        return dict(line.split(b" ", 1) for line in out.splitlines() if b" " in line)


class SoakCtx(Ctx):
    """What a catalogue row sees of the soak's server: its port, get() and wait(), running until the slice's
    deadline or the round's end."""

    def __init__(self, port, deadline, stop_event):
        self.port, self.deadline, self.stop_event = port, deadline, stop_event

    def running(self):
        return not self.stop_event.is_set() and time.monotonic() < self.deadline


class AllOn:
    def __init__(self, minutes, directory, port, sanitized):
        if not mosquitto() or not shutil.which("mosquitto_sub"):
            raise SystemExit("soak --all: mosquitto and mosquitto_sub are needed (tools/install-deps.sh --tests)")
        self.port, self.dir, self.sanitized = port, directory, sanitized
        self.record = os.path.join(directory, "record.db")
        self.record_max = 1 * MiB if minutes < 10 else 8 * MiB
        # Five minutes between broker restarts, five seconds between scrapes: a short run has a few of each.
        self.broker_every = min(300.0, minutes * 60 / 3)
        self.scrape_every = min(5.0, minutes * 60 / 20)
        self.slice_s = min(25.0, minutes * 60 / 6)
        self.next_broker = None  # the restarts keep their pace across the rounds
        self.next_row, self.row_texts = 0, {}
        self.kills = 0
        self.broker = Broker(directory)
        self.stop_event = threading.Event()
        self.lock = threading.Lock()
        self.counts, self.faults, self.samples = {}, 0, []
        self.record_sizes = []  # the file's size, every second
        self.wal_peak = 0
        self.broker_checks = []  # (names equal, names compared) per restart
        self.threads = []

    def server_args(self):
        return ("--record", self.record, "--restore", "--record-max", str(self.record_max), "--restore-board",
                "--mqtt", f"mqtt://127.0.0.1:{self.broker.port}", "--mqtt-discovery")

    def count(self, what, ok=True, sample=None, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n
            if not ok:
                self.faults += 1
                if len(self.samples) < 8:
                    self.samples.append(f"{what}: {sample}")

    def get(self, path):
        return split(exchange(self.port, request_for(path)))

    def start(self, t_end):
        """The parts for one round, until `t_end` or stop()."""
        self.stop_event.clear()
        self.threads = []
        if self.next_broker is None:
            self.next_broker = time.monotonic() + self.broker_every
        for target in (self.history, self.json_api, self.live_events, self.lagging_events, self.metrics,
                       self.broker_restarts, self.record_size, self.catalogue):
            thread = threading.Thread(target=target, args=(t_end,), daemon=True)
            thread.start()
            self.threads.append(thread)

    def stop(self):
        self.stop_event.set()
        for thread in self.threads:
            thread.join(30)

    def running(self, t_end, pause):
        return not self.stop_event.wait(pause) and time.monotonic() < t_end

    def history(self, t_end):
        while self.running(t_end, 1.0):
            for path in ("/api/history", "/api/history/c0_0?limit=100"):
                status, body = self.get(path)
                ok = status == 200
                try:
                    json.loads(body) if ok else None
                except ValueError:
                    ok = False
                self.count("history reads", ok, f"{path}: {status} {body[:60]!r}")

    def json_api(self, t_end):
        n = 0
        while self.running(t_end, 0.5):
            n += 1
            status, _ = split(exchange(self.port, request("PUT", "/api/variables/all_json", str(n).encode())))
            got, body = self.get("/api/variables/all_json")
            try:
                value = json.loads(body).get("value") if got == 200 else None
            except ValueError:
                value = None
            self.count("JSON API writes read back", status == 200 and value == str(n),
                       f"PUT {status}, read {got} {body[:60]!r}")
            status, body = self.get("/api/variables")
            try:
                ok = status == 200 and isinstance(json.loads(body)["variables"], list)
            except (ValueError, KeyError):
                ok = False
            self.count("JSON listings", ok, f"{status} {body[:60]!r}")

    def stream(self, buffer_bytes=0):
        sock = socket.socket()
        if buffer_bytes:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer_bytes)
        sock.connect(("127.0.0.1", self.port))
        sock.sendall(request_for("/events"))
        return sock

    def live_events(self, t_end):
        sock, events = self.stream(), 0
        sock.settimeout(1.0)
        with sock:
            while self.running(t_end, 0):
                try:
                    chunk = sock.recv(1 << 16)
                except socket.timeout:
                    continue
                if not chunk:
                    self.count("live stream ended by the server", False, f"after {events} events")
                    return
                events += chunk.count(b"\ndata: ") + chunk.startswith(b"data: ")
        self.count("live stream events", n=events)

    def lagging_events(self, t_end):
        sock, cut = self.stream(4096), False
        sock.settimeout(0.1)
        with sock:
            while self.running(t_end, 2.0):
                try:
                    if not sock.recv(1024):
                        cut = True
                        break
                except socket.timeout:
                    pass
                except ConnectionResetError:
                    cut = True
                    break
        self.count("lagging stream cut by the server", n=int(cut))

    def metrics(self, t_end):
        while self.running(t_end, self.scrape_every):
            status, body = self.get("/metrics")
            bad = [line for line in body.splitlines() if line and not line.startswith(b"#")
                   and len(line.rsplit(b" ", 1)) != 2] if status == 200 else [body[:60]]
            self.count("metrics scrapes", status == 200 and not bad, f"{status} {bad[:1]!r}")

    def mqtt_connected(self):
        status, body = self.get("/metrics")
        return status == 200 and b"\npontivo_mqtt_connected 1\n" in body

    def broker_restarts(self, t_end):
        while self.running(t_end, max(0.0, min(self.next_broker, t_end) - time.monotonic())):
            if time.monotonic() >= self.next_broker:
                self.next_broker += self.broker_every
                self.restart_broker()

    def restart_broker(self):
        self.broker.stop()
        restart = len(self.broker_checks) + 1
        for name in QUIET:
            self.get(f"/set/{name}/r{restart}")
        self.broker.start()
        if not self.wait_mqtt("broker restarts"):
            self.broker_checks.append((0, len(QUIET)))
            return
        time.sleep(1.0)
        retained = self.broker.retained(f"{PREFIX}/+")
        stored = {name: self.get(f"/get/{name}")[1] for name in QUIET}
        equal = sum(retained.get(f"{PREFIX}/{name}".encode()) == value for name, value in stored.items())
        self.broker_checks.append((equal, len(QUIET)))
        self.count("broker restarts", equal == len(QUIET),
                   f"retained {sorted(retained.items())[:3]} against the store {stored}")

    def wait_mqtt(self, what):
        """Waits up to 15 s for Pontivo to be connected to the broker; a fault under `what` if it is not."""
        deadline = time.monotonic() + 15
        while not self.mqtt_connected():
            if time.monotonic() > deadline:
                self.count(what, False, "Pontivo did not connect to the broker within 15 s")
                return False
            time.sleep(0.2)
        return True

    def wait_ready(self):
        """After a restart: connected to the broker again, as at the start."""
        self.wait_mqtt("broker reached after a kill -9")

    def catalogue(self, t_end):
        """The catalogue's rows, each for a slice, going on where the last round stopped."""
        names = list(CATALOGUE)
        while self.running(t_end, 0):
            name = names[self.next_row % len(names)]
            self.next_row += 1
            ctx = SoakCtx(self.port, min(time.monotonic() + self.slice_s, t_end), self.stop_event)
            try:
                happened, text = CATALOGUE[name](ctx)
            except Exception as e:  # the attack's own failure is shown, never taken for a pass
                happened, text = True, f"raised {e!r}"
            if name == "pattern cost":
                self.get("/unsetlike/###b*")  # its 40 KB names would weigh on every listing of the load
            noted = happened and self.sanitized and name in TIMED_ROWS
            self.count(f"catalogue: {name}" + (" (ASan: effect noted, not judged)" if noted else ""),
                       not happened or noted, text)
            self.row_texts[name] = text

    def record_size(self, t_end):
        while self.running(t_end, 1.0):
            sizes = [os.path.getsize(p) if os.path.exists(p) else 0 for p in (self.record, self.record + "-wal")]
            self.record_sizes.append(sizes[0])
            self.wal_peak = max(self.wal_peak, sizes[1])

    def kill_and_restore(self, make_server, server):
        """Sets all_k 20 times a second, kills the server in the middle with SIGKILL and starts it again
        with --restore: the value it comes back with must be at most 1 s older than the last acknowledged."""
        acked, writing = {}, threading.Event()
        self.kills += 1
        tag = f"k{self.kills}x"  # the values of an earlier kill are never taken for this one's

        def writer():
            for n in range(80):
                status, body = self.get(f"/set/all_k/{tag}{n}")
                if status == 200 and body == f"{tag}{n}".encode():
                    acked[body] = time.monotonic()
                    writing.set()
                time.sleep(0.05)

        thread = threading.Thread(target=writer, daemon=True)
        thread.start()
        writing.wait(10)
        time.sleep(2.0)
        last = max(acked.values(), default=None)
        server.stop(signal.SIGKILL)
        thread.join(30)
        fresh = make_server()
        value = self.get("/get/all_k")[1]
        lost = last - acked[value] if value in acked and last is not None else None
        return fresh, value, lost

    def report(self, report, note, kills):
        """`kills`: (value restored, seconds of acknowledged writes lost or None) after each round."""
        for what, n in sorted(self.counts.items()):
            note(what, f"{n:,}")
        for name, text in self.row_texts.items():
            note(f"  {name}, last slice", text)
        note("recording's write-ahead log, largest", f"{self.wal_peak / MiB:.2f} MiB")
        report("--all parts: wrong answers", f"{self.faults:,}", "0", self.faults == 0)
        for s in self.samples:
            print(f"  !! {s}")
        self.report_recording(report)
        checks = " ".join(f"{e}/{n}" for e, n in self.broker_checks) or "none"
        report("broker's retained state = store after restarts", checks, "all equal",
               bool(self.broker_checks) and all(e == n for e, n in self.broker_checks))
        text = ", ".join("lost" if lost is None else f"{lost:.2f} s" for _, lost in kills) or "no kill"
        worst = max((float("inf") if lost is None else lost for _, lost in kills), default=float("inf"))
        report("writes lost at each kill -9 (restored all_k)", text, "<= 1 s", worst <= 1.0)
        for value, lost in kills:
            if lost is None:
                print(f"  !! restored all_k = {value!r}, not a value acknowledged before the kill")

    def report_recording(self, report):
        # Pruning runs every 30 s: between two, the file grows past the limit by what was written meanwhile.
        sizes = self.record_sizes
        peak = max(sizes, default=0)
        highest, freed = 0, False
        for size in sizes:
            highest = max(highest, size)
            freed = freed or (highest > self.record_max and size < 0.9 * highest)
        report("recording past --record-max, then shrunk", f"peak {peak / MiB:.2f}, end "
               f"{sizes[-1] / MiB if sizes else 0:.2f} MiB", f"{self.record_max / MiB:.0f} MiB; freed", freed)

    def close(self):
        self.broker.stop()
