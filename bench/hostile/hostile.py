#!/usr/bin/env python3
"""Attack catalogue: one row per attack on a fresh Release `pontivo --headless`, each for
--duration seconds while a probe does /set/probe/N and /get/probe at 50/s, a board sends
numbered frames at 100 Hz, and the server's RSS is watched. Per row: peak RSS growth, probe
p99 and errors, frames lost, and whether the attack's effect happened.

Targets per row: RSS growth <= 32 MiB, probe p99 < 20 ms and 0 errors, 0 frames lost, no effect.
An attack that grows the server past 512 MiB is stopped there (the effect has shown).

usage: hostile.py [--duration S] [--only ROW,...] [--build-dir DIR] [--no-build] [--port N]
                  [--broker-port N]
exit status: 0 every row passed, 1 otherwise.
"""
import argparse
import multiprocessing
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing left behind in the checkout
from watch import Broker, Rss, board_main, probe_main  # noqa: E402  (puts bench/serial, soak, mqtt on the path)
from answers import Outcome, exchange, request_for  # noqa: E402
from attacks import ROWS, RSS_TARGET_MIB  # noqa: E402
from mqtt_bench import Subscriber  # noqa: E402
from serial_bench import REPO, Server, build_release, percentile  # noqa: E402

GUARD_MIB = 512
P99_TARGET_MS = 20
PREFIX = "hostile"
STORE_LIMIT = 8 * 1024 * 1024
MQTT_TOOLS = ("mosquitto", "mosquitto_pub", "mosquitto_sub")


