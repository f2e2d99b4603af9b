#!/usr/bin/env python3
"""Scriptable HTTPS server for the test world: answers what nginx will not.

Run by world.py inside the namespace:
    fault_server.py SPEC.json

SPEC: {"lifetime_s": N, "log": "DIR/requests.jsonl",
       "hosts": [{"name", "address", "port", "cert", "key", "tls", "routes"}]}
A host whose tls is "plain" speaks plain HTTP (the world's CRL host, port 80).
Route fields are described at the top of world.py. One process serves every
fault host; the listening address picks the certificate, so no SNI is needed.
Prints "ready" on stdout once every socket listens; exits by itself after
lifetime_s at the latest.
"""

import base64
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time

MAX_CONNECTIONS = 128
MAX_REQUESTS_PER_CONNECTION = 200
MAX_HEAD_BYTES = 256 * 1024
HEAD_TIMEOUT_S = 15.0
IDLE_TIMEOUT_S = 15.0
HANDSHAKE_TIMEOUT_S = 10.0
DEFAULT_STALL_MS = 60_000
ENDLESS_CAP_BYTES = 8 << 30
CHUNK = 16 * 1024

STOP = threading.Event()
LOG_LOCK = threading.Lock()
CONN_SLOTS = threading.BoundedSemaphore(MAX_CONNECTIONS)
REASONS = {
    200: "OK", 204: "No Content", 206: "Partial Content", 301: "Moved Permanently",
    302: "Found", 303: "See Other", 307: "Temporary Redirect", 308: "Permanent Redirect",
    400: "Bad Request", 403: "Forbidden", 404: "Not Found", 416: "Range Not Satisfiable",
    429: "Too Many Requests", 500: "Internal Server Error", 502: "Bad Gateway",
    503: "Service Unavailable",
}


class Abort(Exception):
    """The connection is finished (on purpose or because the peer left)."""


def pattern_bytes(offset, size):
    # Deterministic filler: byte i of the body is i % 251.
    start = offset % 251
    base = bytes(range(251))
    reps = (start + size) // 251 + 1
    return (base * reps)[start:start + size]


class Body:
    """A body that may be real bytes or generated on demand."""

    def __init__(self, route):
        self.data = None
        self.size = 0
        if "body_file" in route:
            with open(route["body_file"], "rb") as f:
                self.data = f.read()
        elif "body_b64" in route:
            self.data = base64.b64decode(route["body_b64"])
        elif "body" in route:
            self.data = route["body"].encode("utf-8")
        elif "body_size" in route:
            self.size = int(route["body_size"])
        else:
            self.data = b""
        if self.data is not None:
            self.size = len(self.data)

    def slice(self, start, end):
        if self.data is not None:
            return self.data[start:end]
        return pattern_bytes(start, max(0, min(end, self.size) - start))


class Host:
    def __init__(self, plan):
        self.name = plan["name"]
        self.address = plan["address"]
        self.routes = plan.get("routes", [])
        self.hits = {}
        self.hits_lock = threading.Lock()
        self.ctx = None
        mode = plan.get("tls", "normal")
        if mode == "plain":
            return
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(plan["cert"], plan["key"])
        if mode == "tls13_only":
            ctx.minimum_version = ssl.TLSVersion.TLSv1_3
        elif mode == "tls10_only":
            # OpenSSL 3 offers TLS 1.0 only at security level 0.
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.minimum_version = ssl.TLSVersion.TLSv1
            ctx.maximum_version = ssl.TLSVersion.TLSv1
        else:
            ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        self.ctx = ctx

    def pick(self, path, target):
        with self.hits_lock:
            n = self.hits[path] = self.hits.get(path, 0) + 1
        for r in self.routes:
            p = r.get("path", "*")
            if p not in ("*", path, target):
                continue
            when = r.get("when_hit")
            if when is not None and n not in when:
                continue
            return r
        return {"status": 404, "body": "not found\n"}


def log_request(log_path, rec):
    line = json.dumps(rec, ensure_ascii=False) + "\n"
    with LOG_LOCK:
        with open(log_path, "a", encoding="utf-8") as f:
            f.write(line)


