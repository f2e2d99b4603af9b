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
from run_e2e import BUILTIN, Release, fixture_bytes  # noqa: E402


def main():
    program = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="varnel-demo-")
    fixture = Release(*BUILTIN, fixture_bytes())
    path = os.path.join(work, fixture.name)
    with open(path, "wb") as f:
        f.write(fixture.data)
    paths = dict(fixture.node_paths())
    rel = fixture.release_path()

    hosts = {
        "www.modelscope.cn": {"server": "fault", "routes": [
            {"path": "/datasets/varnel/releases/resolve/master/manifest.txt", "status": 404},
            # Fastest, but it breaks a third of the way through.
            {"path": paths["www.modelscope.cn"], "body_file": path, "truncate_after": 2500000, "throttle_bps": 4000000}]},
        "varnel.dev": {"server": "fault", "routes": [
            {"path": "/dl/manifest/varnel.txt", "body": fixture.manifest(crlf=True)}]},
        "github.com": {"server": "fault", "routes": [
            {"path": rel, "status": 302, "delay_ms": 120,
             "headers": [["Location", "https://objects.githubusercontent.com/releases/" + fixture.name]]}]},
        "objects.githubusercontent.com": {"server": "fault", "routes": [
            {"path": "/releases/" + fixture.name, "body_file": path, "throttle_bps": 3000000}]},
        "ghfast.top": {"server": "fault", "routes": [
            {"path": "/https://github.com" + rel, "body_file": path, "delay_ms": 260, "throttle_bps": 3000000}]},
        "gh-proxy.com": {"server": "refuse"},
        "ghproxy.net": {"server": "fault", "routes": [
            {"path": "/https://github.com" + rel, "body_file": path, "delay_ms": 450}]},
        "huggingface.co": {"server": "fault", "routes": [
            {"path": paths["huggingface.co"], "body_file": path, "delay_ms": 60, "throttle_bps": 3000000}]},
    }
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
