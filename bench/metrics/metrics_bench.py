#!/usr/bin/env python3
"""Time of the /metrics answer of a Release `pontivo --headless` holding 10,000
numeric variables (and 1,000 that are not numbers), connect to close, against
its target. All traffic goes to 127.0.0.1; every loop is bounded.

usage: metrics_bench.py [--binary PATH] [--port N] [--no-build] [--runs N]
exit status: 0 target met, 1 otherwise.
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from statistics import median, quantiles

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
TARGET_MS = 20.0
VARIABLES = 10_000


def request(port, target):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
        chunks = []
        while chunk := s.recv(1 << 20):
            chunks.append(chunk)
    return b"".join(chunks)


def timed(port, target):
    start = time.perf_counter()
    answer = request(port, target)
    return (time.perf_counter() - start) * 1000, answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=os.path.join(REPO, "build-bench", "pontivo"))
    parser.add_argument("--port", type=int, default=18089)
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--runs", type=int, default=50)
    args = parser.parse_args()
    if not args.no_build:
        build = os.path.dirname(args.binary)
        subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DPONTIVO_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "-j2", "--target", "pontivo"], check=True,
                       stdout=subprocess.DEVNULL)

    log = tempfile.NamedTemporaryFile(prefix="pontivo-bench-metrics-", suffix=".log", delete=False)
    server = subprocess.Popen(["taskset", "-c", "1", args.binary, "--headless", "--http-port", str(args.port),
                               "--com-port", "/nonexistent"], stdout=subprocess.DEVNULL, stderr=log)
    try:
        deadline = time.monotonic() + 30
        while f"serving http://localhost:{args.port}/".encode() not in open(log.name, "rb").read():
            if server.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"pontivo did not start: {open(log.name).read()}")
            time.sleep(0.02)
        empty_ms = median(timed(args.port, "/metrics")[0] for _ in range(args.runs))
        for i in range(VARIABLES):
            request(args.port, f"/put/v{i:05d}/{i * 0.25 - 1000}")
        for i in range(VARIABLES // 10):
            request(args.port, f"/put/text{i:04d}/on")
        times = []
        for _ in range(args.runs):
            ms, answer = timed(args.port, "/metrics")
            times.append(ms)
            samples = answer.count(b"\npontivo_variable{")
            if samples != VARIABLES:
                sys.exit(f"/metrics held {samples} variables, expected {VARIABLES}")
        size = len(answer)
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(10)
        os.unlink(log.name)
    p50, p95 = median(times), quantiles(times, n=20)[-1]
    ok = p50 < TARGET_MS
    print(f"/metrics, empty store:          {empty_ms:7.2f} ms (median of {args.runs})")
    print(f"/metrics, {VARIABLES} numeric variables: {p50:7.2f} ms median, {p95:.2f} ms p95, {size} bytes"
          f"   target < {TARGET_MS:.0f} ms median   {'PASS' if ok else 'MISS'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