def diag(msg):
    sys.stderr.write("fault_server: %s\n" % msg)
    sys.stderr.flush()


class Conn:
    def __init__(self, host, sock, peer, log_path, conn_id):
        self.host = host
        self.sock = sock
        self.peer = peer
        self.log_path = log_path
        self.id = conn_id
        self.buf = b""

    # --- I/O helpers -----------------------------------------------------
    def send(self, data):
        if STOP.is_set():
            raise Abort()
        try:
            self.sock.sendall(data)
        except (OSError, ssl.SSLError):
            raise Abort()

    def wait(self, seconds):
        if STOP.wait(max(0.0, seconds)):
            raise Abort()

    def read_head(self):
        deadline = time.monotonic() + HEAD_TIMEOUT_S
        first = True
        while b"\r\n\r\n" not in self.buf:
            if len(self.buf) > MAX_HEAD_BYTES:
                raise Abort()
            left = deadline - time.monotonic()
            if left <= 0 or STOP.is_set():
                raise Abort()
            # A kept-alive connection may sit idle longer than a head takes.
            self.sock.settimeout(IDLE_TIMEOUT_S if first and not self.buf else min(left, 1.0))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                if first and not self.buf:
                    raise Abort()
                continue
            except (OSError, ssl.SSLError):
                raise Abort()
            first = False
            if not chunk:
                raise Abort()
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head

    def close_clean(self):
        # close_notify then FIN, so a client sees an orderly end of stream.
        if not isinstance(self.sock, ssl.SSLSocket):
            try:
                self.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            self.close_fin()
            return
        try:
            self.sock.settimeout(1.0)
            raw = self.sock.unwrap()
            raw.shutdown(socket.SHUT_WR)
            raw.close()
        except (OSError, ssl.SSLError, ValueError):
            pass
        self.close_fin()

    def close_fin(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def close_reset(self):
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.close_fin()

    # --- serving ---------------------------------------------------------
    def serve(self):
        try:
            self.sock.settimeout(HANDSHAKE_TIMEOUT_S)
            if isinstance(self.sock, ssl.SSLSocket):
                self.sock.do_handshake()
        except (OSError, ssl.SSLError) as e:
            diag("%s conn %d: handshake failed: %s" % (self.host.name, self.id, e))
            self.close_fin()
            return
        try:
            for _ in range(MAX_REQUESTS_PER_CONNECTION):
                if not self.one_request():
                    break
            self.close_clean()
        except Abort:
            self.close_fin()

    def one_request(self):
        head = self.read_head()
        lines = head.decode("latin-1").split("\r\n")
        request_line = lines[0]
        headers = []
        for ln in lines[1:]:
            name, _, value = ln.partition(":")
            headers.append([name, value.strip()])
        parts = request_line.split(" ")
        method = parts[0] if parts else ""
        target = parts[1] if len(parts) > 1 else ""
        version = parts[2] if len(parts) > 2 else ""
        path = target.split("?", 1)[0]
        log_request(self.log_path, {
            "t": time.time(), "server": "fault", "host": self.host.name,
            "address": self.host.address, "conn": self.id,
            "tls_version": self.sock.version() if isinstance(self.sock, ssl.SSLSocket) else None,
            "request_line": request_line, "method": method, "target": target,
            "version": version, "headers": headers,
        })
        hmap = {}
        for n, v in headers:
            hmap.setdefault(n.lower(), v)
        # Request bodies are not expected; drop any declared one.
        try:
            clen = int(hmap.get("content-length", "0"))
        except ValueError:
            clen = 0
        if clen:
            while len(self.buf) < clen:
                self.sock.settimeout(HEAD_TIMEOUT_S)
                try:
                    c = self.sock.recv(65536)
                except (OSError, ssl.SSLError):
                    raise Abort()
                if not c:
                    raise Abort()
                self.buf += c
            self.buf = self.buf[clen:]
        route = self.host.pick(path, target)
        return self.respond(route, method, hmap, version)

    def respond(self, r, method, hmap, version):
        if r.get("delay_ms"):
            self.wait(r["delay_ms"] / 1000.0)
        if r.get("close_before_headers"):
            self.close_clean()
            raise Abort()
        if r.get("reset_before_headers"):
            self.close_reset()
            raise Abort()
        if r.get("interim_every_ms"):
            for _ in range(int(r.get("interim_heads", 16))):
                self.wait(r["interim_every_ms"] / 1000.0)
                self.send(b"HTTP/1.1 103 Early Hints\r\n\r\n")
            self.close_clean()
            raise Abort()

        body = Body(r)
        status = int(r.get("status", 302 if "location" in r else 200))
        extra = [list(h) for h in r.get("headers", [])]
        if "location" in r:
            extra.append(["Location", r["location"]])
        start, end = 0, body.size
        rng = hmap.get("range")
        if r.get("range") == "honour" and rng and status == 200:
            parsed = parse_range(rng, body.size)
            if parsed is None:
                status = 416
                extra.append(["Content-Range", "bytes */%d" % body.size])
                start = end = 0
            else:
                start, end = parsed
                status = 206
                extra.append(["Content-Range", "bytes %d-%d/%d" % (start, end - 1, body.size)])
        if r.get("range") == "honour" and status in (200, 206):
            extra.append(["Accept-Ranges", "bytes"])
        send_len = end - start
        if r.get("endless"):
            send_len = ENDLESS_CAP_BYTES

        length = r.get("length", "auto")
        close_after = bool(r.get("close")) or version != "HTTP/1.1" \
            or hmap.get("connection", "").lower() == "close"
        hdr = ["HTTP/1.1 %d %s" % (status, r.get("reason", REASONS.get(status, "Status")))]
        hdr.append("Server: world-fault")
        no_body = method == "HEAD" or status in (204, 304) or 100 <= status < 200
        chunked = False
        if r.get("endless") and length == "auto":
            length = "none"
        if length == "auto":
            if status not in (204, 304):
                hdr.append("Content-Length: %d" % send_len)
        elif length == "none":
            close_after = True
        elif length == "chunked":
            hdr.append("Transfer-Encoding: chunked")
            chunked = True
        else:
            for v in (length if isinstance(length, list) else [length]):
                hdr.append("Content-Length: %s" % v)
            close_after = True
        for n, v in extra:
            hdr.append("%s: %s" % (n, v))
        if close_after:
            hdr.append("Connection: close")

        if r.get("endless_headers"):
            self.send(("\r\n".join(hdr) + "\r\n").encode("latin-1"))
            i = 0
            while True:
                self.send(b"X-Filler-%d: %s\r\n" % (i, b"y" * 64))
                i += 1
                self.wait(0.01)
        if r.get("head_trickle_ms"):
            self.send((hdr.pop(0) + "\r\n").encode("latin-1"))
            for i in range(int(r.get("head_trickle_lines", 100))):
                self.wait(r["head_trickle_ms"] / 1000.0)
                self.send(b"X-Trickle-%d: t\r\n" % i)
        if r.get("huge_header"):
            hdr.append("X-Huge: " + "h" * int(r["huge_header"]))
        self.send(("\r\n".join(hdr) + "\r\n\r\n").encode("latin-1"))
        if no_body:
            if close_after:
                self.close_clean()
                raise Abort()
            return True

        self.send_body(r, body, start, send_len, chunked)
        if chunked:
            self.send(b"0\r\n\r\n")
        if close_after:
            self.close_clean()
            raise Abort()
        return True

    def send_body(self, r, body, start, total, chunked):
        truncate = r.get("truncate_after")
        reset = r.get("reset_after")
        stall = r.get("stall_after")
        trickle = r.get("trickle")
        burst = int(r.get("burst_bytes", 0))
        endless = bool(r.get("endless"))
        # The pace runs from the start of its phase (the body, the throttle
        # after a burst, the bytes after a pause), so no phase makes up for
        # the one before it.
        phase_t, phase_sent = time.monotonic(), 0
        sent = 0
        while sent < total:
            bps = r.get("burst_bps") if sent < burst else r.get("throttle_bps")
            step = CHUNK
            if trickle:
                step = max(1, int(trickle.get("bytes", 1)))
            elif bps:
                step = max(1, min(CHUNK, int(bps) // 20))
            n = min(step, total - sent)
            for limit in (truncate, reset, stall, burst or None):
                if limit is not None and sent < limit:
                    n = min(n, limit - sent)
            if truncate is not None and sent >= truncate:
                if r.get("truncate_mode") == "fin":
                    self.close_fin()
                else:
                    self.close_clean()
                raise Abort()
            if reset is not None and sent >= reset:
                # A reset drops what the client has not read yet: a pause first
                # lets the bytes before it arrive.
                self.wait(r.get("reset_delay_ms", 0) / 1000.0)
                self.close_reset()
                raise Abort()
            if stall is not None and sent >= stall:
                self.wait(r.get("stall_ms", DEFAULT_STALL_MS) / 1000.0)
                stall = None
                if r.get("stall_then") == "continue":
                    phase_t, phase_sent = time.monotonic(), sent
                    continue
                self.close_clean()
                raise Abort()
            if endless:
                data = pattern_bytes(start + sent, n)
            else:
                data = body.slice(start + sent, start + sent + n)
            if chunked:
                data = b"%x\r\n%s\r\n" % (len(data), data)
            self.send(data)
            sent += n
            if trickle:
                self.wait(trickle.get("every_ms", 100) / 1000.0)
            elif bps:
                self.wait(phase_t + (sent - phase_sent) / float(bps) - time.monotonic())
            if sent == burst:
                phase_t, phase_sent = time.monotonic(), sent


def parse_range(value, size):
    """One "bytes=a-b" range as [start, end) or None when unsatisfiable."""
    if not value.startswith("bytes=") or "," in value:
        return None
    plan = value[6:].strip()
    a, _, b = plan.partition("-")
    try:
        if a == "":
            n = int(b)
            if n <= 0:
                return None
            return max(0, size - n), size
        start = int(a)
        end = int(b) + 1 if b else size
    except ValueError:
        return None
    if start >= size or end <= start:
        return None
    return start, min(end, size)


def accept_loop(host, lsock, log_path, counter):
    lsock.settimeout(0.5)
    while not STOP.is_set():
        try:
            s, peer = lsock.accept()
        except socket.timeout:
            continue
        except OSError:
            return
        if not CONN_SLOTS.acquire(blocking=False):
            s.close()
            continue
        with counter["lock"]:
            counter["n"] += 1
            cid = counter["n"]
        try:
            tls = host.ctx.wrap_socket(s, server_side=True, do_handshake_on_connect=False) if host.ctx else s
        except (OSError, ssl.SSLError):
            s.close()
            CONN_SLOTS.release()
            continue
        conn = Conn(host, tls, peer, log_path, cid)

        def run(c=conn):
            try:
                c.serve()
            except Exception as e:  # a bug here must not take the server down
                diag("%s conn %d: %r" % (c.host.name, c.id, e))
                c.close_fin()
            finally:
                CONN_SLOTS.release()
        threading.Thread(target=run, daemon=True).start()


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        plan = json.load(f)
    deadline = time.monotonic() + float(plan.get("lifetime_s", 300))
    signal.signal(signal.SIGTERM, lambda *_: STOP.set())
    signal.signal(signal.SIGINT, lambda *_: STOP.set())
    counter = {"n": 0, "lock": threading.Lock()}
    threads = []
    for hs in plan["hosts"]:
        host = Host(hs)
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind((hs["address"], int(hs.get("port", 443))))
        ls.listen(64)
        t = threading.Thread(target=accept_loop, args=(host, ls, plan["log"], counter), daemon=True)
        threads.append(t)
    for t in threads:
        t.start()
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    while not STOP.is_set() and time.monotonic() < deadline:
        STOP.wait(0.2)
    STOP.set()
    time.sleep(0.1)
    os._exit(0)


if __name__ == "__main__":
    main()
