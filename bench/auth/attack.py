#!/usr/bin/env python3
"""A password-guessing attack from many loopback addresses (127.1.0.0/16) while another client asks /test.
   attack.py PID PORT SECONDS ADDRESSES GOOD-AUTH-HEADER [tokens]
   (tokens: guess tokens instead, which cost no argon2id: the guard's own memory shows)
   Prints the other client's /test latency (p50, p99, worst), the answers the attack got, the server's RSS growth."""
import collections, socket, sys, threading, time

pid, port, seconds, addresses, good = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
def rss_kib():
    return int(next(l for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS")).split()[1])

def ask(source, head):
    with socket.create_connection(("127.0.0.1", port), source_address=(source, 0)) as s:
        s.sendall(head)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
        return answer[9:12].decode()

guess = b"Bearer guess" if sys.argv[6:] == ["tokens"] else b"Basic YWxpY2U6Z3Vlc3M="  # alice:guess
bad = b"GET /get/a HTTP/1.1\r\nAuthorization: " + guess + b"\r\n\r\n"
statuses, stop = collections.Counter(), time.monotonic() + seconds
def attacker(offset):
    i = offset
    while time.monotonic() < stop:
        try:
            statuses[ask(f"127.1.{i // 250 % 250}.{i % 250 + 1}", bad)] += 1
        except OSError:
            statuses["error"] += 1
        i = (i + 4) % addresses
rss_before = rss_kib()
threads = [threading.Thread(target=attacker, args=(k,)) for k in range(4)]
for t in threads:
    t.start()
latencies, good_head = [], f"GET /test HTTP/1.1\r\n{good}\r\n\r\n".encode()
while time.monotonic() < stop:
    start = time.monotonic()
    assert ask("127.0.0.1", good_head) == "200"
    latencies.append((time.monotonic() - start) * 1000)
    time.sleep(0.01)
for t in threads:
    t.join()
latencies.sort()
pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]
print(f"/test from another client during {seconds:.0f} s: p50 {pick(0.5):.1f} ms, p99 {pick(0.99):.1f} ms, "
      f"worst {latencies[-1]:.1f} ms ({len(latencies)} requests)")
print(f"attack answers: {dict(statuses)} from {addresses} addresses")
print(f"RSS {rss_before} KiB before, {rss_kib()} KiB after: +{(rss_kib() - rss_before) / 1024:.1f} MiB")
