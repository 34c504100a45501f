#!/usr/bin/env python3
"""The recording's cost and guarantees on a Release `pontivo --headless`, each against its target.
A pty made here plays the board (bench/serial's Board and Server); everything stays on 127.0.0.1.

  load     1,000 frames/s to two servers at once, recording off and on, --seconds (default 240) in --rounds
           (default 8): server CPU (all its threads, the recording's writer among them), frame -> /get p50 (one frame
           in a hundred is timed), frames lost in the store and in the recording, the database's size per million writes
  kill     kill -9 during 1,000 frames/s, at five phases of the writer's second: every frame older than 1 s
           is recorded, and a start with --restore has each name's last recorded value
  history  the writer alone (pontivo-history-bench: microseconds per write in batches of 1,000, size per million
           writes), History() of
           10,000 points out of a 10-million-row recording, then GET /api/history/n3?limit=10000 on a server
           recording that file (each answer parsed and its 10,000 points counted)
  variables  GET /api/variables of a store filled with 100,000 variables by /put (each answer parsed and
           checked)

usage: record_bench.py [load] [kill] [history] [variables] [--seconds S] [--rounds R] [--build-dir DIR] [--no-build] [--port N]
exit status: 0 all targets met, 1 otherwise.
"""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
from statistics import median

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "bench", "serial"))
import serial_bench as sb  # noqa: E402  (Board, Server, get, report)
sys.path.insert(0, os.path.join(REPO, "bench", "http"))
import memory_and_scale as ms  # noqa: E402  (load, timed: connection per request)


def recorded_writes(db):
    """Every recorded value as (name, value) in order, and each present name's last value: read with plain SQL."""
    con = sqlite3.connect(db)
    writes = con.execute("SELECT n.name, c.value FROM changes c JOIN names n ON n.id = c.name_id "
                         "WHERE c.value IS NOT NULL ORDER BY c.id").fetchall()
    last = dict(con.execute("SELECT n.name, c.value FROM names n JOIN changes c ON c.id = n.last_id WHERE n.present = 1"))
    con.close()
    return writes, last


def process_tree(pid):
    """The process and its descendants."""
    pids = [pid]
    for t in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{t}/children") as f:
            for child in f.read().split():
                pids += process_tree(int(child))
    return pids


