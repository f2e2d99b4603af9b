#!/usr/bin/env python3
"""Transport conformance: one table of GET cases in the test world, run with
the native build's transport_probe (libcurl stand-in) and the Windows build's
under Wine (WinHTTP).

    run_conformance.py [--native PROBE] [--windows PROBE.exe] [--backend native|wine|both]
                       [--wineprefix DIR] [--logs DIR] [--only SUBSTRING]

Each case states what documented WinHTTP does. Where Wine 8's WinHTTP is known
to behave otherwise, the case carries the result Wine gives and the reason;
the native backend is held to the documented behaviour except where it says
why not. platform/DIFFERENCES.md tables every such difference.
Prints one line per case and backend, then "N passed, N failed"; exits 1 on
any failure.
"""

import argparse
import os
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "world"))

import program_table  # noqa: E402
from world import World  # noqa: E402

# The program's own user agent, probe range and probe bounds, from its build.
UA = program_table.table()["user_agent"]
RANGE = program_table.table()["probe_range_header"].split(": ", 1)[1]
PROBE = program_table.table()["timeouts"]["probe"]
# Slack for process scheduling and, under Wine, its slower start of a step.
MARGIN_MS = 1500

ENDLESS_HEADER_MS = 9000

FILE_SIZE = 200_000
BIG_SIZE = 8 * 1024 * 1024
# The stand-in must end a transfer itself to keep its connection when the
# body's last bytes came while a full staging area held the transfer paused.
# Where that falls depends on the area's size and the server's 16 KiB
# writes (one TLS record, one libcurl delivery each), so the bodies run
# through every position of one refill: a 128 KiB area takes eight
# deliveries and holds a ninth, and 27 x 16 KiB is the one that ends held.
# The reader waits before each read, so that every refill finds the server's
# bytes already there.
LONG_SIZES = [16384 * n for n in range(27, 36)]


