#!/usr/bin/env python3
"""The whole program, unchanged, against local mirrors and nodes.

Each case is declarative: what every host serves, and what the run must
print (exact bytes, with latency digits and the progress sequence matched
loosely), its exit code, what it leaves in the temporary directory, whether
it launched the installer, and which requests reached the servers. Every
case runs on the native build and on the Windows build under Wine.
"""
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "world"))
import program_table  # noqa: E402
from world import World  # noqa: E402

# The program's own addresses and limits, from its build.
TABLE = program_table.table()
BUILTIN = (TABLE["builtin"]["version"], TABLE["builtin"]["file_name"])
MANIFEST_PATHS = program_table.mirror_paths()
HOSTS = program_table.hosts()
MANIFEST_BODY_MAX = TABLE["manifest_body_max"]
LABELS = ["节点%s/Node %s" % (c, c) for c in "ABCDEFGH"]

HEAD = ("=== Varnel 在线安装器 / Online Installer v%s ===\n" % TABLE["version"] +
        "将自动检测多个下载节点并选择最快的节点下载最新版。\n"
        "Automatically probes multiple download nodes and downloads the latest build via the fastest one.\n"
        "\n"
        "[1/4] 获取版本清单 / Fetching version manifest...\n")
STAGE2 = "\n[2/4] 探测候选节点 / Probing candidate nodes...\n"
E2 = "\n错误: 所有节点均不可达, 请检查网络后重试。\n   Error: no reachable node. Check your network and try again.\n"
E6 = ("\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。\n"
      "   Error: all reachable nodes failed verification. Retry later or get the installer manually.\n")
FAIL = "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...\n"


# Lanes per build kind; VARNEL_E2E_LANES=1 runs each kind's cases one by one.
LANES = max(1, int(os.environ.get("VARNEL_E2E_LANES", "2")))

def fixture_bytes(size=TABLE["builtin"]["size"]):
    out = bytearray()
    k = 0
    while len(out) < size:
        out += hashlib.sha256(b"varnel-fixture-installer" + k.to_bytes(8, "little")).digest()
        k += 1
    return bytes(out[:size])


class Release:
    def __init__(self, version, name, data):
        self.version, self.name, self.data = version, name, data
        self.digest = hashlib.sha256(data).hexdigest()

    def manifest(self, crlf=False, upper=False, size=None):
        end = "\r\n" if crlf else "\n"
        digest = self.digest.upper() if upper else self.digest
        return end.join(["v" + self.version, self.name, str(len(self.data) if size is None else size), digest]) + end

    def node_paths(self):
        """(host, request path) of the six candidates, in candidate order."""
        return program_table.node_paths(self.version, self.name)

    def url(self, candidate):
        return "https://%s%s" % self.node_paths()[candidate]


# Loose parts of an expected text.
MS = "\x00MS\x00"            # a latency in its five-character field
PROGRESS = "\x00PROG:%s\x00"  # zero or more progress lines of a label
PATH = "\x00PATH\x00"          # the installer path as the build prints it
VERIFY = "\x00VERIFY\x00"      # stage 4 of the fixture: launched natively, refused by Wine's shell


def pattern(expected):
    out = []
    for piece in re.split("(\x00[^\x00]*\x00)", expected):
        if piece == MS:
            out.append(r" *\d+")
        elif piece.startswith("\x00PROG:"):
            label = re.escape(piece[6:-1])
            out.append(r"(?:\r   \[%s\] +\d+%%  \(\d+\.\d / \d+\.\d MB\))*" % label)
        elif piece == PATH:
            out.append(r"[^\n]+")
        elif piece == "\x00CODE\x00":
            out.append(r"-?\d+")
        elif piece == "\x00ANYORDER\x00":
            out.append(r".*")
        else:
            out.append(re.escape(piece))
    return re.compile("".join(out), re.S)


def collapse(text):
    """Progress runs shortened, so a failure report stays readable."""
    return re.sub(r"(\r   \[[^]]+\] +\d+%  \([^)]*\))+", lambda m: "<progress x%d>" % m.group(0).count("\r"), text)


