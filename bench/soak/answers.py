"""What Pontivo must answer, and a client that reads an answer byte for byte.

Every answer is "HTTP/1.1 200 OK" with Connection: close, a Server line, an
Access-Control-Allow-Origin line only when the request had an Origin, maybe
X-Content-Type-Options: nosniff, and a
Content-Length equal to the body's length; the server closes after the body.
"""
import os
import re
import socket
import time

HEAD_END = b"\r\n\r\n"


class Outcome:
    """What one connection gave back: the bytes up to the server's close, or why not."""
    RESPONSE, CLOSED, RESET, HANG, REFUSED = "response", "closed", "reset", "hang", "refused"

    def __init__(self, kind, raw=b"", seconds=0.0):
        self.kind, self.raw, self.seconds = kind, raw, seconds


def read_to_close(sock, deadline):
    """Reads until the peer closes or `deadline` (monotonic) passes."""
    chunks = []
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return Outcome(Outcome.HANG, b"".join(chunks))
        sock.settimeout(left)
        try:
            chunk = sock.recv(1 << 17)
        except socket.timeout:
            return Outcome(Outcome.HANG, b"".join(chunks))
        except (ConnectionResetError, BrokenPipeError):
            return Outcome(Outcome.RESET, b"".join(chunks))
        if not chunk:
            raw = b"".join(chunks)
            return Outcome(Outcome.RESPONSE if raw else Outcome.CLOSED, raw)
        chunks.append(chunk)


def exchange(port, request, timeout=5.0):
    """One connection, the whole request at once, read until the server closes."""
    t0 = time.monotonic()
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    except OSError:
        return Outcome(Outcome.REFUSED, seconds=time.monotonic() - t0)
    with sock:
        try:
            sock.sendall(request)
        except (ConnectionResetError, BrokenPipeError):
            return Outcome(Outcome.RESET, seconds=time.monotonic() - t0)
        except socket.timeout:
            return Outcome(Outcome.HANG, seconds=time.monotonic() - t0)
        out = read_to_close(sock, t0 + timeout)
    out.seconds = time.monotonic() - t0
    return out


def request_for(path, origin=None):
    """A plain GET; `path` is bytes or text and goes out as it is."""
    if isinstance(path, str):
        path = path.encode()
    head = b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    if origin is not None:
        head += b"Origin: " + origin + b"\r\n"
    return head + b"\r\n"


def excerpt(data, n=60):
    return repr(data[:n]) + ("..." if len(data) > n else "")


def problem_with(raw, caption, body_ok, origin=None):
    """None when `raw` is a well-formed answer whose body passes `body_ok` (bytes to equal,
    or a predicate); otherwise what is wrong with it."""
    head, sep, body = raw.partition(HEAD_END)
    if not sep:
        return f"no end of header in {excerpt(raw)}"
    lines = head.split(b"\r\n")
    if lines[0] != b"HTTP/1.1 200 OK":
        return f"status line {excerpt(lines[0])}"
    fields = {}
    for line in lines[1:]:
        name, colon, value = line.partition(b": ")
        if not colon or name.lower() in fields:
            return f"header line {excerpt(line)}"
        fields[name.lower()] = value
    length = fields.get(b"content-length")
    if length != str(len(body)).encode():
        return f"Content-Length {length!r} for a body of {len(body)} bytes"
    wanted = {b"connection": b"close", b"server": caption, b"content-length": length}
    if origin is not None:
        wanted[b"access-control-allow-origin"] = origin
    if fields.get(b"x-content-type-options") == b"nosniff":  # the URL commands' answers; exactly where, unit tests say
        wanted[b"x-content-type-options"] = b"nosniff"
    if fields != wanted:
        return f"headers {sorted(fields.items())!r}"
    if callable(body_ok):
        return None if body_ok(body) else f"body {excerpt(body)}"
    if body != body_ok:
        return f"body {excerpt(body)}, expected {excerpt(body_ok)}"
    return None


def listing(pairs):
    return b"".join(name + b"=" + value + b"\r\n" for name, value in pairs)