def pattern(size, offset=0):
    base = bytes(range(251))
    start = offset % 251
    return (base * ((start + size) // 251 + 1))[start:start + size]


def fnv(data):
    h = 1469598103934665603
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def ok(size, data=None, status=200, length=None):
    e = {"send": 1, "status": status, "length": size if length is None else length,
         "body": size, "end": "end"}
    if data is not None:
        e["fnv"] = fnv(data)
    return e


def refused(status=-1, fail=None):
    e = {"send": 0, "status": status, "end": "none"}
    if fail is not None:
        e["fail"] = fail
    return e


def cause(expect, fail):
    """expect with the platform's failure cause the probe took."""
    return dict(expect, fail=fail)


# --- checks on the request log -------------------------------------------

def header_values(req, name):
    return [v for k, v in req.get("headers", []) if k.lower() == name.lower()]


def exact_headers(expect_range):
    def check(reqs):
        hits = [r for r in reqs if r.get("target") == "/hdr" + ("?r" if expect_range else "")]
        if len(hits) != 1:
            return "expected one request for /hdr, saw %d" % len(hits)
        r = hits[0]
        problems = []
        if r.get("request_line") != "GET %s HTTP/1.1" % r.get("target"):
            problems.append("request line %r" % r.get("request_line"))
        if header_values(r, "User-Agent") != [UA]:
            problems.append("User-Agent %r" % header_values(r, "User-Agent"))
        for absent in ("Accept", "Referer", "Accept-Encoding"):
            if header_values(r, absent):
                problems.append("%s sent: %r" % (absent, header_values(r, absent)))
        want = [RANGE] if expect_range else []
        if header_values(r, "Range") != want:
            problems.append("Range %r, want %r" % (header_values(r, "Range"), want))
        if header_values(r, "Host") != ["s.test"]:
            problems.append("Host %r" % header_values(r, "Host"))
        return "; ".join(problems) or None
    return check


def visited(*hops):
    """The request log holds these (host, target) hops in this order."""
    def check(reqs):
        seen = [(r.get("host"), r.get("target")) for r in reqs]
        pos = 0
        for hop in hops:
            while pos < len(seen) and seen[pos] != hop:
                pos += 1
            if pos == len(seen):
                return "hop %r missing from %r" % (hop, seen)
        return None
    return check


def hits(host, prefix, count):
    def check(reqs):
        n = sum(1 for r in reqs if r.get("host") == host and r.get("target", "").startswith(prefix))
        return None if n == count else "%d requests to %s%s, want %d" % (n, host, prefix, count)
    return check


def connection(reqs, target):
    hits = [(r.get("server"), r.get("conn")) for r in reqs if r.get("target") == target]
    return hits[0] if len(hits) == 1 else None


def conn_vs(earlier, target, same):
    """The request for target went over the connection of earlier's (or not)."""
    def check(reqs):
        a, b = connection(reqs, earlier), connection(reqs, target)
        if a is None or b is None:
            return "no single logged request for %s and %s" % (earlier, target)
        if (a == b) != same:
            return "connection %s after %s's %s, want %s" % (b, earlier, a, "the same" if same else "a new one")
        return None
    return check


def one_connection(targets):
    """Every request for these targets went over one connection."""
    def check(reqs):
        seen = [connection(reqs, t) for t in targets]
        if None in seen or len(set(seen)) != 1:
            return "connections %s" % list(zip(targets, seen))
        return None
    return check


# --- the world -----------------------------------------------------------

def chain_routes():
    # /c/0 .. /c/10 each redirect to the next; /c/11 answers. /c/1 is ten
    # redirects away from the answer, /c/0 eleven.
    routes = [{"path": "/c/%d" % n, "location": "/c/%d" % (n + 1), "body": ""} for n in range(11)]
    routes.append({"path": "/c/11", "status": 200, "body": "chain end"})
    return routes


def world_config(files_dir):
    return {
        "timeout_s": 170,
        "hosts": {
            "s.test": {"server": "fault", "routes": [
                {"path": "/200", "status": 200, "body": "hello"},
                {"path": "/206", "status": 206, "body_size": 16384,
                 "headers": [["Content-Range", "bytes 0-16383/100000"]]},
                {"path": "/204", "status": 204, "body": ""},
                {"path": "/301", "status": 301, "body": "moved, no location"},
                {"path": "/301empty", "status": 301, "headers": [["Location", ""]], "body": ""},
                {"path": "/404", "status": 404, "body": "missing"},
                {"path": "/500", "status": 500, "body": "broken"},
                {"path": "/hdr", "status": 200, "body": "x"},
                {"path": "/nolen", "status": 200, "length": "none", "body_size": 3000},
                {"path": "/chunked", "status": 200, "length": "chunked", "body_size": 70000},
                {"path": "/zero", "status": 200, "body": ""},
                {"path": "/endlesshdr", "status": 200, "endless_headers": True},
                {"path": "/hugehdr", "status": 200, "huge_header": 3 << 20, "body": "abc"},
                {"path": "/badlen", "status": 200, "length": "12abc", "body": "xyz", "close": True},
                {"path": "/hugelen", "status": 200, "length": "5000000000", "body": "abc", "close": True},
                {"path": "/neglen", "status": 200, "length": "-5", "body": "xyz", "close": True},
                {"path": "/wordlen", "status": 200, "length": "abc", "body": "xyz", "close": True},
                {"path": "/trunc", "status": 200, "body_size": 50000, "truncate_after": 1000},
                {"path": "/reset", "status": 200, "body_size": 50000, "reset_after": 1000,
                 "reset_delay_ms": 300},
                {"path": "/stall", "status": 200, "body_size": 100000, "stall_after": 1000,
                 "stall_ms": 20000},
                {"path": "/slowhead", "status": 200, "body": "late", "delay_ms": 9000},
                {"path": "/tricklehead", "status": 200, "body": "late", "head_trickle_ms": 500,
                 "head_trickle_lines": 12},
                {"path": "/hints", "interim_every_ms": 2000, "interim_heads": 16},
                {"path": "/tohttp", "location": "http://s.test/never", "body": ""},
                {"path": "/x1", "status": 302, "location": "https://hop.test/x2", "body": ""},
                {"path": "/p308", "status": 308, "location": "/moved", "body": "permanent"},
                {"path": "/moved", "status": 200, "body": "moved here"},
            ] + chain_routes()},
            "hop.test": {"server": "fault", "routes": [
                {"path": "/x2", "status": 307, "location": "https://files.test/file.bin", "body": "next"},
            ]},
            "files.test": {"server": "nginx", "root": files_dir},
            "tls12.test": {"server": "fault", "tls": "tls12", "routes": [{"path": "*", "body": "tls12"}]},
            "tls13.test": {"server": "fault", "tls": "tls13_only", "routes": [{"path": "*", "body": "tls13"}]},
            "tls10.test": {"server": "fault", "tls": "tls10_only", "routes": [{"path": "*", "body": "tls10"}]},
            "foreign.test": {"server": "fault", "tls": "foreign_ca", "routes": [{"path": "*", "body": "f"}]},
            "wrongname.test": {"server": "fault", "tls": "wrong_name", "routes": [{"path": "*", "body": "w"}]},
            "keep.test": {"server": "fault", "routes": [
                {"path": "/unread", "status": 200, "body_size": 300000},
            ] + [{"path": "/long/%d" % n, "status": 200, "body_size": n} for n in LONG_SIZES] + [
                {"path": "/close", "status": 200, "body": "bye", "close": True},
                {"path": "/stall", "status": 200, "body_size": 100000, "stall_after": 1000, "stall_ms": 5000},
                {"path": "*", "status": 200, "body": "kept"},
            ]},
            "drop.test": {"server": "drop"},
            "refuse.test": {"server": "refuse"},
        },
    }


# Every reason below is a row of platform/DIFFERENCES.md: change the two together.
WINE_EARLY_CLOSE = ("Wine's WinHTTP treats a clean close before the declared length as the end of "
                    "the body; Windows reports a failed read (the program's length check then decides)")
WINE_HEAD_TRICKLE = ("Wine's WinHTTP holds each receive of the head to the request's response timeout "
                     "but restarts it per receive, so a head whose lines keep coming is not bounded as a "
                     "whole")
WINE_INTERIM_HEAD = ("Wine's WinHTTP returns an interim 103 head as the response, so send_get fails on its "
                     "status at the first one")
WINE_NO_LOCATION = ("Wine's WinHTTP fails the receive step on a 3xx without Location instead of "
                    "returning that response; send_get fails either way")
WINE_EMPTY_LOCATION = ("Wine's WinHTTP follows an empty Location, sending a request line with an empty "
                       "target (answered 404); send_get fails either way")
WINE_TO_HTTP = ("Wine's WinHTTP fails the receive step on an https-to-http redirect; WinHTTP's default "
                "policy leaves such a redirect unfollowed and returns it as the response")
WINE_NO_308 = "Wine's WinHTTP returns a 308 as the response; WinHTTP follows it as it does a 307"
WINE_BIG_LENGTH = ("Wine's WinHTTP clamps a Content-Length above 32 bits to 2147483647 instead of failing "
                   "the number query, and ends the body quietly on the early clean close")
WINE_BAD_LENGTH = ("Wine's WinHTTP reads the leading digits of a Content-Length such as \"12abc\" "
                   "as the number instead of failing the query")
WINE_NEGATIVE_LENGTH = ("Wine's WinHTTP reads a Content-Length of \"-5\" as 4294967291 and the body to the "
                        "close")
WINE_WORD_LENGTH = "Wine's WinHTTP reads a Content-Length of \"abc\" as 0 and so reads no body"
# The stand-in's one known difference from WinHTTP.
STAND_IN_NO_NUMBER = ("libcurl refuses a Content-Length that holds no number and fails the receive step; "
                      "the stand-in leaves bodies framed by libcurl, which keeping connections needs")
NO_NUMBER_FAILS = {"send": 0, "body": 0}
WINE_ONE_POOL = ("Wine's WinHTTP keeps one pool of connections for the whole process, so a second "
                 "session takes a connection the first one left; WinHTTP keeps a pool per session")
WINE_ONE_TLS_ERROR = ("Wine's WinHTTP verifies the certificate (12045 for a foreign CA, 12038 for another "
                      "name) or meets the peer's protocol-version alert, then fails the send step with "
                      "ERROR_WINHTTP_SECURE_CHANNEL_ERROR (12157) and no secure-failure notification; "
                      "Windows names the fault in the notification's flags")
ONE_REDIRECT_ERROR = ("WinHTTP gives ERROR_WINHTTP_REDIRECT_FAILED (12156) both for a refused change of scheme "
                      "and for too many redirects, so the Windows build names either an insecure redirect")
WINE_NO_HEADER_BOUND = ("Wine's WinHTTP has no bound on a response's headers (Windows: 64 KiB): endless "
                        "headers hold the exchange for as long as they come, a huge one is accepted")

def reuse(name, path, after=None, same=False, expect=None, pre=None):
    case = dict(name=name, group="reuse", url="https://keep.test" + path, pre=pre or [],
                expect=expect or ok(4, b"kept"))
    if after:
        case["check"] = conn_vs(after, path, same)
    return case


# group: the probe run the case belongs to: "probe" (PROBE_TIMEOUTS), "range"
# (PROBE_TIMEOUTS and the Range header), "download" (DOWNLOAD_TIMEOUTS).
CASES = [
    dict(name="200 passes", group="probe", url="https://s.test/200", expect=ok(5, b"hello")),
    dict(name="206 passes", group="probe", url="https://s.test/206", expect=ok(16384, pattern(16384), status=206)),
    dict(name="nginx 206 for the probe range", group="range", url="https://files.test/file.bin",
         expect=ok(16384, pattern(16384, 7), status=206)),
    dict(name="204 fails", group="probe", url="https://s.test/204", expect=refused(204)),
    dict(name="301 without location fails", group="probe", url="https://s.test/301", expect=refused(301),
         wine=dict(expect=refused(fail="other"), reason=WINE_NO_LOCATION)),
    dict(name="301 with empty location fails", group="probe", url="https://s.test/301empty",
         expect=refused(301), wine=dict(expect=refused(404), reason=WINE_EMPTY_LOCATION)),
    dict(name="404 fails", group="probe", url="https://s.test/404", expect=refused(404, fail="none")),
    dict(name="500 fails", group="probe", url="https://s.test/500", expect=refused(500)),
    dict(name="redirects across hosts reach the final response", group="download", url="https://s.test/x1",
         expect=ok(FILE_SIZE, pattern(FILE_SIZE, 7)),
         check=visited(("s.test", "/x1"), ("hop.test", "/x2"), ("files.test", "/file.bin"))),
    dict(name="308 is followed", group="probe", url="https://s.test/p308", expect=ok(10, b"moved here"),
         wine=dict(expect=refused(308), reason=WINE_NO_308)),
    dict(name="ten redirects are followed", group="probe", url="https://s.test/c/1",
         expect=ok(9, b"chain end"), check=hits("s.test", "/c/", 11)),
    dict(name="an eleventh redirect fails", group="download", url="https://s.test/c/0",
         expect={"send": 0, "end": "none", "fail": "other"},
         wine=dict(expect={"send": 0, "end": "none", "fail": "insecure_redirect"}, reason=ONE_REDIRECT_ERROR)),
    dict(name="https to http redirect fails", group="probe", url="https://s.test/tohttp",
         expect=refused(302, fail="insecure_redirect"), check=hits("s.test", "/never", 0),
         wine=dict(expect=refused(fail="insecure_redirect"), reason=WINE_TO_HTTP)),
    dict(name="request headers without Range", group="probe", url="https://s.test/hdr",
         expect=ok(1, b"x"), check=exact_headers(False)),
    dict(name="request headers with the probe Range", group="range", url="https://s.test/hdr?r",
         expect=ok(1, b"x"), check=exact_headers(True)),
    dict(name="TLS 1.2 server passes", group="probe", url="https://tls12.test/", expect=ok(5, b"tls12")),
    dict(name="TLS 1.3-only server fails", group="probe", url="https://tls13.test/",
         expect=refused(fail="tls_version"),
         wine=dict(expect=refused(fail="tls"), reason=WINE_ONE_TLS_ERROR)),
    dict(name="TLS 1.0-only server fails", group="probe", url="https://tls10.test/",
         expect=refused(fail="tls_version"),
         wine=dict(expect=refused(fail="tls"), reason=WINE_ONE_TLS_ERROR)),
    dict(name="certificate from a foreign CA fails", group="probe", url="https://foreign.test/",
         expect=refused(fail="tls_untrusted"),
         wine=dict(expect=refused(fail="tls"), reason=WINE_ONE_TLS_ERROR)),
    dict(name="certificate for another name fails", group="probe", url="https://wrongname.test/",
         expect=refused(fail="tls_name"),
         wine=dict(expect=refused(fail="tls"), reason=WINE_ONE_TLS_ERROR)),
    dict(name="port suffix is no port", group="probe", url="https://s.test:8443/200",
         expect=refused(fail="dns")),
    dict(name="unknown name fails unresolved", group="probe", url="https://nosuch.test/",
         expect=refused(fail="dns"), max_ms=MARGIN_MS),
    dict(name="refused host fails at once", group="probe", url="https://refuse.test/",
         expect=refused(fail="refused"), max_ms=MARGIN_MS),
    dict(name="Content-Length absent gives 0 (close-delimited)", group="probe", url="https://s.test/nolen",
         expect=ok(3000, pattern(3000), length=0)),
    dict(name="Content-Length absent gives 0 (chunked)", group="download", url="https://s.test/chunked",
         expect=ok(70000, pattern(70000), length=0)),
    dict(name="empty body ends at once", group="probe", url="https://s.test/zero", expect=ok(0, b"")),
    dict(name="nginx whole file through the staging area", group="download", url="https://files.test/big.bin",
         expect=ok(BIG_SIZE, pattern(BIG_SIZE, 3))),
    # WinHTTP's default bound on a response's headers is 64 KiB; the world sends
    # endless headers at about 8 KB/s, so the bound is met after about 8 s.
    dict(name="endless headers fail at the header bound", group="probe", url="https://s.test/endlesshdr",
         expect=refused(), max_ms=ENDLESS_HEADER_MS + MARGIN_MS, wine=dict(skip=True, reason=WINE_NO_HEADER_BOUND)),
    dict(name="a header line of megabytes fails", group="probe", url="https://s.test/hugehdr",
         expect=refused(), max_ms=MARGIN_MS, wine=dict(expect=ok(3, b"abc"), reason=WINE_NO_HEADER_BOUND)),
    dict(name="unparsable Content-Length gives 0 (close-delimited body)", group="probe",
         url="https://s.test/badlen", expect=ok(3, b"xyz", length=0),
         wine=dict(expect=ok(3, b"xyz", length=12), reason=WINE_BAD_LENGTH)),
    dict(name="negative Content-Length gives 0 (close-delimited body)", group="probe",
         url="https://s.test/neglen", expect=ok(3, b"xyz", length=0),
         native=dict(expect=NO_NUMBER_FAILS, reason=STAND_IN_NO_NUMBER),
         wine=dict(expect=ok(3, b"xyz", length=4294967291), reason=WINE_NEGATIVE_LENGTH)),
    dict(name="Content-Length without digits gives 0 (close-delimited body)", group="probe",
         url="https://s.test/wordlen", expect=ok(3, b"xyz", length=0),
         native=dict(expect=NO_NUMBER_FAILS, reason=STAND_IN_NO_NUMBER),
         wine=dict(expect=ok(0, b"", length=0), reason=WINE_WORD_LENGTH)),
    dict(name="Content-Length above 32 bits gives 0", group="probe", url="https://s.test/hugelen",
         expect={"send": 1, "status": 200, "length": 0, "end": "fail"},
         wine=dict(expect={"send": 1, "status": 200, "length": 2147483647, "end": "end"}, reason=WINE_BIG_LENGTH)),
    dict(name="clean close before the declared length is a broken body", group="probe",
         url="https://s.test/trunc",
         expect={"send": 1, "length": 50000, "body": 1000, "end": "fail", "fail": "transfer"},
         wine=dict(expect={"send": 1, "length": 50000, "body": 1000, "end": "end", "fail": "none"},
                   reason=WINE_EARLY_CLOSE)),
    # The server pauses before its reset, which would otherwise drop unread bytes.
    dict(name="reset mid-body is a broken body", group="probe", url="https://s.test/reset",
         expect={"send": 1, "length": 50000, "body": 1000, "end": "fail", "fail": "transfer"}),
    dict(name="stall mid-body fails within the receive time", group="probe", url="https://s.test/stall",
         expect={"send": 1, "length": 100000, "body": 1000, "end": "fail", "fail": "timeout"},
         min_ms=PROBE["receive"] - 200, max_ms=PROBE["receive"] + MARGIN_MS),
    dict(name="stall before the headers fails within the receive time", group="probe",
         url="https://s.test/slowhead", expect=refused(fail="timeout"),
         min_ms=PROBE["receive"] - 200, max_ms=PROBE["receive"] + MARGIN_MS),
    dict(name="a head that trickles fails within the receive time", group="probe",
         url="https://s.test/tricklehead", expect=refused(fail="timeout"),
         min_ms=PROBE["receive"] - 200, max_ms=PROBE["receive"] + MARGIN_MS,
         wine=dict(expect=cause(ok(4, b"late"), "none"), min_ms=6000 - 200, max_ms=6000 + MARGIN_MS,
                   reason=WINE_HEAD_TRICKLE)),
    # 32 s of interim heads: a bound restarted at each would wait them all out.
    dict(name="interim heads every 2 s fail within the receive time", group="probe",
         url="https://s.test/hints", expect=refused(fail="timeout"),
         min_ms=PROBE["receive"] - 200, max_ms=PROBE["receive"] + MARGIN_MS,
         wine=dict(expect=refused(103, fail="none"), min_ms=2000 - 200, max_ms=2000 + MARGIN_MS,
                   reason=WINE_INTERIM_HEAD)),
    dict(name="dropped packets fail within the connect time", group="probe", url="https://drop.test/",
         expect=refused(fail="timeout"), min_ms=PROBE["connect"] - 200, max_ms=PROBE["connect"] + MARGIN_MS),
    # Connection reuse, one session and one host, in this order: each case
    # against an earlier one.
    reuse("first exchange to a host", "/first"),
    reuse("a body read to its end leaves its connection", "/kept", after="/first", same=True),
] + [reuse("a long body read to its end (%d bytes)" % n, "/long/%d" % n, expect=ok(n, pattern(n)),
            pre=["--pace", "5"] if n == LONG_SIZES[0] else None) for n in LONG_SIZES] + [
    dict(reuse("long bodies read to their end leave their connection", "/kept2", pre=["--pace", "0"]),
         check=one_connection(["/kept"] + ["/long/%d" % n for n in LONG_SIZES] + ["/kept2"])),
    reuse("body left unread", "/unread", pre=["--cap", "1"], expect={"send": 1, "end": "cap"}),
    reuse("a body left unread takes its connection along", "/a1", after="/unread",
          pre=["--cap", str(BIG_SIZE)]),
    reuse("Connection: close", "/close", expect=ok(3, b"bye")),
    reuse("a closed connection is not used again", "/a2", after="/close"),
    reuse("a failed body", "/stall", expect={"send": 1, "end": "fail"}),
    reuse("a failed exchange takes its connection along", "/a3", after="/stall"),
    dict(reuse("a second session has connections of its own", "/other", after="/a3", pre=["--session", "1"]),
         wine=dict(check=conn_vs("/a3", "/other", True), reason=WINE_ONE_POOL)),
]


def parse_lines(text):
    out = {}
    for line in text.decode("utf-8", "replace").replace("\r\n", "\n").split("\n"):
        if not line.startswith("url="):
            continue
        fields = dict(tok.split("=", 1) for tok in line.split(" ") if "=" in tok)
        for k in ("begin", "send", "status", "length", "body", "ms"):
            if k in fields:
                fields[k] = int(fields[k])
        out[fields["url"]] = fields
    return out


def judge(case, backend, got, reqs):
    spec = dict(case)
    note = ""
    if backend in case:
        spec.update(case[backend])
        note = " [%s: %s]" % ("Wine" if backend == "wine" else "stand-in", case[backend]["reason"])
    if got is None:
        return False, "no output line", note
    problems = []
    for k, v in spec["expect"].items():
        if got.get(k) != v:
            problems.append("%s=%s want %s" % (k, got.get(k), v))
    if "min_ms" in spec and got["ms"] < spec["min_ms"]:
        problems.append("ms=%d below %d" % (got["ms"], spec["min_ms"]))
    if "max_ms" in spec and got["ms"] > spec["max_ms"]:
        problems.append("ms=%d above %d" % (got["ms"], spec["max_ms"]))
    if "check" in spec:
        msg = spec["check"](reqs)
        if msg:
            problems.append(msg)
    return not problems, "; ".join(problems), note


def make_files(directory):
    with open(os.path.join(directory, "file.bin"), "wb") as f:
        f.write(pattern(FILE_SIZE, 7))
    with open(os.path.join(directory, "big.bin"), "wb") as f:
        f.write(pattern(BIG_SIZE, 3))
    os.chmod(directory, 0o755)


def run_backend(backend, probe, config, logs_root, wineprefix, cases):
    results = []
    groups = []
    for c in cases:
        if c["group"] not in groups:
            groups.append(c["group"])
    for group in groups:
        members = [c for c in cases if c["group"] == group]
        args = {"probe": ["--profile", "probe"], "range": ["--profile", "probe", "--range"],
                "download": ["--profile", "download"], "reuse": ["--profile", "probe"]}[group]
        urls = [word for c in members for word in c.get("pre", []) + [c["url"]]]
        logs = os.path.join(logs_root, "%s-%s" % (backend, group))
        world = World(config, logs)
        if backend == "wine":
            cmd = ["wine", probe] + args + urls
            env = {"WINEPREFIX": wineprefix, "WINEDEBUG": "-all"}
        else:
            cmd = [probe] + args + urls
            env = {}
        code, out, err, elapsed = world.run(cmd, env=env, pid=backend == "wine")
        lines = parse_lines(out)
        reqs = world.requests()
        if code != 0:
            sys.stderr.write("%s/%s: exit %s after %.1fs\n%s\n" % (
                backend, group, code, elapsed, err.decode("utf-8", "replace")[-2000:]))
        for c in members:
            passed, why, note = judge(c, backend, lines.get(c["url"]), reqs)
            results.append((c, passed, why, note, lines.get(c["url"])))
    return results


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--native", default=os.path.join(ROOT, "build/debug/tests/conformance/transport_probe"))
    ap.add_argument("--windows",
                    default=os.path.join(ROOT, "build/windows/tests/conformance/transport_probe.exe"))
    ap.add_argument("--backend", choices=["native", "wine", "both"], default="both")
    ap.add_argument("--wineprefix", default=os.environ.get("WINEPREFIX") or os.path.join(
        ROOT, "build", "wine-prefix"))
    ap.add_argument("--logs", default=None, help="keep the world logs here")
    ap.add_argument("--only", default=None, help="run the cases whose name holds this text")
    a = ap.parse_args(argv)

    cases = [c for c in CASES if a.only is None or a.only in c["name"]]
    backends = ["native", "wine"] if a.backend == "both" else [a.backend]
    logs_root = a.logs or tempfile.mkdtemp(prefix="conformance-logs-")
    files = tempfile.mkdtemp(prefix="conformance-files-")
    make_files(files)
    config = world_config(files)

    # The backends share nothing (only the Wine one uses the Wine prefix), so
    # they run side by side; their lines come in backend order.
    outputs = {}

    def run(backend):
        lines, failures = [], 0
        probe = os.path.abspath(a.native if backend == "native" else a.windows)
        if not os.path.exists(probe):
            outputs[backend] = (["FAIL %-6s (all cases): %s not built" % (backend, probe)], 0, len(cases))
            return
        runnable = []
        for c in cases:
            if backend == "wine" and c.get("wine", {}).get("skip"):
                lines.append("SKIP %-6s %s [Wine: %s]" % (backend, c["name"], c["wine"]["reason"]))
            else:
                runnable.append(c)
        passes = 0
        for c, good, why, note, got in run_backend(backend, probe, config, logs_root, a.wineprefix, runnable):
            shown = "" if got is None else " send=%s status=%s length=%s body=%s end=%s ms=%s fail=%s" % (
                got.get("send"), got.get("status"), got.get("length"), got.get("body"), got.get("end"),
                got.get("ms"), got.get("fail"))
            lines.append("%s %-6s %s:%s%s%s" % ("PASS" if good else "FAIL", backend, c["name"], shown,
                                                 "" if good else "  <- " + why, note))
            if good:
                passes += 1
            else:
                failures += 1
        outputs[backend] = (lines, passes, failures)

    threads = [threading.Thread(target=run, args=(b,)) for b in backends]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    passed = failed = 0
    for backend in backends:
        lines, passes, failures = outputs.get(backend, (["FAIL %-6s (all cases): raised" % backend], 0, 1))
        print("\n".join(lines))
        passed += passes
        failed += failures
    print("logs in %s" % logs_root)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
