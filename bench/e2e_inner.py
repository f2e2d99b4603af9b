#!/usr/bin/env python3
"""Driver of bench/e2e: sets up the world once per file and measures inside it."""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "world"))
import program_table  # noqa: E402
from world import World  # noqa: E402

STAGE2, STAGE3, STAGE4 = b"[2/4]", b"[3/4]", b"[4/4]"
RUNS = int(os.environ.get("RUNS", "5"))


def run_marked(cmd, env, markers):
    """Runs cmd line-buffered (stdbuf) and notes when each marker first shows
    on its standard output; returns (elapsed, {marker: seconds from start}, exit code)."""
    t0 = time.perf_counter()
    p = subprocess.Popen(["stdbuf", "-oL"] + cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seen, buf = {}, b""
    while True:
        chunk = os.read(p.stdout.fileno(), 65536)
        if not chunk:
            break
        buf = buf[-16:] + chunk
        now = time.perf_counter() - t0
        for m in markers:
            if m not in seen and m in buf:
                seen[m] = now
    p.wait()
    return time.perf_counter() - t0, seen, p.returncode


def inner(args):
    """Runs inside the world: every measurement, one JSON line out."""
    program, url, name, out_dir = args

    def timed(cmd, env=None):
        t0 = time.perf_counter()
        p = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if p.returncode != 0:
            raise SystemExit("%s failed: %s %s" % (cmd[0], p.returncode, p.stderr[-500:]))
        return time.perf_counter() - t0

    def rss(cmd, env=None):
        # GNU time's own fork is small. A child forked from this interpreter
        # would carry the interpreter's resident pages into ru_maxrss.
        with tempfile.NamedTemporaryFile("r") as out:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name] + cmd, env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return int(out.read().split()[-1])

    def fresh():
        if os.path.exists(target):
            os.remove(target)

    target = os.path.join(out_dir, name)
    env = dict(os.environ, TMPDIR=out_dir)
    curl = ["curl", "-s", "--http1.1", "--tlsv1.2", "--tls-max", "1.2", "-o", target, url]
    tools = {"curl_openssl": [curl, ["openssl", "dgst", "-sha256", target]],
             "curl_sha256sum": [curl, ["sha256sum", target]], "curl": [curl]}
    def measure(key):
        """One run of a contender: its samples by name."""
        if key != "ours":
            return {key: sum(timed(step, env) for step in tools[key])}
        total, seen, code = run_marked([program], env, [STAGE3, STAGE4])
        if code != 0 or STAGE4 not in seen:
            raise SystemExit("our run failed: %s" % code)
        return {"ours": total, "ours_download": seen[STAGE4] - seen[STAGE3]}

    samples = {k: [] for k in ["ours", "ours_download"] + list(tools)}
    contenders = ["ours"] + list(tools)
    # One warm-up round is thrown away; then each round starts with the next
    # contender, so none always meets the page cache first.
    for round_index in range(RUNS + 1):
        order = contenders[round_index % len(contenders):] + contenders[:round_index % len(contenders)]
        for key in order:
            fresh()
            measured = measure(key)
            if round_index > 0:
                for name, value in measured.items():
                    samples[name].append(value)
    results = {k: statistics.median(v) for k, v in samples.items()}
    results.update({"best_" + k: min(v) for k, v in samples.items()})
    # Peak RSS moves by a few hundred KiB between runs: median of three each.
    peaks = {"rss_ours_kib": [], "rss_curl_kib": []}
    for _ in range(3):
        for key, cmd in (("rss_ours_kib", [program]), ("rss_curl_kib", curl)):
            fresh()
            peaks[key].append(rss(cmd, env))
    fresh()
    results.update({k: statistics.median(v) for k, v in peaks.items()})
    print(json.dumps(results))


def probe_inner(program):
    """Inside the world: the probe stage's time, from its header to what follows
    it (the download header or the error lines), median of RUNS."""
    samples = []
    for _ in range(RUNS):
        total, seen, _code = run_marked([program], dict(os.environ), [STAGE2, STAGE3, "错误".encode()])
        end = min(v for k, v in seen.items() if k != STAGE2) if len(seen) > 1 else total
        samples.append(end - seen.get(STAGE2, 0.0))
    print(statistics.median(samples))


def world_run(config, cmd, env):
    code, out, err, elapsed = World(config, None).run(cmd, env)
    if code != 0:
        raise SystemExit("world run failed (%s): %s %s" % (code, out[-2000:], err[-2000:]))
    return out


