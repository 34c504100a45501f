#!/usr/bin/env python3
"""Server CPU per request, connection per request, read from /proc/PID/stat around a run of requests.
   cpu.py PID URL COUNT [HEADER...]   (http:// or https://; prints microseconds of user+system CPU per request)"""
import os, socket, ssl, sys, time
from urllib.parse import urlsplit

def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

pid, url, count = int(sys.argv[1]), urlsplit(sys.argv[2]), int(sys.argv[3])
head = f"GET {url.path} HTTP/1.1\r\nHost: {url.hostname}\r\n" + "".join(h + "\r\n" for h in sys.argv[4:]) + "\r\n"
context = ssl.create_default_context()
context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
context.set_alpn_protocols(["http/1.1"])
def one():
    with socket.create_connection((url.hostname, url.port)) as raw:
        s = context.wrap_socket(raw) if url.scheme == "https" else raw
        s.sendall(head.encode())
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
        assert answer.startswith(b"HTTP/1.1 200"), answer[:80]
for _ in range(20):
    one()
before, start = cpu_seconds(pid), time.monotonic()
for _ in range(count):
    one()
used = cpu_seconds(pid) - before
print(f"{url.scheme} {url.path} {' '.join(sys.argv[4:])[:30]}: {used / count * 1e6:.0f} us CPU per request "
      f"({count} requests, {time.monotonic() - start:.1f} s)")
