#!/usr/bin/env python3
"""varnel-release in the network world: the manifest maker, and check against
healthy and broken mirrors and nodes. Native build for every case, the
Windows build under Wine for one smoke run."""
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "world"))
from e2e_cases import manifest_hosts, merge, nodes  # noqa: E402
from run_e2e import MANIFEST_PATHS, Release, forget_fetched_crls  # noqa: E402
from world import World  # noqa: E402

NATIVE = os.environ.get("VARNEL_RELEASE_TOOL", os.path.join(ROOT, "build", "release", "varnel-release"))
WINDOWS = os.path.join(ROOT, "build", "windows", "varnel-release.exe")
BUILDS = ("native", "windows") if os.path.exists(WINDOWS) and shutil.which("wine") else ("native",)
# Builds naming the world's test signer as publisher, and the tiny PE they sign.
SIGNED = {"native": os.path.join(ROOT, "build", "signed-native", "varnel-release"),
          "windows": os.path.join(ROOT, "build", "signed-windows", "varnel-release.exe")}
MARKER = os.path.join(ROOT, "build", "windows", "tests", "marker-installer.exe")


class Check:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="varnel-release-")
        self.failed = 0
        self.passed = 0
        self.new = self.release("3.1.0", bytes(range(256)) * 400)
        self.old = self.release("3.0.0", bytes(range(255, -1, -1)) * 300)
        # 3 MiB: long enough that a node at 16 KiB/s is slow by the installer's rule.
        self.big = self.release("3.2.0", bytes(range(256)) * 12288)

    def release(self, version, data, where=""):
        r = Release(version, "Varnel-%s-setup.exe" % version, data)
        os.makedirs(os.path.join(self.work, where), exist_ok=True)
        r.file = os.path.join(self.work, where, r.name)
        with open(r.file, "wb") as f:
            f.write(data)
        return r

    def expect(self, name, problems):
        if problems:
            self.failed += 1
            print("FAIL " + name)
            for p in problems:
                print("     " + p.replace("\n", "\n     "))
        else:
            self.passed += 1
            print("ok   " + name)
        sys.stdout.flush()

    def tool(self, args, cmd=None):
        p = subprocess.run((cmd or [NATIVE]) + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        return p.returncode, p.stdout, p.stderr.decode()

    def world(self, hosts, cmd):
        tmp = tempfile.mkdtemp(dir=self.work)
        env = {"TMPDIR": tmp}
        if cmd[0] == "wine":
            env.update(WINEPREFIX=os.environ.get("WINEPREFIX", os.path.join(ROOT, "build", "wine-prefix")),
                       WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
            forget_fetched_crls(env["WINEPREFIX"])
        w = World({"hosts": hosts, "timeout_s": 120}, tempfile.mkdtemp(dir=self.work))
        code, out, err, _ = w.run(cmd, env)
        left = os.listdir(tmp)
        if cmd[0] == "wine":
            # Wine takes TEMP from its prefix.
            temp = os.path.join(env["WINEPREFIX"], "drive_c", "users", os.environ.get("USER", "root"), "Temp")
            left = [f for f in os.listdir(temp) if f.startswith("varnel-release")] if os.path.isdir(temp) else []
        return code, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), left

    def manifest_cases(self):
        # The version line as given; the installer drops one leading v or V.
        rest = self.new.manifest().split("\n", 1)[1]
        for version in ("v3.1.0", "V3.1.0", "3.1.0"):
            code, out, err = self.tool(["manifest", "--version", version, self.new.file])
            self.expect("manifest: the four lines of a valid release (--version %s)" % version,
                        [] if (code, out) == (0, (version + "\n" + rest).encode()) else
                        ["exit %d, wrote %r, stderr %r" % (code, out, err)])
        for args, want in ((["--help"], 0), (["help"], 0), (["--nonsense"], 2)):
            code, out, err = self.tool(args)
            where = out if want == 0 else err.encode()
            self.expect("usage: %s exits %d" % (args[0], want),
                        [] if code == want and where.startswith(b"usage: varnel-release") else
                        ["exit %d, stdout %r, stderr %r" % (code, out, err)])
        long_name = os.path.join(self.work, "a" * 93 + ".exe")
        shutil.copy(self.new.file, long_name)
        out_file = os.path.join(self.work, "refused.txt")
        code, out, err = self.tool(["manifest", "--version", "1", long_name, "-o", out_file])
        self.expect("manifest: a 97-character file name refused with its rule",
                    [] if code == 1 and "file name (line 2): not 5 to 96 characters" in err and
                    not os.path.exists(out_file) else ["exit %d, stderr %r" % (code, err)])

    def check(self, name, mirrors, node_fields, exit_code, test, download=True, build="native",
              release=None, tls=None, table=None, cmd=None):
        hosts = merge(manifest_hosts(mirrors), nodes(release or self.new, node_fields))
        for host, mode in (tls or {}).items():
            hosts.setdefault(host, {"server": "fault", "routes": []})["tls"] = mode
        cmd = cmd or (["wine", WINDOWS] if build == "windows" else [NATIVE])
        args = cmd + ["check"] + (["--download"] if download else [])
        problems = []
        if table:
            code, out, err, _ = self.world(hosts, args)
            problems += ["table lacks %r:\n%s" % (t, out) for t in table if t not in out]
        code, out, err, left = self.world(hosts, args + ["--json"])
        if code != exit_code:
            problems.append("exit %d, expected %d\n%s\n%s" % (code, exit_code, out, err))
        try:
            problems += test(json.loads(out))
        except (ValueError, KeyError, IndexError) as e:
            problems.append("report %r: %r" % (e, out))
        if left:
            problems.append("left in the temporary directory: %s" % left)
        self.expect("%s [%s]" % (name, build), problems)

    def check_cases(self):
        good = {i: dict(body=self.new.manifest()) for i in range(5)}
        serve = lambda: [dict(body_file=self.new.file) for _ in range(6)]

        def healthy(r):
            bad = [m["entry"] for m in r["mirrors"] if m["outcome"] != "accepted"]
            bad += [n["label"] for n in r["nodes"] if n["download"]["verdict"] != "good"]
            return ["not all good: %s" % bad] if bad or r["problem_count"] or not r["builtin_older"] else []
        self.check("healthy world", good, serve(), 0, healthy)

        if "windows" in BUILDS:
            self.check("healthy world", good, serve(), 0, healthy, build="windows")

        short = {**good, 2: dict(body=self.new.manifest()[:-2] + "\n")}
        self.check("a 63-character digest line is named", short, serve(), 1,
                   lambda r: [] if r["mirrors"][2]["rule"] == "digest_length" and r["problem_count"] == 1
                   else ["mirror 3: %s" % r["mirrors"][2]], download=False)

        mixed = {**good, 1: dict(body=self.old.manifest())}
        self.check("two releases: the older mirror lags", mixed, serve(), 1,
                   lambda r: [] if r["mirrors"][1]["lags"] and r["chosen_entry"] == 1 and r["problem_count"] == 1
                   else ["mirrors: %s" % r["mirrors"]], download=False)

        wrong = serve()
        wrong[4] = dict(body_file=self.old.file)

        def caught(r):
            verdicts = {n["url"] == self.new.url(4): n["download"]["verdict"]
                        for n in r["nodes"] if n["download"]["verdict"] != "good"}
            return [] if verdicts == {True: "too_long"} or verdicts == {True: "wrong_size"} else \
                ["verdicts: %s" % [(n["url"], n["download"]) for n in r["nodes"]]]
        self.check("a node serving other bytes is caught by --download", good, wrong, 1, caught)

        # The slow node answers last, so it is the last reachable one: the installer keeps it.
        big = self.big
        same_size = [dict(body_file=big.file) for _ in range(6)]
        same_size[0] = dict(body_size=len(big.data))
        same_size[2] = dict(body="")
        same_size[5] = dict(body_file=big.file, throttle=16384, delay_ms=500)

        def other_bytes(r):
            got = {n["label"][-1]: n["cause"] for n in r["nodes"]}
            want = {"A": "wrong_digest", "B": "ok", "C": "empty_body", "D": "ok", "E": "ok", "F": "slow_kept"}
            kept = [n for n in r["nodes"] if n["cause"] == "slow_kept"]
            wrong = [] if got == want else ["causes %s, expected %s" % (got, want)]
            if not kept or not 0 < kept[0]["bytes_per_second"] < 40000 or kept[0]["download"]["sha256"]:
                wrong.append("kept node: %s" % kept)
            if r["problem_count"] != 2:
                wrong.append("problems: %s" % r["problems"])
            return wrong
        for build in BUILDS:
            self.check("a node serving the right size but other bytes, an empty probe, a slow last node",
                       {i: dict(body=big.manifest()) for i in range(5)}, same_size, 1, other_bytes,
                       release=big, build=build)

        # F, the last reachable, is cut off for its pace; what it sent so far
        # is held against the bytes A to E verified.
        slow_other = [dict(body_file=big.file) for _ in range(5)] + [
            dict(body_size=len(big.data), throttle=16384, delay_ms=500)]

        def cut_off_other(r):
            f = r["nodes"][-1]
            d = f.get("download", {})
            wrong = [] if f["cause"] == "wrong_bytes" and d.get("cut_off_bytes") == "differ" and \
                0 < d.get("window_bytes_per_second", 0) < 40000 else ["node F: %s" % f]
            if [p["cause"] for p in r["problems"]] != ["wrong_bytes"]:
                wrong.append("problems: %s" % r["problems"])
            return wrong
        self.check("a slow last node serving other bytes", {i: dict(body=big.manifest()) for i in range(5)},
                   slow_other, 1, cut_off_other, release=big,
                   table=["its bytes differ from the release's from byte ",
                          "the installer keeps it and meets a hash mismatch at its end"])

    def cause_cases(self):
        """Every mirror and node failing its own way, each named for what it is."""
        big = self.big
        good = dict(body=big.manifest())
        mirrors = {0: good, 2: good, 3: good,
                   4: dict(status=302, headers=[["Location", "http://%s/m.txt" % MANIFEST_PATHS[4][0]]])}
        serve = lambda **kw: dict(body_file=big.file, **kw)
        # The slow node answers first of the reachable ones, so one remains behind it.
        node_fields = [serve(), serve(throttle=16384), serve(), dict(body_size=len(big.data), delay_ms=500),
                       serve(delay_ms=500), dict(status=404)]
        tls = {big.node_paths()[0][0]: "wrong_name", big.node_paths()[2][0]: "foreign_ca"}
        mirror_causes = ["tls_name", "refused", "ok", "ok", "insecure_redirect"]
        node_causes = {"A": "tls_name", "B": "slow", "C": "tls_untrusted", "D": "wrong_digest", "E": "ok",
                       "F": "http_status"}
        words = ["certificate for another name", "connection refused", "redirect from https to http",
                 "too slow (", "certificate from no trusted root", "SHA-256 differs", "HTTP 404",
                 "Result: 8 problems a user could meet (exit 1)"]

        def named(r, downloaded=True, tls_told=True):
            # Wine's WinHTTP fails every handshake with one error and no secure-failure flags.
            told = lambda c: c if tls_told or not c.startswith("tls") else "tls"
            got_m = [m.get("cause") for m in r["mirrors"]]
            got_n = {n["label"][-1]: n["cause"] for n in r["nodes"]}
            want_n = node_causes if downloaded else {k: v for k, v in node_causes.items() if k in "ACF"}
            want_n = {k: told(v) for k, v in want_n.items()}
            want_m = [told(c) for c in mirror_causes]
            wrong = [] if got_m == want_m else ["mirror causes %s, expected %s" % (got_m, want_m)]
            wrong += ["node %s: %s, expected %s" % (k, got_n.get(k), v) for k, v in want_n.items()
                      if got_n.get(k) != v]
            if downloaded:
                slow = [n for n in r["nodes"] if n["cause"] == "slow"]
                if not slow or not 0 < slow[0]["bytes_per_second"] < 40000 or slow[0]["seconds"] > 30:
                    wrong.append("slow node: %s" % slow)
                if len(r["problems"]) != r["problem_count"] or r["problem_count"] != 8:
                    wrong.append("problems: %s" % r["problems"])
            return wrong
        self.check("every cause named", mirrors, node_fields, 1, named, release=big, tls=tls, table=words)
        if "windows" in BUILDS:
            self.check("TLS and refusal causes named", mirrors, node_fields, 1,
                       lambda r: named(r, downloaded=False, tls_told=False), download=False, build="windows",
                       release=big, tls=tls)

    def signature_cases(self):
        """The publisher's build refuses to publish, and check names as a problem, what the
        installer would refuse; it names the signer of what it would start."""
        builds = {b: (["wine", t] if b == "windows" else [t]) for b, t in SIGNED.items() if os.path.exists(t)}
        if "windows" in builds and not shutil.which("wine"):
            del builds["windows"]
        if not builds or not os.path.exists(MARKER):
            print("skip signature cases: no build naming the test publisher")
            return
        from signed_files import make
        # One release, 9.2.0 as the marker's version resource, signed each way.
        by = {who: self.release("9.2.0", open(make(self.work, who), "rb").read(), who)
              for who in ("publisher", "other", "hidden_in_table", "revoked")}
        good, other = by["publisher"], by["other"]
        refusals = (("9.2.0", MARKER, "not signed"),
                    ("9.2.0", other.file, "signed by another publisher, Varnel Other Signer"),
                    ("9.2.0", by["hidden_in_table"].file, "data hidden in the signature"),
                    ("v9.1.0", good.file, "version 9.2.0, not the release's 9.1.0"))
        for build, cmd in builds.items():
            # In a world, whose trust store holds the code-signing CA.
            code, out, err, _ = self.world({}, cmd + ["manifest", "--version", "v9.2.0", good.file])
            self.expect("manifest of the publisher's signed file [%s]" % build,
                        [] if code == 0 and out.startswith("v9.2.0\n") else ["exit %d, stderr %r" % (code, err)])
            for version, path, why in refusals:
                code, out, err, _ = self.world({}, cmd + ["manifest", "--version", version, path])
                line = "refused: signature not valid: %s\n" % why
                self.expect("manifest refused: %s [%s]" % (why, build),
                            [] if code == 1 and not out and line in err.replace("\r\n", "\n") else
                            ["exit %d, stdout %r, stderr %r" % (code, out, err)])
        for name, release, code, cause, field, words in (
                ("the publisher's file: its signer named", good, 0, "ok",
                 ("signed_by", "Varnel Test Publisher"), ": ok, signed by Varnel Test Publisher, sha256 "),
                ("another signer's file: a problem", other, 1, "signature",
                 ("signature_not_valid", "signed by another publisher, Varnel Other Signer"), "signature not valid: signed by another publisher, Varnel Other "
                                        "Signer; the installer deletes it and goes on to the next node"),
                ("a revoked signer's file: a problem", by["revoked"], 1, "signature",
                 ("revocation", "revoked"),
                 "signature not valid: revoked; the installer deletes it and goes on to the next node")):
            mirrors = {i: dict(body=release.manifest()) for i in range(5)}
            for build, cmd in builds.items():
                self.check("check --download, " + name, mirrors,
                           [dict(body_file=release.file) for _ in range(6)], code,
                           lambda r, cause=cause, field=field:
                           [] if {(n["cause"], n["download"].get(field[0])) for n in r["nodes"]} == {(cause, field[1])}
                           else ["causes %s" % [(n["cause"], n["download"]) for n in r["nodes"]]],
                           build=build, release=release, table=[words], cmd=cmd)

    def run(self):
        if not os.path.exists(NATIVE):
            print("no native build at %s" % NATIVE)
            return False
        self.manifest_cases()
        self.check_cases()
        self.cause_cases()
        self.signature_cases()
        shutil.rmtree(self.work, ignore_errors=True)
        print("%d passed, %d failed" % (self.passed, self.failed))
        return self.failed == 0


if __name__ == "__main__":
    sys.exit(0 if Check().run() else 1)
