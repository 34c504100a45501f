#!/usr/bin/env python3
"""Soak of the whole bridge: one `pontivo --headless` with a simulated board, for --minutes,
under all of these at once, every answer checked against a model of the store:

  mixed HTTP load   get, set, getlike, files and the other commands, from several processes
  board frames      1 kHz from pontivo-board-sim, unplugged and plugged back every 20 s
  slow clients      500 connections sending their request a few bytes at a time over seconds
  malformed stream  garbage, truncated and huge requests, NUL and 8-bit bytes, wrong methods
  latency probe     GET /get/probe every 10 ms, one connection each

Targets (exit status 0 only if all are met): no wrong answer; no frame lost while the board
was connected; RSS growth after the first minute < 2 MiB; open descriptors at the end as
at the start; probe p99 < 5 ms (with --sanitized, RSS growth and p99 are notes); the server still
running at the end and exiting 0 on SIGTERM.

usage: soak.py [--minutes M] [--binary PATH] [--sim PATH] [--no-build] [--port N] [--sanitized]
               [--seed N] [--skip PART] [--all]
"""
import argparse
import multiprocessing
import os
import random
import resource
import signal
import sys
import tempfile
import threading
import time
from array import array
from queue import Empty
from statistics import median

sys.dont_write_bytecode = True  # nothing left behind in the checkout
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "serial"))
from serial_bench import (CLIENT_CPU, MiB, REPO, Server, build_release, note, percentile,  # noqa: E402
                          report, results)

import clients  # noqa: E402
from answers import exchange, file_targets, problem_with, request_for  # noqa: E402
from board import Board, BoardLines, FrameChecker  # noqa: E402
from everything import AllOn  # noqa: E402
from rounds import MIN_WARM_S, Round, merged, round_lengths  # noqa: E402

LOAD_CLIENTS = 4
LOAD_RATE = 100  # requests per second per load client
SLOW_CLIENTS = 500
MALFORMED_THREADS = 3
ASAN_DEFAULTS = "detect_leaks=1:quarantine_size_mb=16:malloc_context_size=10"


def is_sanitized(binary):
    with open(binary, "rb") as f:
        return b"__asan_init" in f.read()


class CpuShare:
    """CPU time from now to shares(), in % of one CPU: the server's, the soak's own (this
    process and the children it has waited for: workers, simulators) and all other work."""

    def __init__(self, server_pid):
        self.pid = server_pid
        self.start = self.sample()

    def sample(self):
        hz = os.sysconf("SC_CLK_TCK")
        with open("/proc/stat") as f:
            ticks = [int(v) for v in f.readline().split()[1:9]]
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        own = sum(getattr(resource.getrusage(who), k) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)
                  for k in ("ru_utime", "ru_stime"))
        busy = sum(ticks) - ticks[3] - ticks[4]  # all but idle and iowait
        return time.monotonic(), busy / hz, (int(fields[11]) + int(fields[12])) / hz, own

    def shares(self):
        try:
            end = self.sample()
        except OSError:
            return None
        wall = end[0] - self.start[0]
        busy, server, own = ((e - s) / wall * 100 for s, e in zip(self.start[1:], end[1:]))
        return server, own, busy - server - own