def main():
    program = os.path.join(ROOT, "build", "release", "varnel-setup")
    fixture = os.path.join(ROOT, "build", "debug", "tests", "varnel-fixture")
    work = tempfile.mkdtemp(prefix="varnel-bench-")
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
    env = {"PATH": bin_dir + ":" + os.environ["PATH"]}
    rows = []
    sizes = [("7.5 MB", 7532411), ("1 GiB", 1 << 30)]
    # ONLY_SMALL=1: the small file alone, for quick looks at memory.
    for label, size in sizes[:1] if os.environ.get("ONLY_SMALL") else sizes:
        site = os.path.join(work, "site-" + str(size))
        name = "Varnel-9.0.%d-setup.exe" % (size % 97)
        # The first mirror and the first node, served by nginx from one site.
        (host, manifest_path), (node_host, node_path) = program_table.mirror_paths()[0], \
            program_table.node_paths("9.0", name)[0]
        served, manifest = site + node_path, site + manifest_path
        for path in (served, manifest):
            os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.check_call([fixture, served, str(size)])
        digest = subprocess.check_output(["sha256sum", served]).split()[0].decode()
        # The served file's write-back would otherwise run during the first rounds.
        os.sync()
        with open(manifest, "w") as f:
            f.write("v9.0\n%s\n%d\n%s\n" % (name, size, digest))
        out_dir = os.path.join(work, "out")
        os.makedirs(out_dir, exist_ok=True)
        config = {"hosts": {h: {"server": "nginx", "root": site} for h in (host, node_host)}, "timeout_s": 1800}
        url = "https://%s%s" % (node_host, node_path)
        out = world_run(config, [sys.executable, os.path.abspath(__file__), "--inner", program, url, name, out_dir],
                        env)
        r = json.loads(out.decode().strip().splitlines()[-1])
        rows.append((label, r))
        subprocess.call(["rm", "-rf", site])
    # The probe stage alone: six live nodes, then six refusing ones.
    probe = {}
    hosts_live = {h: {"server": "fault", "routes": [{"path": "*", "body_size": 65536}]}
                  for h, _ in program_table.node_paths("9.0", "x.exe")}
    for label, hosts in (("six live nodes", hosts_live), ("six refusing nodes", {})):
        out = world_run({"hosts": hosts}, [sys.executable, os.path.abspath(__file__), "--probe", program], env)
        probe[label] = float(out.decode().strip().splitlines()[-1])
    subprocess.call(["rm", "-rf", work])

    print("%-8s %10s %10s %12s %14s %8s %10s %10s" % ("file", "ours s", "curl s", "curl+openssl", "curl+sha256sum",
                                                      "ratio", "rss ours", "rss curl"))
    for label, r in rows:
        print("%-8s %10.3f %10.3f %12.3f %14.3f %8.3f %8d K %8d K" % (
            label, r["ours"], r["curl"], r["curl_openssl"], r["curl_sha256sum"], r["ours"] / r["curl_openssl"],
            r["rss_ours_kib"], r["rss_curl_kib"]))
        print("%-8s download stage %.3f s, / curl alone %.3f (target <= 1.1)" % (
            label, r["ours_download"], r["ours_download"] / r["curl"]))
        # Best of the rounds: what the programs cost when the machine lets them.
        print("%-8s best of %d: ours %.3f s, curl+openssl %.3f s (ratio %.3f), download stage / curl %.3f" % (
            label, RUNS, r["best_ours"], r["best_curl_openssl"], r["best_ours"] / r["best_curl_openssl"],
            r["best_ours_download"] / r["best_curl"]))
    if len(rows) == 2:
        print("whole run / (curl + openssl), 1 GiB: %.3f (target <= 1.05)" % (
            rows[1][1]["ours"] / rows[1][1]["curl_openssl"]))
        print("peak RSS 1 GiB - 7.5 MB: %d KiB (target within 1024)" % (
            rows[1][1]["rss_ours_kib"] - rows[0][1]["rss_ours_kib"]))
    for label, seconds in probe.items():
        print("probe stage with %s: %.3f s" % (label, seconds))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--inner":
        inner(sys.argv[2:])
    elif len(sys.argv) > 1 and sys.argv[1] == "--probe":
        probe_inner(sys.argv[2])
    else:
        main()