def cpu_seconds(pid, tid=None):
    """CPU seconds the process's threads and its children's (or one thread) have run, to the nanosecond
    (schedstat; the clock ticks of /proc/PID/stat are too coarse for a process this idle)."""
    tasks = [(pid, tid)] if tid else [(p, t) for p in process_tree(pid) for t in os.listdir(f"/proc/{p}/task")]
    total = 0
    for p, t in tasks:
        with open(f"/proc/{p}/task/{t}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def turned(items, k):
    """The items from the k-th on, then those before it."""
    k %= len(items)
    return items[k:] + items[:k]


def paced_frames(targets, seconds, name_count, on_frame=None):
    """1,000 frames a second, `{nK=i}`, to each (board, port) of `targets`; one in a hundred is followed by
    {lat=i} and timed to /get. Stops early when on_frame(i) says so. Returns (frames sent, latencies per
    target, last value per name)."""
    latencies, last = [[] for _ in targets], {}
    start = time.perf_counter()
    i = 0
    while time.perf_counter() - start < seconds:
        due = start + i / 1000
        while time.perf_counter() < due:
            pass
        name = f"n{i % name_count}"
        # Neither server always gets a frame sooner: the order turns with every frame.
        for board, _ in turned(targets, i):
            board.write(f"{{{name}={i}}}".encode())
        last[name] = i
        if on_frame and on_frame(i):
            return i + 1, latencies, last
        if i % 100 == 0:
            # The server timed first is polled while its frame is still on the way (more requests, more CPU,
            # about 0.1 points): which one that is turns with every timed frame.
            for (board, port), timed in turned(list(zip(targets, latencies)), i // 100):
                t0 = time.perf_counter()
                board.write(f"{{lat={i}}}".encode())
                if sb.wait_value(port, "lat", str(i).encode(), 1.0) is not None:
                    timed.append(time.perf_counter() - t0)
        for board, _ in targets:
            board.drain()
        i += 1
    return i, latencies, last


def load_once(binary, port, seconds, modes):
    """Two servers at once, recording off and on, each under 1,000 frames/s (the same frames; `modes` is the
    order they start in): their CPU seconds (all threads and children, the loop), the time taken,
    the timed latencies, and what was lost in the store and the recording. Side by side, whatever else the
    machine does falls on both."""
    folder = tempfile.mkdtemp(prefix="pontivo-bench-record-")
    db = os.path.join(folder, "r.db")
    boards = {mode: sb.Board() for mode in modes}
    ports = {mode: port + n for n, mode in enumerate(modes)}
    srvs = {}
    try:
        for mode in modes:
            srvs[mode] = sb.Server(binary, ports[mode], boards[mode].name,
                                   extra=("--record", db) if mode == "on" else ())
        for mode in modes:
            boards[mode].wait_peer(5)
        # The loop runs on the process's first thread; with recording on, the writer on a thread of its own.
        pids = {mode: srvs[mode].proc.pid for mode in modes}
        cpu0 = {m: (cpu_seconds(pids[m]), cpu_seconds(pids[m], pids[m])) for m in modes}
        t0 = time.monotonic()
        sent, latencies, last = paced_frames([(boards[m], ports[m]) for m in modes], seconds, 100)
        took = time.monotonic() - t0
        runs = {m: {"took": took, "cpu": cpu_seconds(pids[m]) - cpu0[m][0], "loop": cpu_seconds(pids[m], pids[m]) - cpu0[m][1],
                    "latencies": timed, "sent": sent} for m, timed in zip(modes, latencies)}
        time.sleep(0.6)
        for m in modes:
            runs[m]["lost"] = sum(sb.get(ports[m], f"/get/{n}") != str(v).encode() for n, v in last.items())
    finally:
        for mode in srvs:
            srvs[mode].stop()
        for board in boards.values():
            board.close()
    writes = recorded_writes(db)[0]
    runs["on"]["missing"] = sent - sum(name != "lat" for name, _ in writes)
    runs["on"]["per_million"] = os.path.getsize(db) / max(len(writes), 1) * 1e6 / 2**20
    return runs


def run_load(binary, port, seconds, rounds):
    print(f"load: 1,000 frames/s to two servers at once, recording off and on, {rounds} rounds of {seconds // rounds} s "
          "(each frame, and each timed frame, goes first to each in turn; which starts first alternates by round)")
    runs = {"off": [], "on": []}
    for r in range(rounds):
        for mode, run in load_once(binary, port, seconds // rounds, ("off", "on") if r % 2 == 0 else ("on", "off")).items():
            runs[mode].append(run)
    figures = {}
    for mode, done in runs.items():
        took = sum(run["took"] for run in done)
        cpu, loop = sum(run["cpu"] for run in done) / took, sum(run["loop"] for run in done) / took
        p50 = median([t for run in done for t in run["latencies"]]) * 1e3
        figures[mode] = (cpu, p50)
        rounds_cpu = " ".join(f"{run['cpu'] / run['took'] * 100:.2f}" for run in done)
        rounds_loop = " ".join(f"{run['loop'] / run['took'] * 100:.2f}" for run in done)
        sb.note(f"recording {mode}: the loop's CPU (rounds: {rounds_loop})", f"{loop * 100:.2f}%")
        sb.note(f"recording {mode}: server CPU (rounds: {rounds_cpu}), p50", f"{cpu * 100:.2f}% {p50:.3f} ms")
        sb.note(f"recording {mode}: CPU beside the loop (the writer)", f"{(cpu - loop) * 100:.2f}% {(cpu - loop) / 1000 * 1e6:.2f} us/frame")
        lost = sum(run["lost"] for run in done)
        sb.report(f"recording {mode}: names with a lost last frame", str(lost), "0", lost == 0)
    missing = sum(run["missing"] for run in runs["on"])
    sb.report("frames missing from the recording", str(missing), "0", missing == 0)
    size = runs["on"][-1]["per_million"]
    sb.report("database size per million writes", f"{size:.1f} MiB", "<= 64 MiB", size <= 64)
    off, on = figures["off"], figures["on"]
    # Each round's off and on ran at the same time, under the same frames.
    pairs = " ".join(f"{(b['cpu'] - a['cpu']) / a['took'] * 100:+.2f}" for a, b in zip(runs["off"], runs["on"]))
    sb.report(f"server CPU, on - off (rounds: {pairs})", f"{(on[0] - off[0]) * 100:+.2f} points", "<= +0.50 points",
              on[0] - off[0] <= 0.005)
    sb.note("the same per frame, all in", f"{(on[0] - off[0]) / 1000 * 1e6:.2f} us")
    sb.note("server CPU, on / off", f"{on[0] / max(off[0], 1e-9):.2f}x")
    sb.note("frame->/get p50, on - off", f"{on[1] - off[1]:+.3f} ms")


def run_kill(binary, port, seconds=10):
    """Kills at five phases of the writer's second, 0.2 s apart: a kill at one moment only would always meet
    the commit at about the same point."""
    worst = 0
    for k in range(5):
        worst = max(worst, kill_once(binary, port, seconds + k * 0.2))
    sb.report("frames lost before the kill, worst of 5", f"{worst:.0f} ms", "<= 1000 ms", worst <= 1000)


def kill_once(binary, port, seconds):
    print(f"kill: kill -9 after {seconds:.1f} s of 1,000 frames/s, then a start with --restore")
    folder = tempfile.mkdtemp(prefix="pontivo-bench-record-")
    db = os.path.join(folder, "r.db")
    board = sb.Board()
    srv = sb.Server(binary, port, board.name, extra=("--record", db))
    sent_at = {}
    board.wait_peer(5)
    kill_at = [None]
    start = time.monotonic()

    def maybe_kill(i):
        sent_at[i] = time.monotonic()
        if sent_at[i] - start >= seconds:
            srv.proc.kill()
            kill_at[0] = time.monotonic()
        return kill_at[0] is not None

    paced_frames([(board, port)], seconds + 1, 200, maybe_kill)
    srv.proc.wait()
    srv.stop()
    board.close()
    writes, expected = recorded_writes(db)
    recorded = max((int(value) for name, value in writes if name != "lat"), default=0)
    lost_ms = (kill_at[0] - sent_at[recorded]) * 1e3
    sb.note("frames lost before the kill", f"{lost_ms:.0f} ms")
    srv = sb.Server(binary, port, "16", extra=("--record", db, "--restore"))
    try:
        wrong = sum(sb.get(port, f"/get/{n}") != v.encode() for n, v in expected.items())
    finally:
        srv.stop()
    sb.report("restored names without their last recorded value", f"{wrong} of {len(expected)}", "0", wrong == 0)
    return lost_ms


def run_history(build_dir, port, repeats=10):
    print("history: 10,000 points out of 10,000,000 recorded writes")
    db = os.path.join(tempfile.gettempdir(), "pontivo-bench-record-10m.db")
    out = subprocess.run([os.path.join(build_dir, "pontivo-history-bench"), db], capture_output=True, text=True)
    for line in out.stdout.splitlines():
        if line.startswith("write "):
            sb.note(line.split("  ")[0], line.split("  ")[-1].strip())
            continue
        if line.startswith("size "):
            size = float(line.split()[-2])
            sb.report("the writer alone: " + line.split("  ")[0], f"{size:.1f} MiB", "<= 64 MiB", size <= 64)
            continue
        ms_taken = float(line.split("median ")[1].split(" ms")[0])
        sb.report(line.split("  median")[0].strip(), f"{ms_taken:.2f} ms", "< 50 ms", ms_taken < 50)
    # The file's writes are from 2023: kept whole, not pruned under the requests.
    srv = sb.Server(os.path.join(build_dir, "pontivo"), port, "16", extra=("--record", db, "--record-keep", "36500d"))
    try:
        def points(body):
            answer = json.loads(body)
            return answer["name"] == "n3" and len(answer["points"]) == 10_000

        took, count = ms.timed(port, "/api/history/n3?limit=10000", repeats, points)
        sb.report(f"GET /api/history/n3?limit=10000, median of {count}", f"{took * 1e3:.1f} ms", "< 50 ms",
                  took < 0.050)
    finally:
        srv.stop()


def run_variables(binary, port, n=100_000, repeats=5):
    print(f"variables: GET /api/variables of a store of {n:,} variables")
    srv = sb.Server(binary, port, "16")
    try:
        done, failed, sec = ms.load(port, n, lambda i: f"/put/v{i:05d}/{i:05d}", lambda i: f"{i:05d}".encode(),
                                    limit_s=180)
        sb.note(f"fill with /put ({done:,} ok, {failed} failed)", f"{sec:.1f} s")

        def listing(body):
            variables = json.loads(body)["variables"]
            return len(variables) == n and all(v["name"] == f"v{v['value']}" for v in variables)

        took, count = ms.timed(port, "/api/variables", repeats, listing)
        sb.report(f"GET /api/variables, {n:,} checked, median of {count}", f"{took * 1e3:.1f} ms", "< 60 ms",
                  took < 0.060 and done == n)
    finally:
        srv.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("parts", nargs="*", help="load, kill, history, variables (default: all)")
    parser.add_argument("--seconds", type=int, default=240, help="load: over all rounds")
    parser.add_argument("--rounds", type=int, default=8, help="load: rounds of two fresh servers")
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build-bench"))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--port", type=int, default=18095)
    args = parser.parse_args()
    if not args.no_build:
        subprocess.run(["cmake", "-S", REPO, "-B", args.build_dir, "-DCMAKE_BUILD_TYPE=Release"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", args.build_dir, "-j2", "--target", "pontivo", "pontivo-history-bench"],
                       check=True, stdout=subprocess.DEVNULL)
    binary = os.path.join(args.build_dir, "pontivo")
    parts = args.parts or ["load", "kill", "history", "variables"]
    if set(parts) - {"load", "kill", "history", "variables"}:
        parser.error("parts are load, kill, history and variables")
    os.sched_setaffinity(0, {sb.CLIENT_CPU})
    if "load" in parts:
        run_load(binary, args.port, args.seconds, args.rounds)
    if "kill" in parts:
        run_kill(binary, args.port)
    if "history" in parts:
        run_history(args.build_dir, args.port)
    if "variables" in parts:
        run_variables(binary, args.port)
    return 0 if all(ok for _, ok in sb.results) else 1


if __name__ == "__main__":
    sys.exit(main())
