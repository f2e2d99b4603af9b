#!/usr/bin/env python3
"""Runs the given program in a private network world made to show the whole
job: a mirror that answers 404, one that serves the manifest, six nodes of
different speeds (one of them breaks mid-transfer, one refuses), and a
stand-in xdg-open that says what it would open."""
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from run_e2e import BUILTIN, MANIFEST_PATHS, Release, fixture_bytes  # noqa: E402


def main():
    program = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="varnel-demo-")
    fixture = Release(*BUILTIN, fixture_bytes())
    path = os.path.join(work, fixture.name)
    with open(path, "wb") as f:
        f.write(fixture.data)
    nodes = fixture.node_paths()
    hosts = {}

    def add(where, **route):
        host, route["path"] = where
        hosts.setdefault(host, {"server": "fault", "routes": []})["routes"].append(route)

    add(MANIFEST_PATHS[0], status=404)
    add(MANIFEST_PATHS[1], body=fixture.manifest(crlf=True))
    # Fastest, but it breaks a third of the way through.
    add(nodes[0], body_file=path, truncate_after=2500000, throttle_bps=4000000)
    add(nodes[1], status=302, delay_ms=120,
        headers=[["Location", "https://objects.githubusercontent.com/releases/" + fixture.name]])
    add(("objects.githubusercontent.com", "/releases/" + fixture.name), body_file=path, throttle_bps=3000000)
    add(nodes[2], body_file=path, delay_ms=260, throttle_bps=3000000)
    hosts[nodes[3][0]] = {"server": "refuse"}
    add(nodes[4], body_file=path, delay_ms=450)
    add(nodes[5], body_file=path, delay_ms=60, throttle_bps=3000000)
    config = os.path.join(work, "world.json")
    with open(config, "w") as f:
        json.dump({"hosts": hosts, "timeout_s": 120}, f)
    bin_dir = os.path.join(work, "bin")
    os.mkdir(bin_dir)
    with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
        f.write('#!/bin/sh\necho "   (xdg-open stand-in: the shell would now open $1)"\n')
    os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
    tmp = os.path.join(work, "tmp")
    os.mkdir(tmp)
    cmd = [sys.executable, os.path.join(ROOT, "tests", "world", "world.py"), "run", "--config", config,
           "--env", "PATH=%s:%s" % (bin_dir, os.environ.get("PATH", "/usr/bin:/bin")), "--env", "TMPDIR=" + tmp,
           "--", program]
    code = subprocess.call(cmd)
    print("\n(exit code %d)" % code)
    subprocess.call(["rm", "-rf", work])
    return code


if __name__ == "__main__":
    sys.exit(main())