def release_line(version, name, size, source):
    return "   版本/Version v%s  文件/File %s  大小/Size %.1f MB  来源/Source: %s\n" % (
        version, name, size / 1048576.0, source)


def pad(label):
    """The label in its field of 24 bytes, as printf counts them."""
    return "   " + label + " " * max(0, 24 - len(label.encode())) + "  "


def probe_line(label, ok):
    if ok:
        return pad(label) + MS + " ms  [可达/OK]\n"
    return pad(label) + "%5s ms  [不可达/FAIL]\n" % "-"


def probe_block(reachable):
    return "".join(probe_line(LABELS[i], ok) for i, ok in enumerate(reachable))


def header3(label):
    return "\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n" % label


def verified(release, expected_digest=None, launched=True, code=None, signer=None, unchecked=False):
    text = ("[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n"
            "   校验通过 / Verified  SHA-256 %s\n" % (expected_digest or release.digest) +
            ("   签名/Signed by: %s\n" % signer if signer else "") +
            ("   无法检查吊销状态 / Revocation status could not be checked\n" if unchecked else "") +
            "   启动安装器 / Launching installer...\n")
    if launched:
        return text + "\n完成: 安装器已启动 / Installer launched (at " + PATH + ")\n"
    return text + ("\n警告: 安装器启动失败 / Failed to launch installer (code %s), run manually:\n   " % code) + PATH + "\n"


def mismatch(expected, actual):
    return ("[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n   哈希不匹配 / Hash mismatch!\n"
            "   期望/Expected: %s\n   实际/Actual:   %s\n" % (expected, actual))


def forget_fetched_crls(prefix):
    """Wine keeps each CRL it fetched in the prefix, and a revoked leaf as good; a cached CRL
    would also answer for a CRL host that refuses: every case fetches anew. Wine 8's cryptnet
    caches in wininet's INetCache."""
    for d in ("LocalLow/Microsoft/CryptnetUrlCache", "Local/Microsoft/Windows/INetCache"):
        for path in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", *d.split("/"))):
            shutil.rmtree(path, ignore_errors=True)


def kind(build):
    """native or windows: a signed build runs as its kind does."""
    return "windows" if build.endswith("windows") else "native"


DEFAULT_BOUND = 60


class Case:
    def __init__(self, name, hosts, expected, exit_code, builds=("native", "windows"), left=None,
                 launched=None, requests=None, not_requested=None, max_seconds=DEFAULT_BOUND, files=None,
                 waits=False):
        self.name, self.hosts, self.expected, self.exit_code = name, hosts, expected, exit_code
        self.builds, self.left, self.launched = builds, left, launched
        self.requests = requests or []          # (host, path) that must have been asked for
        self.not_requested = not_requested or []  # hosts that must have seen nothing
        self.max_seconds = max_seconds
        self.waits = waits  # mostly waits out the program's timeouts
        self.files = files or {}


def fault(*routes, **host):
    return dict(server="fault", routes=list(routes), **host)


def route(path, **kw):
    if "delay_headers_ms" in kw:
        kw["delay_ms"] = kw.pop("delay_headers_ms")
    if "content_length" in kw:
        kw["length"] = {"absent": "none"}.get(kw["content_length"], kw["content_length"])
        del kw["content_length"]
    if "throttle" in kw:
        kw["throttle_bps"] = kw.pop("throttle")
    kw["path"] = path
    return kw