def like_matcher(pattern):
    """The store's patterns as a regex: ? any one, * any run, # one digit, [..] / [!..] lists."""
    out, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if c == "*":
            out.append(".*")
        elif c == "?":
            out.append(".")
        elif c == "#":
            out.append("[0-9]")
        elif c == "[":
            close = pattern.index("]", i + 1)
            inner = pattern[i + 1:close]
            out.append("[^" + inner[1:] + "]" if inner.startswith("!") else "[" + inner + "]")
            i = close
        else:
            out.append(re.escape(c))
        i += 1
    return re.compile("".join(out), re.S).fullmatch


class Log:
    """Counts per kind of request and the first few faults, for one worker."""

    def __init__(self, worker, t0, keep=8):
        self.worker, self.t0, self.keep = worker, t0, keep
        self.counts, self.faults, self.notes = {}, 0, {}
        self.samples = []

    def count(self, kind, n=1):
        self.counts[kind] = self.counts.get(kind, 0) + n

    def fault(self, kind, request, what):
        self.faults += 1
        if len(self.samples) < self.keep:
            self.samples.append(f"{time.monotonic() - self.t0:.1f} s {self.worker} {kind} "
                                f"{excerpt(request, 90)}: {what}")

    def note(self, what, n=1):
        self.notes[what] = self.notes.get(what, 0) + n

    def check(self, kind, request, out, caption, body_ok, origin=None, counted=False):
        """Counts the request (unless already `counted`); a fault unless `out` is a
        well-formed answer with that body."""
        if not counted:
            self.count(kind)
        if out.kind != Outcome.RESPONSE:
            self.fault(kind, request, f"{out.kind} after {out.seconds:.2f} s ({len(out.raw)} bytes)")
            return False
        what = problem_with(out.raw, caption, body_ok, origin)
        if what:
            self.fault(kind, request, what)
        return what is None

    def result(self, **extra):
        return dict(worker=self.worker, counts=self.counts, faults=self.faults, samples=self.samples,
                    notes=self.notes, **extra)


# Static files, as the server maps /files/...: nothing outside the folder, placeholders filled.

def html_escape(text):
    for a, b in ((b"&", b"&amp;"), (b"<", b"&lt;"), (b">", b"&gt;"), (b'"', b"&quot;"), (b"'", b"&#39;")):
        text = text.replace(a, b)
    return text


def percent_encode(name):
    keep = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"
    return b"".join(bytes([c]) if c in keep else b"%%%02X" % c for c in name)


def sorry(local, what=b"not found."):
    return b"Sorry! <b>" + html_escape(local) + b"</b> " + what


def folder_listing(folder, relative):
    """The page for a folder without index.html (bytes paths): parent link, then sub-folders,
    then files, each group in byte order."""
    body = b""
    if relative:
        body += b"<a href='" + b"".join([b"/files"] + [b"/" + percent_encode(c) for c in relative[:-1]]) \
            + b"'>..</a><br/>"
    entries = sorted(os.listdir(folder))
    folders = [e for e in entries if os.path.isdir(os.path.join(folder, e))]
    files = [e for e in entries if os.path.isfile(os.path.join(folder, e))]
    for name in folders + files:
        href = b"".join([b"/files"] + [b"/" + percent_encode(c) for c in relative + [name]])
        body += b"<a href='" + href + b"'>" + html_escape(name) + b"</a><br/>"
    return body


def file_targets(folder):
    """URL paths under /files/ whose answer does not depend on this machine's name or address:
    files without placeholders, folders without index.html, names that do not exist."""
    targets = [b"/files/no-such-file.txt", b"/files/examples/no/such/page.html"]
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        rel = os.path.relpath(root, folder)
        parts = [] if rel == "." else rel.split(os.sep)
        if "index.html" not in files:
            targets.append(os.fsencode("/".join(["/files"] + parts)) + b"/")
        for name in sorted(files):
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                if os.path.getsize(path) < 256 * 1024 and b"[server" not in f.read():
                    targets.append(os.fsencode("/".join(["/files"] + parts + [name])))
    return targets


def expected_file_answer(folder, target):
    """The body for a /files/... target from `file_targets`, read from disk now."""
    rel = [c for c in target[len(b"/files/"):].rstrip(b"/").split(b"/") if c]
    local = os.fsencode(folder) + b"".join(b"/" + c for c in rel)
    if os.path.isfile(local):
        with open(local, "rb") as f:
            return f.read()
    if os.path.isdir(local):
        return folder_listing(local, rel)
    return sorry(local)