class Ctx:
    """What an attack sees of its row: the server, the board, the broker and the clock."""

    def __init__(self, a, srv, rss, board, broker, notes):
        self.port, self.pid, self.srv, self.rss, self.board, self.broker = a.port, srv.proc.pid, srv, rss, board, broker
        self.duration, self.prefix, self.store_limit = a.duration, PREFIX, STORE_LIMIT
        serving = [line for line in srv.stderr().splitlines() if ": serving http://" in line][-1]
        self.caption = serving.split(": serving")[0].encode()
        self.files_folder = os.path.join(os.path.dirname(os.path.realpath(a.binary)), "files")
        self.origin_note = notes.get("origin", "")
        self.missing_note = notes.get("missing", "")
        self.lines = []
        self.t0 = time.monotonic()
        self.deadline = self.t0 + a.duration

    def running(self):
        return (time.monotonic() < self.deadline and self.rss.now_mib() < GUARD_MIB
                and self.srv.proc.poll() is None)

    def wait(self):
        while self.running():
            time.sleep(0.1)

    def get(self, path, timeout=5.0):
        """The body of a 200 answer, None for anything else."""
        out = exchange(self.port, request_for(path), timeout)
        head, _, body = out.raw.partition(b"\r\n\r\n")
        return body if out.kind == Outcome.RESPONSE and head.startswith(b"HTTP/1.1 200 ") else None

    def board_call(self, *args, reply=True):
        return call(self.board, args, reply)

    def board_lines(self):
        self.lines.extend(self.board_call("lines", len(self.lines)))
        return self.lines

    def wait_line(self, line, timeout, since=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if line in self.board_lines()[since:]:
                return True
            time.sleep(0.05)
        return False


def call(conn, args, reply=True):
    """A command to the board's process and its answer."""
    conn.send(args)
    if reply and not conn.poll(60):
        raise RuntimeError(f"the board's process did not answer {args[0]!r}")
    return conn.recv() if reply else None


def start_server(a, link, extra):
    """Started with the soft descriptor limit most services and desktops give (1024), which the
    server raises to what it wants itself; None and the reason when it does not start."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
    try:
        return Server(a.binary, a.port, link, extra=extra), None
    except SystemExit as e:
        return None, str(e).strip().splitlines()[-1]
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def server_options(a, opts, broker, help_text):
    """The options of the row's server, and tries with fallbacks: [(extra, note)]."""
    extra = ["--mqtt", f"mqtt://127.0.0.1:{a.broker_port}", "--mqtt-prefix", PREFIX] if broker else []
    if opts.get("store_max"):
        if "--store-max" in help_text:  # the first way of writing the size the server takes
            return [(extra + ["--store-max", size], {"store": f"--store-max {size}"})
                    for size in ("8MB", "8M", "8MiB", str(STORE_LIMIT))]
        return [(extra, {"store": "no --store-max: the store has no limit"})]
    if opts.get("allow_origin"):
        own = f"http://127.0.0.1:{a.port}"
        return [(extra + ["--allow-origin", "self"], {"origin": "--allow-origin self"}),
                (extra + ["--allow-origin", own], {"origin": f"--allow-origin self refused, {own} instead"})]
    return [(extra, {})]


def run_row(a, number, name, attack, opts, help_text):
    row = dict(number=number, name=name, growth=None, p99=None, errors=None, lost=None, happened=None, text="",
               notes=[])
    have_mqtt = all(shutil.which(t) or os.path.exists(f"/usr/sbin/{t}") for t in MQTT_TOOLS)
    if opts.get("broker") == "required" and not have_mqtt:
        row["text"] = "skipped: needs " + ", ".join(MQTT_TOOLS)
        return row
    spawn = multiprocessing.get_context("spawn")
    tmp = tempfile.mkdtemp(prefix="pontivo-hostile-")
    board, board_end = spawn.Pipe()
    board_proc = spawn.Process(target=board_main, args=(os.path.join(tmp, "board"), board_end,
                                                        opts.get("noisy", False)), daemon=True)
    board_proc.start()
    broker = Broker(a.broker_port) if opts.get("broker") and have_mqtt else None
    srv = None
    for extra, notes in server_options(a, opts, broker, help_text):
        extra = extra + (["--record", os.path.join(tmp, "record.db")] if opts.get("record") else [])
        srv, why = start_server(a, os.path.join(tmp, "board"), extra)
        if srv:
            break
    notes.update({"missing": " (MQTT skipped: no mosquitto)"} if opts.get("broker") and not broker else {})
    row["notes"] = [notes["store"]] if "store" in notes else []
    try:
        if srv is None:
            row["text"] = f"the server did not start: {why}"
            return row
        if not call(board, ("stream", a.port)):
            row["text"] = "the board's port or the /events/seq stream did not open within 10 s"
            return row
        if broker:
            state = Subscriber(broker, f"{PREFIX}/$state")
            online = state.wait_for(f"{PREFIX}/$state", "online", 10)
            state.stop()
            if online is None:
                row["text"] = "the server did not reach the broker within 10 s"
                return row
        stop, (probe, probe_end) = spawn.Event(), spawn.Pipe()
        probe_proc = spawn.Process(target=probe_main, args=(a.port, stop, probe_end), daemon=True)
        probe_proc.start()
        time.sleep(1.0)  # the probe's interpreter is up
        ctx = Ctx(a, srv, Rss(srv.proc.pid), board, broker, notes)
        row["happened"], row["text"] = attack(ctx)
        stop.set()
        times, row["errors"], samples = probe.recv() if probe.poll(30) else ([], 1, ["the probe did not answer"])
        ctx.rss.stop.set()
        row["growth"] = ctx.rss.growth_mib()
        row["p99"] = percentile(sorted(times), 99) * 1e3 if times else None
        row["written"], row["lost"], reconnects = ctx.board_call("finish")
        if opts.get("probe_is_effect") and row["errors"]:
            row["happened"], row["text"] = True, row["text"] + f", probe errors {row['errors']}"
        if opts.get("lost_is_effect"):
            row["happened"] = row["happened"] or row["lost"] > 0
            row["text"] += f"; frames lost among noise {row['lost']}"
        row["notes"] += [f"{len(times):,} probes, {row['written']:,} frames written"
                         + (f", the check stream reopened {reconnects} times" if reconnects else "")] + samples
        row["alive"] = srv.proc.poll() is None
        if not row["alive"]:
            row["notes"].append(f"the server died: {srv.stderr().strip().splitlines()[-1:]}")
        probe_proc.join(5)
    finally:
        if srv:
            srv.stop()
        if broker:
            broker.close()
        if board_proc.is_alive():
            board_proc.terminate()
        shutil.rmtree(tmp, ignore_errors=True)
    return row


def verdict(row):
    """The targets a row missed (empty: pass), or None when it did not run."""
    if row["happened"] is None:
        return None
    missed = [what for what, bad in (
        ("RSS", row["growth"] > RSS_TARGET_MIB), ("p99", row["p99"] is None or row["p99"] >= P99_TARGET_MS),
        ("errors", row["errors"] > 0), ("frames", row["lost"] > 0), ("effect", row["happened"]),
        ("died", not row.get("alive", True))) if bad]
    return missed


def show(row, header=False):
    if header:
        print(f"{'#':>2}  {'attack':<31} {'RSS+ MiB':>9} {'p99 ms':>7} {'errors':>6} {'lost':>5} {'effect':>6}  result")
    missed = verdict(row)
    if missed is None:
        print(f"{row['number']:>2}  {row['name']:<31} {'-':>9} {'-':>7} {'-':>6} {'-':>5} {'-':>6}  NOT RUN")
    else:
        p99 = f"{row['p99']:.1f}" if row["p99"] is not None else "-"
        print(f"{row['number']:>2}  {row['name']:<31} {row['growth']:>9.1f} {p99:>7} {row['errors']:>6} "
              f"{row['lost']:>5} {'yes' if row['happened'] else 'no':>6}  "
              + ("PASS" if not missed else "FAIL (" + ", ".join(missed) + ")"))
    for line in [row["text"]] + row["notes"]:
        print(f"    {line}")
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--duration", type=float, default=60.0, help="seconds per row (default 60)")
    ap.add_argument("--only", help="comma-separated row numbers (default: all)")
    ap.add_argument("--build-dir", default=os.path.join(REPO, "build-rel"))
    ap.add_argument("--no-build", action="store_true", help="use the build directory as it is")
    ap.add_argument("--port", type=int, default=18120, help="HTTP port of the server")
    ap.add_argument("--broker-port", type=int, default=18121, help="port of the MQTT broker started here")
    a = ap.parse_args()
    a.binary = os.path.join(os.path.abspath(a.build_dir), "pontivo")
    only = a.only.split(",") if a.only else range(1, len(ROWS) + 1)
    if any(not str(n).isdigit() or not 1 <= int(n) <= len(ROWS) for n in only):
        ap.error(f"rows are 1 to {len(ROWS)}")
    if not a.no_build:
        build_release(a.build_dir, ["pontivo", "pontivo-mqtt"])
    if not os.access(a.binary, os.X_OK):
        sys.exit(f"no binary at {a.binary}")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the attacks hold thousands of sockets
    help_text = subprocess.run([a.binary, "--help"], capture_output=True, text=True).stdout
    print(f"attack catalogue against {a.binary}, {a.duration:g} s per row", flush=True)
    rows = []
    for n in map(int, only):
        name, attack, opts = ROWS[n - 1]
        print(f"-- row {n}: {name}", flush=True)
        rows.append(run_row(a, n, name, attack, opts, help_text))
        show(rows[-1], header=True)
    print("\nsummary (targets: RSS growth <= 32 MiB, probe p99 < 20 ms, 0 errors, 0 frames lost, no effect):")
    for i, row in enumerate(rows):
        show(row, header=i == 0)
    failed = [row for row in rows if verdict(row) != []]
    print("ALL PASS" if not failed else f"FAIL: rows {', '.join(str(r['number']) for r in failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