class Runner:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="varnel-e2e-")
        self.local = threading.local()
        self.passed = 0
        self.failed = 0
        self.fixture = Release(*BUILTIN, fixture_bytes())
        self.fixture_file = self.write("fixture.exe", self.fixture.data)
        self.builds = {}
        native = os.environ.get("VARNEL_NATIVE", os.path.join(ROOT, "build", "release", "varnel-setup"))
        if os.path.exists(native):
            self.builds["native"] = [native]
        exe = os.path.join(ROOT, "build", "windows", "varnel-setup.exe")
        if os.path.exists(exe) and shutil.which("wine") and os.environ.get("VARNEL_E2E_WINE", "1") == "1":
            self.builds["windows"] = ["wine", exe]
        # Builds whose publisher is the world's test signer, when made
        # (cmake -B build/signed-native -DVARNEL_PUBLISHER="Varnel Test Publisher").
        signed = os.path.join(ROOT, "build", "signed-native", "varnel-setup")
        if os.path.exists(signed):
            self.builds["signed-native"] = [signed]
        signed = os.path.join(ROOT, "build", "signed-windows", "varnel-setup.exe")
        if "windows" in self.builds and os.path.exists(signed):
            self.builds["signed-windows"] = ["wine", signed]
        # The builds to run, when not all that exist: the test command runs
        # the native ones while the Windows ones are still being built.
        kinds = os.environ.get("VARNEL_E2E_BUILDS")
        if kinds:
            self.builds = {b: cmd for b, cmd in self.builds.items() if b in kinds.split(",")}
        self.marker = os.path.join(ROOT, "build", "windows", "tests", "marker-installer.exe")
        self.vanish = os.path.join(self.work, "vanish.so")
        if subprocess.call(["cc", "-shared", "-fPIC", "-O1", "-o", self.vanish,
                            os.path.join(HERE, "vanish.c"), "-ldl"]) != 0:
            self.vanish = None

    def write(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def run_case(self, case, build):
        logs = tempfile.mkdtemp(prefix="logs-", dir=self.work)
        tmp = tempfile.mkdtemp(prefix="tmp-", dir=self.work)
        bin_dir = tempfile.mkdtemp(prefix="bin-", dir=self.work)
        record = os.path.join(bin_dir, "launched")
        env = {"PATH": bin_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"), "TMPDIR": tmp}
        pid = False
        xdg = os.path.join(bin_dir, "xdg-open")
        cmd = self.builds[build]
        build = kind(build)
        expected, exit_code, launched = case.expected, case.exit_code, case.launched
        # The fixture is no Windows program: there the shell refuses it.
        if build == "windows":
            expected = expected.replace(VERIFY, verified(self.fixture, launched=False, code="\x00CODE\x00"))
            if VERIFY in case.expected:
                exit_code = 1
        else:
            expected = expected.replace(VERIFY, verified(self.fixture))
        with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$@\" >> '%s'\nexit %d\n" % (record, getattr(case, "xdg_status", 0)))
        os.chmod(xdg, 0o755)
        if getattr(case, "tmpdir", None):
            env["TMPDIR"] = os.path.join(tmp, case.tmpdir)
        if getattr(case, "tmpdir_file", False):
            env["TMPDIR"] = os.path.join(tmp, "not-a-dir")
            open(env["TMPDIR"], "w").close()
        if getattr(case, "tmpfs_kib", None):
            options = "size=%dk%s" % (case.tmpfs_kib, ",ro" if getattr(case, "tmpfs_ro", False) else "")
            cmd = ["sh", "-c", 'mount -t tmpfs -o %s tmpfs "$TMPDIR" && exec "$@"' % options, "sh"] + cmd
        if getattr(case, "vanish", None):
            if not self.vanish:
                return ["cannot build the preloaded vanish.c"], 0.0
            # Sanitizer builds want their runtime first; this shim only wraps fopen.
            env.update(LD_PRELOAD=self.vanish, VANISH_NAME=case.vanish,
                       ASAN_OPTIONS="verify_asan_link_order=0")
        if build == "windows":
            env.update(self.wine_env(getattr(case, "wine_user", None)))
            pid = True
        world = World({"hosts": case.hosts, "timeout_s": case.max_seconds + 30,
                       "crl": getattr(case, "crl", "serve")}, logs)
        code, out, err, elapsed = world.run(cmd + ["ignored", "--arguments"], env, pid=pid)
        text = out.decode("utf-8", "replace")
        if build == "windows":
            text = text.replace("\r\n", "\n")
        problems = []
        if code != exit_code:
            problems.append("exit code %s, expected %s" % (code, exit_code))
        if not pattern(expected).fullmatch(text):
            problems.append("output differs:\n--- got\n%r\n--- expected\n%r" % (collapse(text), expected))
        if getattr(case, "attempts", None) is not None and text.count("[3/4]") != case.attempts:
            problems.append("%d attempts, expected %d" % (text.count("[3/4]"), case.attempts))
        if elapsed > case.max_seconds:
            problems.append("took %.1f s, bound %d s" % (elapsed, case.max_seconds))
        if "AddressSanitizer" in err.decode("utf-8", "replace") or "runtime error" in err.decode("utf-8", "replace"):
            problems.append("sanitizer report:\n" + err.decode("utf-8", "replace")[-2000:])
        temp = self.temp_dir(build, tmp, getattr(case, "wine_user", None))
        left = sorted(f for f in (os.listdir(temp) if os.path.isdir(temp) else []) if not f.startswith("."))
        if getattr(case, "path_text", None) and case.path_text not in text:
            problems.append("the installer path %r is not shown in:\n%r" % (case.path_text, collapse(text)))
        if getattr(case, "tmpdir_file", False):
            left = [f for f in left if f != "not-a-dir"]
        if build == "windows":
            left = [f for f in left if f.lower().endswith((".exe", ".ran"))]
        expected_left = case.left if case.left is not None else []
        # The real program ran: it left its marker beside itself.
        if build == "windows" and getattr(case, "marker", False):
            expected_left = sorted(expected_left + [n + ".ran" for n in expected_left])
        if left != sorted(expected_left):
            problems.append("temporary directory holds %s, expected %s" % (left, sorted(expected_left)))
        if build == "native" and launched is not None:
            got = open(record).read().splitlines() if os.path.exists(record) else []
            want = [os.path.join(tmp, launched)] if launched else []
            if got != want:
                problems.append("launched %s, expected %s" % (got, want))
        requests = self.requests(logs)
        for host, path in case.requests:
            if case.hosts.get(host, {}).get("server") != "fault":
                continue
            if (host, path) not in requests:
                problems.append("no request for https://%s%s (saw %s)" % (host, path, sorted(set(requests))))
        if getattr(case, "connections", None):
            # Each request to the host named by the letter of its connection,
            # in order of first use: "AAB" is two requests on one, then a new one.
            host, want = case.connections
            names = {}
            got = "".join(names.setdefault((r.get("server"), r.get("conn")), "ABCDEFGH"[min(len(names), 7)])
                          for r in world.requests() if r.get("host") == host)
            if got != want:
                problems.append("connections to %s: %s, expected %s" % (host, got, want))
        for item in case.not_requested:
            if (item in requests) if isinstance(item, tuple) else any(h == item for h, _ in requests):
                problems.append("%s was contacted" % (item,))
        return problems, elapsed

    def lane_prefix(self, lane):
        """Lane 0 runs in the suites' prefix; each other lane in a copy of it."""
        prefix = os.environ.get("WINEPREFIX", os.path.join(ROOT, "build", "wine-prefix"))
        return prefix if lane == 0 else "%s-lane%d" % (prefix, lane)

    def wine_env(self, user=None):
        prefix = self.lane_prefix(getattr(self.local, "lane", 0))
        env = {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        if user:
            # A prefix of its own: Wine names the profile, and so TEMP, after
            # the user who created the prefix.
            env.update(WINEPREFIX=prefix + "-" + user.encode().hex(), USER=user, LOGNAME=user, LANG="C.UTF-8")
        return env

    def temp_dir(self, build, tmp, user=None):
        if build == "native":
            return tmp
        prefix = self.wine_env(user)["WINEPREFIX"]
        # Wine 8 takes TEMP from its prefix's registry: C:\\users\\<user>\\Temp.
        path = os.path.join(prefix, "drive_c", "users", user or os.environ.get("USER", "root"), "Temp")
        return path

    @staticmethod
    def requests(logs):
        out = []
        path = os.path.join(logs, "requests.jsonl")
        if os.path.exists(path):
            for line in open(path, encoding="utf-8", errors="replace"):
                try:
                    r = json.loads(line)
                except ValueError:
                    continue
                parts = r.get("request_line", "").split(" ")
                out.append((r.get("host"), parts[1] if len(parts) > 1 else ""))
        return out

    def clean_wine_temp(self, user=None):
        d = self.temp_dir("windows", None, user)
        if os.path.isdir(d):
            for f in os.listdir(d):
                if f.lower().endswith((".exe", ".ran")):
                    os.remove(os.path.join(d, f))
        forget_fetched_crls(self.wine_env(user)["WINEPREFIX"])

    def run(self, cases, only=None):
        # Lanes side by side, LANES per build kind: the cases mostly wait on
        # timeouts and throttled servers. A lane runs one case at a time, and
        # each Windows lane has a Wine prefix (server, TEMP) of its own; the
        # cases with a user of their own run in lane 0, whose prefixes for
        # them exist.
        lock = threading.Lock()
        # VARNEL_E2E_SKIP_WAITS=1 leaves out the cases that mostly wait out
        # the program's timeouts.
        skip_waits = os.environ.get("VARNEL_E2E_SKIP_WAITS") == "1"
        todo = [(case, build) for case in cases for build in self.builds
                if build in case.builds and not (only and only not in case.name) and
                not (skip_waits and case.waits)]
        # The long waits start first, so that no lane is left with one at the end.
        todo.sort(key=lambda t: t[0].waits, reverse=True)
        kinds = sorted({kind(b) for _, b in todo})
        if "windows" in kinds:
            self.copy_prefixes()

        def lane(k, j):
            self.local.lane = j
            while True:
                with lock:
                    mine = [t for t in todo if kind(t[1]) == k and
                            (j == 0 or not getattr(t[0], "wine_user", None))]
                    if not mine:
                        return
                    todo.remove(mine[0])
                self.run_one(mine[0][0], mine[0][1], lock)

        lanes = [threading.Thread(target=lane, args=(k, j)) for k in kinds for j in range(LANES)]
        for t in lanes:
            t.start()
        for t in lanes:
            t.join()
        shutil.rmtree(self.work, ignore_errors=True)
        print("%d passed, %d failed" % (self.passed, self.failed))
        return self.failed == 0

    def copy_prefixes(self):
        """Each further lane's prefix, copied from lane 0's (made first when missing)."""
        from world import prepare_wine
        base = self.lane_prefix(0)
        prepare_wine(dict(os.environ, **self.wine_env()))
        for j in range(1, LANES):
            copy = self.lane_prefix(j)
            if not os.path.exists(os.path.join(copy, "system.reg")):
                shutil.rmtree(copy, ignore_errors=True)
                subprocess.run(["cp", "-a", base, copy], check=True, timeout=300)

    def run_one(self, case, build, lock):
        if kind(build) == "windows":
            self.clean_wine_temp(getattr(case, "wine_user", None))
        t0 = time.time()
        try:
            problems, elapsed = self.run_case(case, build)
        except Exception as e:  # a broken case must not hide the others
            problems, elapsed = ["raised %r" % e], time.time() - t0
        tag = "%s [%s]" % (case.name, build)
        with lock:
            if problems:
                self.failed += 1
                print("FAIL %s (%.1f s)" % (tag, elapsed))
                for p in problems:
                    print("     " + p.replace("\n", "\n     "))
            else:
                self.passed += 1
                print("ok   %s (%.1f s)" % (tag, elapsed))
            sys.stdout.flush()


def main():
    import e2e_cases
    runner = Runner()
    if not runner.builds:
        print("no build to test")
        print("0 passed, 1 failed")
        return 1
    cases = e2e_cases.cases(runner)
    only = sys.argv[1] if len(sys.argv) > 1 else None
    return 0 if runner.run(cases, only) else 1


if __name__ == "__main__":
    sys.exit(main())
