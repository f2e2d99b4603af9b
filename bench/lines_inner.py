#!/usr/bin/env python3
"""Driver of bench/lines: one private network world per line shape, the
program run once in each."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "world"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from fault_server import pattern_bytes  # noqa: E402
from run_e2e import MANIFEST_PATHS, Release  # noqa: E402
from world import World, prepare_wine  # noqa: E402

SIZE = 6 << 20
# The line's pace where it is fast: the file in 12 s.
LINE_BPS = 512 << 10
# The file in 140 s: past one window and the rest limit (15 s + 120 s), the
# least at which a node going at the line's own pace can be given up.
SLOW_BPS = SIZE // 140
CRAWL_BPS = 16 << 10
BURST_BYTES = 2 << 20
PAUSE_AFTER = 4 << 20
PAUSE_S = 20
# Probe delays by rank, so the walk goes A, B, C...; the downloads get none.
RANK_STEP_MS = 150
BOUND_S = 400

HEADER3 = "[3/4] 通过最快可用节点下载 / Downloading via node: "
VERIFIED = "校验通过 / Verified"
FAILED = "Node failed or incomplete, switching..."


def paced(bps, **fields):
    return dict(body_size=SIZE, throttle_bps=bps, **fields)


# (shape, the line's own time for the file in seconds, what candidates A-F
# serve; None refuses). The line's time is the release size over the pace the
# shape sets for the line itself; a node slower than the line is that node's
# fault, not the line's.
SHAPES = [
    # The fast nodes' time.
    ("one node throttled", SIZE / LINE_BPS, [paced(CRAWL_BPS)] + [paced(LINE_BPS)] * 5),
    # The common pace's time.
    ("every node equally slow", SIZE / SLOW_BPS, [paced(SLOW_BPS)] * 6),
    # A crawls once its first 2 MiB are out at the line's pace: the others' time.
    ("burst then throttle", SIZE / LINE_BPS,
     [paced(CRAWL_BPS, burst_bytes=BURST_BYTES, burst_bps=LINE_BPS)] + [paced(LINE_BPS)] * 5),
    # The line stops for 20 s during A's body: its time holds the pause.
    ("pause", SIZE / LINE_BPS + PAUSE_S,
     [paced(LINE_BPS, stall_after=PAUSE_AFTER, stall_ms=PAUSE_S * 1000, stall_then="continue")] +
     [paced(LINE_BPS)] * 5),
    # A stops for 16 s once 95 % is out, within the receive timeout: its time
    # holds the pause.
    ("16 s pause at 95 %", SIZE / LINE_BPS + 16,
     [paced(LINE_BPS, stall_after=SIZE * 95 // 100, stall_ms=16000, stall_then="continue")] +
     [paced(LINE_BPS)] * 5),
    # B resets after 256 KiB; A, the only whole node, is the line: its time.
    ("broken behind slow", SIZE / SLOW_BPS,
     [paced(SLOW_BPS), paced(SLOW_BPS, reset_after=256 << 10)] + [None] * 4),
    # A, the fastest, is given up with nothing measured yet; B, the last, runs
    # at a quarter of A's pace: A's own time, as the walk goes back to it.
    ("fastest first, slower last", SIZE / SLOW_BPS, [paced(SLOW_BPS), paced(SLOW_BPS // 4)] + [None] * 4),
    # B to E at 40 % of A's pace, each given up while one is untried: A's time.
    ("fastest first, four at 40 %", SIZE / SLOW_BPS,
     [paced(SLOW_BPS)] + [paced(SLOW_BPS * 2 // 5)] * 4 + [None]),
]


def world_hosts(release, behaviours):
    hosts = {}

    def add(host, route):
        hosts.setdefault(host, {"server": "fault", "routes": []})["routes"].append(route)

    add(MANIFEST_PATHS[0][0], {"path": MANIFEST_PATHS[0][1], "body": release.manifest()})
    for rank, ((host, path), fields) in enumerate(zip(release.node_paths(), behaviours)):
        if fields is None:
            continue
        # A path's first hit is the probe.
        add(host, {"path": path, "when_hit": [1], "body_size": SIZE, "range": "honour",
                   "delay_ms": rank * RANK_STEP_MS})
        add(host, dict(fields, path=path))
    return hosts


def inner(cmd):
    """Inside the world: runs cmd line-buffered and notes when the first
    download header and the verified line show; one JSON line out."""
    t0 = time.monotonic()
    p = subprocess.Popen(["stdbuf", "-oL"] + cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    buf, seen = b"", {}
    marks = (("download", HEADER3.encode()), ("verified", VERIFIED.encode()))
    while True:
        chunk = os.read(p.stdout.fileno(), 65536)
        if not chunk:
            break
        buf += chunk
        for key, mark in marks:
            if key not in seen and mark in buf:
                seen[key] = time.monotonic() - t0
    print(json.dumps({"code": p.wait(), "seen": seen, "text": buf.decode("utf-8", "replace")}))


def given_up(text):
    """The label of every attempt that ended in the failure line, in order."""
    out = []
    for attempt in text.replace("\r\n", "\n").split(HEADER3)[1:]:
        if FAILED in attempt:
            out.append(attempt.split("\n", 1)[0].split("/")[-1])
    return out


def wine_env():
    prefix = os.environ.get("WINEPREFIX", os.path.join(ROOT, "build", "wine-prefix"))
    return {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def main(argv):
    builds = [("native", [os.path.join(ROOT, "build", "release", "varnel-setup")], None)]
    if "--wine" in argv:
        env = wine_env()
        temp = os.path.join(env["WINEPREFIX"], "drive_c", "users", os.environ.get("USER", "root"), "Temp")
        builds.append(("wine", ["wine", os.path.join(ROOT, "build", "windows", "varnel-setup.exe")], temp))
    # Any other argument: only the shapes whose name holds it.
    only = next((a for a in argv if not a.startswith("--")), None)
    release = Release("9.1.0", "Varnel-9.1.0-setup.exe", pattern_bytes(0, SIZE))
    work = tempfile.mkdtemp(prefix="varnel-lines-")
    bin_dir, tmp = os.path.join(work, "bin"), os.path.join(work, "tmp")
    os.makedirs(bin_dir)
    os.makedirs(tmp)
    with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
    print("release %d bytes; line %d KiB/s where fast (the file in %.0f s), %.1f KiB/s where slow (in %.0f s);"
          % (SIZE, LINE_BPS >> 10, SIZE / LINE_BPS, SLOW_BPS / 1024.0, SIZE / SLOW_BPS))
    print("crawl %d KiB/s; burst %d MiB; pause %d s after %d MiB. Time to verified: from the first download"
          % (CRAWL_BPS >> 10, BURST_BYTES >> 20, PAUSE_S, PAUSE_AFTER >> 20))
    print("header to the verified line. Given up: the attempts that ended in the failure line.")
    for build, cmd, wine_temp in builds:
        env = {"PATH": bin_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"), "TMPDIR": tmp}
        if wine_temp:
            env.update(wine_env())
        print("\n%s\n%-26s %8s %12s %7s  %s" % (build, "shape", "line s", "verified s", "ratio", "given up"))
        for name, line_s, behaviours in [s for s in SHAPES if not only or only in s[0]]:
            if wine_temp:
                # Its server must not outlive a world.
                prepare_wine(dict(os.environ, **env))
            world = World({"hosts": world_hosts(release, behaviours), "timeout_s": BOUND_S})
            code, out, err, elapsed = world.run([sys.executable, os.path.abspath(__file__), "--inner"] + cmd, env,
                                                pid=bool(wine_temp))
            shutil.rmtree(world.logs_dir, ignore_errors=True)
            for d in (tmp, wine_temp):
                if d and os.path.exists(os.path.join(d, release.name)):
                    os.remove(os.path.join(d, release.name))
            try:
                r = json.loads(out.decode().strip().splitlines()[-1])
            except (ValueError, IndexError):
                print("%-26s %8.1f   world run ended %s after %.0f s" % (name, line_s, code, elapsed))
                continue
            seen = r["seen"]
            labels = given_up(r["text"])
            if "verified" in seen:
                took = seen["verified"] - seen["download"]
                figures = "%12.1f %7.2f" % (took, took / line_s)
            else:
                figures = "%12s %7s" % ("-", "-")
            listed = " (%s)" % ", ".join(labels) if labels else ""
            print("%-26s %8.1f %s  %d%s%s" % (name, line_s, figures, len(labels), listed,
                                              "" if "verified" in seen else "  (nothing verified, exit %d)"
                                              % r["code"]))
            sys.stdout.flush()
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--inner":
        inner(sys.argv[2:])
    else:
        main(sys.argv[1:])
