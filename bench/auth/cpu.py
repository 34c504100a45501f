#!/usr/bin/env python3
"""Two servers' CPU per request, their requests interleaved one for one so that the machine's drift in speed
weighs on both alike; connection per request, CPU read from /proc/PID/stat around the run.
   cpu.py COUNT PID URL HEADER PID URL   (http:// or https://; HEADER may be empty; it goes to the first only)
   prints: microseconds of user+system CPU per request of each, and the first's over the second's"""
import os, socket, ssl, sys, time
from urllib.parse import urlsplit

def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

context = ssl.create_default_context()
context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
context.set_alpn_protocols(["http/1.1"])

class Target:
    def __init__(self, pid, url, header):
        self.pid, self.url = int(pid), urlsplit(url)
        self.head = (f"GET {self.url.path} HTTP/1.1\r\nHost: {self.url.hostname}\r\n"
                     + (header + "\r\n" if header else "") + "\r\n").encode()
    def one(self):
        with socket.create_connection((self.url.hostname, self.url.port)) as raw:
            s = context.wrap_socket(raw) if self.url.scheme == "https" else raw
            s.sendall(self.head)
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
            assert answer.startswith(b"HTTP/1.1 200"), answer[:80]

count = int(sys.argv[1])
targets = [Target(*sys.argv[2:5]), Target(*sys.argv[5:7], "")]
for _ in range(20):
    for target in targets:
        target.one()
before, start = [cpu_seconds(t.pid) for t in targets], time.monotonic()
for _ in range(count):
    for target in targets:
        target.one()
used = [(cpu_seconds(t.pid) - b) / count * 1e6 for t, b in zip(targets, before)]
print(f"{used[0]:.0f} {used[1]:.0f} {used[0] / used[1]:.2f} ({count} requests each, {time.monotonic() - start:.1f} s)")