class Soak:
    def __init__(self, a):
        self.a = a
        self.seed = a.seed if a.seed is not None else random.randrange(1 << 20)
        self.dir = tempfile.mkdtemp(prefix="pontivo-soak-")
        self.link = os.path.join(self.dir, "board")
        self.lines = BoardLines(clients.SUFFIXES)
        self.board = Board(a.sim, self.link, self.lines)
        env = dict(os.environ)
        if a.sanitized:
            env.setdefault("ASAN_OPTIONS", ASAN_DEFAULTS)
            env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
            self.board.quiesce_s = 5.0
        self.env_note = env.get("ASAN_OPTIONS") if a.sanitized else None
        self.all = AllOn(a.minutes, self.dir, a.port, a.sanitized) if a.all else None
        # Every client here shares one address: the slow ones alone hold 500 connections.
        extra = ("--client-connections", "1000", *(self.all.server_args() if self.all else ()))
        self.start_server = lambda: Server(a.binary, a.port, self.link, env=env, extra=extra)
        try:
            self.srv = self.start_server()
        except SystemExit:
            self.board.close()
            if self.all:
                self.all.close()
            raise
        serving = [l for l in self.srv.stderr().splitlines() if ": serving http://" in l][-1]
        self.caption = serving.split(": serving http://")[0].encode()
        self.files_folder = os.path.join(os.path.dirname(os.path.realpath(a.binary)), "files")
        self.rounds = []
        self.died_at = None

    def run(self):
        a = self.a
        print(f"soak: {a.minutes:g} min against {a.binary} (seed {self.seed}); board: {a.sim} on {self.link}")
        parts = {"load": f"{LOAD_CLIENTS} clients x {LOAD_RATE} req/s mixed",
                 "slow": f"{SLOW_CLIENTS} slow clients",
                 "malformed": f"{MALFORMED_THREADS} malformed streams + 1 idle-limit stream",
                 "probe": "probe every 10 ms",
                 "frames": f"frames at {Board.RATE} Hz, unplug every {Board.UNPLUG_EVERY_S} s"}
        print("  load: " + ", ".join(text for part, text in parts.items() if part not in a.skip))
        if self.all:
            print("  --all: " + " ".join(self.all.server_args()))
        if self.env_note:
            print(f"  ASAN_OPTIONS={self.env_note}")
        if self.board.wait_connected(10) is None:
            report("board connected at start", "no", "within 10 s", False)
            return
        time.sleep(0.5)
        self.idle_probe = self.probe_alone(3.0)
        self.t0 = time.monotonic()
        self.checker = FrameChecker(self.board, a.port, self.caption, self.t0)
        self.targets = file_targets(self.files_folder)
        for i, seconds in enumerate(round_lengths(a.minutes * 60, self.all is not None)):
            if i and not self.next_round():
                break
            self.rounds.append(self.load_round(i, seconds))
            if self.died_at is not None:
                break
            if self.all:
                self.srv, value, lost = self.all.kill_and_restore(self.start_server, self.srv)
                self.rounds[-1].kill = (value, lost)
                if self.board.reattach() is None:
                    print("  !! the board's port was not open again within 10 s of the restart", flush=True)
        self.report()

    def next_round(self):
        """After a restart with --restore: the load's own names cleared (the clients begin with an empty
        model), the board and the broker connected again."""
        self.all.wait_ready()
        for pattern in [f"c{i}_*" for i in range(LOAD_CLIENTS)] + ["s*", "f*"]:
            request = request_for(f"/unsetlike/{pattern}")
            if problem_with(exchange(self.a.port, request).raw, self.caption, b"") is not None:
                print(f"  !! /unsetlike/{pattern} failed after the restart", flush=True)
                return False
        time.sleep(0.5)
        return self.srv.proc.poll() is None

    def load_round(self, index, seconds):
        a = self.a
        fds_start, rss_start = self.srv.fd_count(), self.srv.rss_bytes()
        t0 = time.monotonic()
        t_end, frames_before = t0 + seconds, self.board.n
        if self.all:
            print(f"  round {index + 1}: {seconds:.0f} s from {t0 - self.t0:.0f} s", flush=True)
        cfg = dict(t0=self.t0, port=a.port, caption=self.caption, files_folder=self.files_folder,
                   seed=self.seed + 7919 * index, t_end=t_end, load_rate=LOAD_RATE, file_targets=self.targets,
                   seq_base=10_000_000 * index)
        ctx = multiprocessing.get_context("spawn")
        stop, queue = ctx.Event(), ctx.Queue()
        workers = {f"load{i}": (clients.load_worker, (i, cfg)) for i in range(LOAD_CLIENTS) if "load" not in a.skip}
        workers.update({name: (target, (cfg, *extra)) for name, target, extra in (
            ("slow", clients.slow_worker, (SLOW_CLIENTS,)),
            ("malformed", clients.malformed_worker, (MALFORMED_THREADS,)),
            ("probe", clients.probe_worker, ())) if name not in a.skip})
        r = Round(index, seconds, list(workers))
        r.fds_start, r.rss_start = fds_start, rss_start
        procs = [ctx.Process(target=target, args=(*args, stop, queue), daemon=True)
                 for target, args in workers.values()]
        for p in procs:
            p.start()
        board_stop, checked = threading.Event(), threading.Event()
        feeder = threading.Thread(target=self.board.feed, args=(t_end, a.port, self.caption, board_stop),
                                  daemon=True)
        checking = threading.Thread(target=self.checker.run, args=(checked,), daemon=True)
        if "frames" not in a.skip:
            feeder.start()
            checking.start()
        if self.all:
            self.all.start(t_end)
        cpu = CpuShare(self.srv.proc.pid)
        try:
            r.rss = self.watch(t0, t_end)
        finally:
            stop.set()
            if self.all:
                self.all.stop()
            board_stop.set()
            if feeder.is_alive():
                feeder.join(30)
            checked.set()  # the last frame is in the store: check the rest
            if checking.is_alive():
                checking.join(120)
        r.outcomes = self.collect(procs, queue)
        r.cpu = cpu.shares()
        r.connected = self.board.sim.connected()
        r.frames = self.board.n - frames_before
        r.fds_end = self.drain(r.fds_start)
        r.rss_end = self.srv.rss_bytes() if self.srv.proc.poll() is None else None
        return r

    def probe_alone(self, seconds):
        """The probe against the idle server, for comparison: what the machine itself adds."""
        request, times = request_for("/get/probe"), []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            times.append(exchange(self.a.port, request).seconds)
            time.sleep(0.01)
        return sorted(times)

    def watch(self, t0, t_end):
        """Samples the server's RSS once a second until `t_end`, as (seconds since t0, bytes); stops early
        if it dies."""
        samples, next_progress = [], t0 + 60
        while time.monotonic() < t_end:
            time.sleep(min(1.0, max(0.0, t_end - time.monotonic())))
            now = time.monotonic()
            if self.srv.proc.poll() is not None:
                self.died_at = now - self.t0
                print(f"  !! the server exited after {self.died_at:.0f} s", flush=True)
                break
            samples.append((now - t0, self.srv.rss_bytes()))
            if now >= next_progress:
                next_progress += 60
                print(f"  [{(now - self.t0) / 60:4.1f} min] RSS {samples[-1][1] / MiB:.2f} MiB, "
                      f"{self.srv.fd_count()} descriptors, {self.board.n:,} frames, "
                      f"{self.board.unplugs} unplugs", flush=True)
        return samples

    def collect(self, procs, queue):
        outcomes = []
        deadline = time.monotonic() + clients.GRACE_S + 30
        while len(outcomes) < len(procs) and time.monotonic() < deadline:
            try:
                outcomes.append(queue.get(timeout=1))
            except Empty:
                pass
        for p in procs:
            p.join(max(0.1, deadline - time.monotonic()))
            if p.is_alive():
                p.terminate()
        return outcomes

    def drain(self, fds_start):
        """Waits (at most 10 s) for the server's descriptors to come back to the start's count."""
        deadline = time.monotonic() + 10
        fds = None
        while time.monotonic() < deadline and self.srv.proc.poll() is None:
            fds = self.srv.fd_count()
            if fds == fds_start:
                break
            time.sleep(0.1)
        return fds

    def report(self):
        a, b, checker, rounds = self.a, self.board, self.checker, self.rounds
        by = merged(rounds)
        outcomes = list(by.values())
        self.report_counts(by)
        times = by["probe"]["latencies"] if "probe" in by else array("d")
        print("targets:")
        faults = sum(o["faults"] for o in outcomes) + checker.log.faults + self.lines.bad
        missing = sorted({w for r in rounds for w in r.missing()})
        report("wrong answers", f"{faults:,}", "0", faults == 0 and not missing)
        samples = [s for o in outcomes for s in o["samples"]] + checker.log.samples + self.lines.samples
        for s in samples[:12]:
            print(f"  !! {s}")
        if missing:
            print(f"  !! no result from {', '.join(missing)}")
        lost_ok = (checker.lost == 0 and b.quiesce_timeouts == 0 and b.closed_by_server == 0
                   and checker.checked == b.n)
        if "frames" in a.skip:
            lost_ok = checker.checked == b.n == 0
        report("frames lost while connected", f"{checker.lost:,}", "0", lost_ok)
        if b.quiesce_timeouts or b.closed_by_server:
            print(f"  !! {b.quiesce_timeouts} unplugs whose last frame was not in the store in time, "
                  f"{b.closed_by_server} times the server closed the port by itself")
        self.report_rss()
        fds = ", ".join(f"{r.fds_start} -> {r.fds_end}" for r in rounds)
        report("open descriptors start -> end (drained)", fds, "equal",
               all(r.fds_start == r.fds_end and r.connected for r in rounds) and bool(rounds))
        if not all(r.connected for r in rounds):
            print("  !! the board was not connected at the end of a round")
        if "probe" not in a.skip:
            self.report_probe(times, by.get("probe"))
        if self.all:
            self.all.report(report, note, [r.kill for r in rounds if r.kill])
        alive = self.srv.proc.poll() is None
        status = self.srv.stop(signal.SIGTERM, timeout=60 if a.sanitized else 10)
        report("running at the end; exit status on SIGTERM", f"{'yes' if alive else 'NO'}; {status}", "yes; 0",
               alive and status == 0)
        print("server stderr, last lines:")
        for line in self.srv.stderr().splitlines()[-8:]:
            print(f"  | {line}")
        b.close()

    def report_counts(self, by):
        b = self.board
        print(f"counts ({time.monotonic() - self.t0:.0f} s from the start of the load):")
        kinds = {}
        for o in (o for w, o in sorted(by.items()) if w.startswith("load")):
            for k, n in o["counts"].items():
                kinds[k] = kinds.get(k, 0) + n
        ordered = sorted(kinds.items(), key=lambda kv: -kv[1])
        note("mixed load requests", f"{sum(kinds.values()):,}")
        note("  " + ", ".join(f"{k} {n:,}" for k, n in ordered[:6]), "")
        note("  " + ", ".join(f"{k} {n:,}" for k, n in ordered[6:]), "")
        slow = by.get("slow", {"counts": {}, "notes": {}})
        note("slow requests completed and checked", f"{slow['counts'].get('completed', 0):,}")
        note("  slow connections open at most", f"{slow.get('max_open', 0)}")
        bad = by.get("malformed", {"counts": {}, "notes": {}})
        sent = sum(n for k, n in bad["counts"].items() if k != "setup" and "guard" not in k and "read back" not in k)
        note("malformed requests sent", f"{sent:,}")
        outcomes_text = ", ".join(f"{k[8:]} {n:,}" for k, n in sorted(bad["notes"].items()) if k.startswith("outcome"))
        if outcomes_text:
            note("  " + outcomes_text, "")
        idle = sum(n for k, n in bad["counts"].items() if k.startswith("idle"))
        note("  held past the 30 s idle limit", f"{idle}")
        note("frames written while connected / checked", f"{b.n:,} / {self.checker.checked:,}")
        note("unplug/replug cycles", f"{b.unplugs}")
        if b.unplugged_at:
            note("  pulled at (s)", " ".join(f"{t - self.t0:.1f}" for t in b.unplugged_at[:10]))
        if b.reconnect_s:
            note("  replug -> port open again (median/max)",
                 f"{median(b.reconnect_s):.2f}/{max(b.reconnect_s):.2f} s")
        failed = [status for status in b.sim_statuses if status != 0]
        if failed:
            note("  simulator runs that did not exit 0", f"{len(failed)}: {failed[:5]}")
        note("lines the board got (torn at an unplug)", f"{self.lines.received:,} ({self.lines.cut})")
        note("probe requests answered", f"{len(by['probe']['latencies']) if 'probe' in by else 0:,}")
        for r in self.rounds:
            if self.all:
                lost = "-" if not r.kill else "all_k lost" if r.kill[1] is None else f"{r.kill[1]:.2f} s"
                note(f"round {r.index + 1}, {r.seconds:.0f} s", f"{r.frames:,} frames, descriptors {r.fds_start} -> "
                     f"{r.fds_end}, writes lost at the kill -9 after it {lost}")
            if r.cpu:
                note(f"{'  ' if self.all else ''}CPU during the load, % of one CPU",
                     "server %.0f, soak %.0f, other work %.0f (of %d)" % (*r.cpu, 100 * os.cpu_count()))
        for o in by.values():
            for what, n in o["notes"].items():
                if not what.startswith("outcome"):
                    note(f"  {o['worker']}: {what}", f"{n}")

    def report_probe(self, times, probe):
        a = self.a
        if not len(times):
            report("probe p99 (connect to close)", "no answers", "< 5 ms", False)
            return
        ordered = sorted(times)
        p99 = percentile(ordered, 99) * 1e3
        note("probe p50 / max", f"{percentile(ordered, 50) * 1e3:.2f} / {ordered[-1] * 1e3:.1f} ms")
        idle = self.idle_probe
        note("  with no load (before it)", f"p50 {percentile(idle, 50) * 1e3:.2f}, p99 "
             f"{percentile(idle, 99) * 1e3:.2f}, max {idle[-1] * 1e3:.1f} ms ({len(idle)})")
        note("  slowest (ms at s)", " ".join(f"{t * 1e3:.0f}@{at:.1f}" for t, at in reversed(probe["slowest"])))
        if a.sanitized:
            # Instrumentation slows every request two to three times; the figure is Release's.
            note("probe p99 (connect to close; ASan: no target)", f"{p99:.2f} ms")
        else:
            # Everything on (--all) shares the loop with the recording, the bridge and the streams.
            limit = 20 if self.all else 5
            report("probe p99 (connect to close)", f"{p99:.2f} ms", f"< {limit} ms", p99 < limit)

    def report_rss(self):
        """Per round: RSS after the warm-up against its end; the worst round judged."""
        # --all: the recording, streams and bridge take five minutes to reach their working size.
        warm_up, limit = (300.0, 4) if self.all else (60.0, 2)
        growths = []
        for r in self.rounds:
            warm, end = r.growth(warm_up)
            name = f"round {r.index + 1}: " if self.all else ""
            note(f"{name}RSS at start / after {r.warm_s(warm_up):.0f} s / end",
                 "/".join("-" if v is None else f"{v / MiB:.2f}" for v in (r.rss_start, warm, end)) + " MiB")
            if r.rss:
                note(f"  {name}RSS highest", f"{max(v for _, v in r.rss) / MiB:.2f} MiB")
                step = max(1, len(r.rss) // 10)
                note(f"  {name}RSS over the load (MiB)", " ".join(f"{v / MiB:.1f}" for _, v in r.rss[step - 1::step]))
            growth = None if warm is None or end is None else end - warm
            if r.warm_s(warm_up) >= MIN_WARM_S or len(self.rounds) == 1:
                growths.append(growth)
            elif growth is not None:
                note(f"  {name}RSS growth (a warm-up under {MIN_WARM_S:.0f} s: not judged)", f"{growth / MiB:+.2f} MiB")
        if not growths or None in growths:
            report("RSS growth after the warm-up", "not measured", f"< {limit} MiB", False)
            return
        worst = max(growths)
        if self.a.sanitized:
            note("RSS growth after the warm-up, worst round (ASan: no target)", f"{worst / MiB:+.2f} MiB")
        else:
            report("RSS growth after the warm-up" + (", worst round" if self.all else ""), f"{worst / MiB:+.2f} MiB",
                   f"< {limit} MiB", worst < limit * MiB)

    def cleanup(self):
        if self.srv.proc.poll() is None:
            self.srv.stop(signal.SIGKILL)
        if self.board.sim.proc.poll() is None:
            self.board.close()
        if self.all:
            self.all.close()
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=float, default=30.0, help="length of the load (default 30)")
    ap.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    ap.add_argument("--sim", help="pontivo-board-sim (default: beside --binary)")
    ap.add_argument("--no-build", action="store_true", help="use --binary and --sim as they are")
    ap.add_argument("--port", type=int, default=18110, help="HTTP port of the server")
    ap.add_argument("--sanitized", action="store_true",
                    help="the binary has AddressSanitizer: RSS growth and probe p99 are printed, not judged "
                         "(implied when the binary has it)")
    ap.add_argument("--seed", type=int, help="seed of the random choices (default: random, printed)")
    ap.add_argument("--all", action="store_true",
                    help="also the recording, history, JSON API, event streams, /metrics, MQTT with broker restarts, "
                         "board restore, catalogue rows, and the load in rounds of 10 min with a kill -9 and a "
                         "restart with --restore after each (everything.py, rounds.py)")
    ap.add_argument("--skip", action="append", default=[], choices=["load", "slow", "malformed", "probe", "frames"],
                    help="leave out one part of the load, to narrow down a fault (repeatable)")
    a = ap.parse_args()
    a.binary = os.path.abspath(a.binary)
    a.sim = os.path.abspath(a.sim or os.path.join(os.path.dirname(a.binary), "pontivo-board-sim"))
    if not a.no_build:
        build_release(os.path.dirname(a.binary), ["pontivo", "pontivo-board-sim"])
    for path in (a.binary, a.sim):
        if not os.access(path, os.X_OK):
            sys.exit(f"no program at {path}")
    if not a.sanitized and is_sanitized(a.binary):
        print(f"{a.binary} has AddressSanitizer: running as with --sanitized")
        a.sanitized = True
    os.sched_setaffinity(0, {CLIENT_CPU})  # the server has the other CPU to itself
    soak = Soak(a)
    try:
        soak.run()
    finally:
        soak.cleanup()
    missed = [figure for figure, ok in results if not ok]
    print("ALL PASS" if not missed else f"MISS: {', '.join(missed)}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
