#!/usr/bin/env python3
"""Server CPU per request of several Pontivo builds or settings, in one run.

Each server is started on its own port and loaded in turn with wrk (a connection per request), round
after round, so that whatever else the machine does falls on all of them alike. The figure is the
server process's own CPU time (user + system, all threads, from /proc) divided by the requests it
answered: unlike a CPU's busy share, other work on the machine does not add to it.

    bench/http/cpu_per_request.py --server 'epoll=build-bench/pontivo' \\
        --server 'qt=env PONTIVO_EVENT_LOOP=qt build-bench/pontivo' [--rounds 6] [--seconds 5] [--path /get/temp]
"""
import argparse, os, re, shlex, signal, socket, statistics, subprocess, sys, time

KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "bench-peers", "tools")
ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
ap.add_argument("--server", action="append", required=True, help="NAME=COMMAND (Pontivo gets --headless --http-port)")
ap.add_argument("--rounds", type=int, default=6)
ap.add_argument("--seconds", type=int, default=5)
ap.add_argument("--connections", type=int, default=16)
ap.add_argument("--path", action="append", default=None, help="default: /get/temp and /set/temp/22")
ap.add_argument("--lua", default=os.path.join(KIT, "conn_close.lua"))
a = ap.parse_args()
paths = a.path or ["/get/temp", "/set/temp/22"]


def wait_listening(port):
    for _ in range(300):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    sys.exit(f"nothing listens on {port}")


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


servers = []
for i, spec in enumerate(a.server):
    name, _, command = spec.partition("=")
    port = 18300 + i
    process = subprocess.Popen(shlex.split(command) + ["--headless", "--http-port", str(port)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    servers.append((name, port, process))
try:
    for name, port, process in servers:
        wait_listening(port)
        subprocess.run(["curl", "-s", f"http://127.0.0.1:{port}/set/temp/21"], stdout=subprocess.DEVNULL)
    results = {(name, path): [] for name, _, _ in servers for path in paths}
    hz = os.sysconf("SC_CLK_TCK")
    for round_ in range(a.rounds):
        # The order turns each round, so neither server always follows the other.
        order = servers[round_ % len(servers):] + servers[:round_ % len(servers)]
        for path in paths:
            for name, port, process in order:
                before = cpu_ticks(process.pid)
                out = subprocess.run(["wrk", "-t1", f"-c{a.connections}", f"-d{a.seconds}s", "-s", a.lua,
                                      f"http://127.0.0.1:{port}{path}"], capture_output=True, text=True).stdout
                used = cpu_ticks(process.pid) - before
                requests = int(re.search(r"(\d+) requests in", out).group(1))
                results[(name, path)].append(1e6 * used / hz / max(requests, 1))
    print(f"server CPU per request (us, process time, median of {a.rounds} rounds of {a.seconds} s, c={a.connections})")
    for path in paths:
        base = statistics.median(results[(servers[0][0], path)])
        for name, _, _ in servers:
            values = results[(name, path)]
            median = statistics.median(values)
            print(f"  {path:14} {name:10} {median:7.2f}  x{median / base:5.3f}  rounds: "
                  + " ".join(f"{v:.2f}" for v in values))
finally:
    for _, _, process in servers:
        process.send_signal(signal.SIGTERM)
        process.wait()
