#!/usr/bin/env python3
"""MQTT-side figures of a Release `pontivo --headless --mqtt`, each against its target.
A mosquitto broker started here on 127.0.0.1 and mosquitto_sub (its own time stamps)
stand for the subscribers; a pty plays the board (bench/serial's helpers). Every loop
is bounded in count and time.

  latency  frame written on the pty -> the subscriber prints the message, p50/p99 over 1,000
  rate     10,000 frames a second for 5 s over 1,000 names: the subscriber's lag behind the
           writer each second (no growing backlog) and the final state complete
  http     /set requests one connection each, bridge off vs on: server CPU per request and
           median latency, each within 1.1x

usage: mqtt_bench.py [latency] [rate] [http] [--binary PATH] [--no-build] [--port N]
exit status: 0 all targets met, 1 otherwise.
"""
import argparse
import os
import resource
import select
import shutil
import subprocess
import sys
import tempfile
import time
from statistics import median

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "serial"))
from serial_bench import (CLIENT_CPU, REPO, Board, Server, build_release, get, note,  # noqa: E402
                          percentile, port_open, report, results, stop_process)

PREFIX = "bench"


class Broker:
    """mosquitto on the client CPU, on a port of its own."""

    def __init__(self, port):
        if port_open(port):
            sys.exit(f"broker port {port} is already in use")
        self.port = port
        self.dir = tempfile.mkdtemp(prefix="pontivo-bench-mqtt-")
        conf = os.path.join(self.dir, "broker.conf")
        with open(conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nuser root\n")
        program = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.proc = subprocess.Popen(["taskset", "-c", str(CLIENT_CPU), program, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not port_open(port) and time.monotonic() < deadline:
            time.sleep(0.05)

    def stop(self):
        stop_process(self.proc, 15, 5)
        shutil.rmtree(self.dir, ignore_errors=True)


class Subscriber:
    """mosquitto_sub printing 'unix-time topic payload' per message; lines are read without blocking."""

    def __init__(self, broker, topic):
        self.proc = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-t", topic, "-F", "%U %t %p"],
                                     stdout=subprocess.PIPE)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.pending = b""

    def lines(self, timeout):
        """The complete lines that arrive within `timeout` (as soon as there are any)."""
        if not select.select([self.proc.stdout], [], [], timeout)[0]:
            return []
        self.pending += self.proc.stdout.read() or b""
        *whole, self.pending = self.pending.split(b"\n")
        return [line.decode(errors="replace").split(" ", 2) for line in whole]

    def wait_for(self, topic, payload, timeout=5.0):
        """The subscriber's time stamp of `payload` on `topic`, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for stamp, seen_topic, seen in self.lines(0.05):
                if seen_topic == topic and seen == payload:
                    return float(stamp)
        return None

    def stop(self):
        stop_process(self.proc, 15, 5)


def start(binary, port, broker, board):
    extra = ["--mqtt", f"mqtt://127.0.0.1:{broker.port}", "--mqtt-prefix", PREFIX] if broker else []
    server = Server(binary, port, board.slave_path, extra=extra)
    if broker:
        sub = Subscriber(broker, f"{PREFIX}/$state")
        ok = sub.wait_for(f"{PREFIX}/$state", "online", 10)
        sub.stop()
        if ok is None:
            server.stop()
            sys.exit("pontivo did not reach the broker")
    return server


def run_latency(binary, port, broker, frames=1000, warm=50):
    board = Board()
    server = start(binary, port, broker, board)
    sub = Subscriber(broker, f"{PREFIX}/lat")
    times, unseen = [], 0
    for n in range(warm + frames):
        sent = time.time()  # mosquitto_sub stamps with the same wall clock
        board.write(f"{{lat={n}}}".encode())
        stamp = sub.wait_for(f"{PREFIX}/lat", str(n), 2.0)
        board.drain()
        if n >= warm:
            if stamp is None:
                unseen += 1
            else:
                times.append((stamp - sent) * 1000)
    sub.stop()
    server.stop()
    board.close()
    times.sort()
    note("latency: frames unseen", str(unseen))
    report("latency p50 (frame -> subscriber)", f"{percentile(times, 50):.2f} ms", "< 1 ms", percentile(times, 50) < 1)
    report(f"latency p99 (max {times[-1]:.2f} ms)", f"{percentile(times, 99):.2f} ms", "< 5 ms",
           percentile(times, 99) < 5 and unseen == 0)


def run_rate(binary, port, broker, per_second=10_000, seconds=5, names=1000):
    board = Board()
    server = start(binary, port, broker, board)
    sub = Subscriber(broker, f"{PREFIX}/+")
    written_at = {}  # frame number -> when it was written
    last_seen, lags, received = -1, [], 0
    batch = per_second // 100
    t0 = time.monotonic()
    for tick in range(seconds * 100):  # 100 batches a second, each on its own 10 ms slot
        first = tick * batch
        board.write(b"".join(f"{{r{n % names}={n}}}".encode() for n in range(first, first + batch)))
        now = time.monotonic()
        written_at.update((n, now) for n in range(first, first + batch))
        board.drain()
        for _, topic, payload in sub.lines(0):
            if topic.startswith(f"{PREFIX}/r"):
                received += 1
                last_seen = max(last_seen, int(payload))
        if tick % 100 == 99:  # once a second: how far behind the newest frame the subscriber is
            lags.append((now - written_at[last_seen]) * 1000 if last_seen >= 0 else float("inf"))
        time.sleep(max(0.0, t0 + (tick + 1) / 100 - time.monotonic()))
    total = seconds * per_second
    deadline = time.monotonic() + 5
    while last_seen < total - 1 and time.monotonic() < deadline:
        for _, topic, payload in sub.lines(0.05):
            if topic.startswith(f"{PREFIX}/r"):
                received += 1
                last_seen = max(last_seen, int(payload))
    drained_ms = (time.monotonic() - written_at[total - 1]) * 1000
    rss = server.rss_bytes() / (1024 * 1024)
    sub.stop()
    server.stop()
    board.close()
    note("rate: frames written / messages received", f"{total} / {received}")
    note("rate: lag each second (ms)", " ".join(f"{lag:.0f}" for lag in lags))
    report("rate: last frame reached the subscriber after", f"{drained_ms:.0f} ms", "< 500 ms",
           last_seen == total - 1 and drained_ms < 500)
    report(f"rate: lag not growing (RSS {rss:.1f} MiB)", f"{max(lags[1:]):.0f} ms", "< 100 ms each s",
           max(lags[1:]) < 100)


def http_round(binary, port, broker, requests):
    board = Board()
    server = start(binary, port, broker, board)
    sub = Subscriber(broker, f"{PREFIX}/#") if broker else None
    pid = server.proc.pid
    cpu0 = cpu_ns(pid)
    times = []
    for i in range(requests):
        start_at = time.perf_counter()
        get(port, f"/set/h{i % 100}/{i}")
        times.append((time.perf_counter() - start_at) * 1000)
        board.drain()
    cpu = (cpu_ns(pid) - cpu0) / requests / 1000
    if sub:
        sub.stop()
    server.stop()
    board.close()
    return cpu, median(times)


def cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])  # time on a CPU, in nanoseconds


def run_http(binary, port, broker, requests=5000, rounds=3):
    off, on = [], []
    for _ in range(rounds):  # interleaved, so a busy spell on the machine falls on both sides
        off.append(http_round(binary, port, None, requests))
        on.append(http_round(binary, port, broker, requests))
    cpu_off, cpu_on = median(c for c, _ in off), median(c for c, _ in on)
    lat_off, lat_on = median(t for _, t in off), median(t for _, t in on)
    note("http: CPU per /set, off / on", f"{cpu_off:.1f} / {cpu_on:.1f} us")
    note("http: median latency, off / on", f"{lat_off:.3f} / {lat_on:.3f} ms")
    report("http: CPU per request, on / off", f"{cpu_on / cpu_off:.2f}x", "<= 1.1x", cpu_on <= 1.1 * cpu_off)
    report("http: median latency, on / off", f"{lat_on / lat_off:.2f}x", "<= 1.1x", lat_on <= 1.1 * lat_off)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("runs", nargs="*", metavar="RUN", help="latency, rate, http")
    ap.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    ap.add_argument("--no-build", action="store_true", help="use --binary as it is")
    ap.add_argument("--port", type=int, default=18096, help="HTTP port of the server; the broker takes the next")
    a = ap.parse_args()
    runs = a.runs or ["latency", "rate", "http"]
    if set(runs) - {"latency", "rate", "http"}:
        ap.error("runs are latency, rate, http")
    if not a.no_build:
        build_release(os.path.dirname(a.binary), ["pontivo"])
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    os.sched_setaffinity(0, {CLIENT_CPU})
    broker = Broker(a.port + 1)
    try:
        for run in runs:
            {"latency": run_latency, "rate": run_rate, "http": run_http}[run](a.binary, a.port, broker)
    finally:
        broker.stop()
    missed = [figure for figure, ok in results if not ok]
    print("ALL PASS" if not missed else f"MISS: {', '.join(missed)}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
