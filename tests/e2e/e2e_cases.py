"""The end-to-end cases: what each host serves and what the run must show."""
import base64
import os

from run_e2e import (BUILTIN, E2, E6, FAIL, VERIFY, HEAD, HOSTS, LABELS, MANIFEST_BODY_MAX, MANIFEST_PATHS, PROGRESS,
                     STAGE2, Case, Release, fault, header3, mismatch, probe_block, release_line, route, verified)

CODE = "\x00CODE\x00"
BOTH = ("native", "windows")
# Wine's WinHTTP has no bound on a response's headers (Windows: 64 KiB), so
# there endless headers hold a probe for as long as they come.
NO_HEADER_BOUND = ("native",)


def with_builds(entry):
    """(name, fields[, builds]) -> (name, fields, builds), both builds unless named."""
    return entry if len(entry) == 3 else entry + (BOTH,)


def serve_file(path, release, **kw):
    return route(path, body_file=release.file, **kw)


def manifest_hosts(entries):
    """{entry index: route fields} -> hosts serving those manifest entries."""
    hosts = {}
    for index, fields in entries.items():
        host, path = MANIFEST_PATHS[index]
        hosts.setdefault(host, fault())["routes"].append(route(path, **fields))
    return hosts


def merge(*host_maps):
    out = {}
    for m in host_maps:
        for host, spec in m.items():
            if host in out and out[host].get("server") == "fault" and spec.get("server") == "fault":
                out[host]["routes"] += spec["routes"]
            else:
                out[host] = dict(spec, routes=list(spec.get("routes", [])))
    return out


def nodes(release, behaviours):
    """behaviours[i]: route fields for candidate i (None: host refuses)."""
    hosts = {}
    for (host, path), fields in zip(release.node_paths(), behaviours):
        if fields is None:
            continue
        spec = hosts.setdefault(host, fault())
        tls = fields.pop("tls", None)
        if tls:
            spec["tls"] = tls
        if fields.get("serve"):
            fields.pop("serve")
            fields["body_file"] = release.file
        spec["routes"].append(route(path, **fields))
    return hosts


STARTED = None
NO_NODE = "refused at stage 1, the built-in release left, and no node serves it"
PUBLISHER = "Varnel Test Publisher"
OTHER = "signed by another publisher, Varnel Other Signer"
# name, signed file (signed_files.FILES), STARTED, NO_NODE or the refusal's reason, further fields:
#   two_nodes   both serve it, tried in either order
#   manifests   the versions mirror entries 1, 2... name with the file (default only the
#               release's 9.2.0); one older than the built-in release is refused as a broken
#               one is (NO_NODE: none left)
#   unchecked   started with the revocation line; crl: the CRL host's behaviour; max_seconds
SIGNED_ROWS = [
    ("the publisher's file", "publisher", STARTED, {}),
    ("another signer, on two nodes", "other", OTHER, dict(two_nodes=True)),
    ("changed after signing, the manifest's digest its own", "changed", "the file does not match its signature", {}),
    ("self-signed", "self_signed", "not from a trusted root", {}),
    ("under a CA nobody trusts", "foreign", "not from a trusted root", {}),
    ("a certificate for TLS only", "tls_only", "not for code signing", {}),
    ("under an intermediate for TLS only", "restricted_intermediate", "not for code signing", {}),
    ("expired, no time stamp", "expired", "expired", {}),
    ("expired, time-stamped while valid", "expired_stamped", STARTED, {}),
    ("no extended key usage", "no_eku", STARTED, {}),
    ("4 KiB hidden in the certificate table", "hidden_in_table", "data hidden in the signature", {}),
    ("bytes after the certificate table", "after_table", "data hidden in the signature", {}),
    ("a SHA-1 file digest", "sha1", "weak digest", {}),
    ("the publisher's name and Ltd", "ltd", "signed by another publisher, Varnel Test Publisher Ltd", {}),
    ("a prefix of the publisher's name", "prefix", "signed by another publisher, Varnel Test", {}),
    ("an organisation and no common name", "o_only", "the signer's name is not one common name", {}),
    ("nested, the publisher's primary", "nested_publisher_first", STARTED, {}),
    ("nested, another signer's primary", "nested_other_first", OTHER, {}),
    ("the file's version 9.1", "version_9.1", "version 9.1.0, not the release's 9.2.0", {}),
    ("no version resource", "no_version", "no version information", {}),
    ("the only manifest older than the built-in release", "publisher", NO_NODE, dict(manifests=["1.0.0"])),
    ("an older manifest, then the release's", "publisher", STARTED, dict(manifests=["1.0.0", "9.2.0"])),
    # On two nodes: found revoked once, it stays so (Wine's cache calls it good when asked again).
    ("a revoked signer, on two nodes", "revoked", "revoked", dict(two_nodes=True)),
    ("the CRL host refuses", "publisher", STARTED, dict(crl="refuse", unchecked=True)),
    # The revocation check's 10 s bound, not the 120 s stall.
    ("the CRL host stalls", "publisher", STARTED, dict(crl="stall", unchecked=True, max_seconds=40, waits=True)),
    ("no CRL distribution point", "no_cdp", STARTED, dict(unchecked=True)),
    ("the CRL host trickles", "publisher", STARTED, dict(crl="trickle", unchecked=True, max_seconds=40, waits=True)),
]


def signed_cases(runner, builds):
    """Builds naming the publisher: the 9.2.0 release started when its signature holds, refused
    with the reason and the next node tried otherwise."""
    from signed_files import make
    refused = "   签名无效 / Signature not valid: %s\n"
    out = []
    for name, file, outcome, more in SIGNED_ROWS:
        path = make(runner.work, file)
        data = open(path, "rb").read()
        prog = Release("9.2.0", "Varnel-9.2.0-setup.exe", data)
        prog.file = path
        named = [Release(v, "Varnel-%s-setup.exe" % v, data) for v in more.get("manifests", [prog.version])]
        hosts = manifest_hosts({i: dict(body=r.manifest()) for i, r in enumerate(named)})
        two = more.get("two_nodes", False)
        serving = [None, ok_node(), ok_node() if two else None, None, None, None]
        source = [LABELS[i] for i, r in enumerate(named) if r.version == prog.version][:1]
        head = (HEAD + release_line(prog.version, prog.name, len(prog.data), "".join(source)) + STAGE2 +
                probe_block([f is not None for f in serving]))
        stage4 = header3(LABELS[1]) + PROGRESS % LABELS[1] + "\n"
        if outcome is NO_NODE:
            text = (HEAD + release_line(BUILTIN[0], BUILTIN[1], len(runner.fixture.data), "程序内置/Built-in") +
                    STAGE2 + probe_block([False] * 6) + E2)
        elif outcome is STARTED:
            text = head + stage4 + verified(prog, signer=PUBLISHER, unchecked=more.get("unchecked", False))
        elif two:  # the two nodes in either order, by their latency
            text = head + ("\x00ANYORDER\x00" + refused % outcome) * 2 + E6
        else:
            text = head + stage4 + verified(prog).split("   启动")[0] + refused % outcome + E6
        if outcome is not NO_NODE:
            hosts = merge(hosts, nodes(prog, serving))
        started = outcome is STARTED
        c = Case("signed: " + name, hosts, text, 0 if started else 1, left=[prog.name] if started else [],
                 launched=prog.name if started else "", builds=builds, max_seconds=more.get("max_seconds", 60),
                 waits=more.get("waits", False),
                 not_requested=[r.node_paths()[0] for r in named if r.version != prog.version])
        c.marker = started
        c.attempts = 2 if two else 0 if outcome is NO_NODE else 1
        c.crl = more.get("crl", "serve")
        out.append(c)
    return out


def ok_node():
    return dict(serve=True)


def cases(runner):
    fx = runner.fixture
    fx.file = runner.fixture_file
    builtin_line = release_line(BUILTIN[0], BUILTIN[1], len(fx.data), "程序内置/Built-in")
    small = Release("3.1.0", "Varnel-3.1.0-setup.exe", bytes(range(256)) * 400)
    small.file = runner.write(small.name, small.data)
    small_line = lambda label: release_line(small.version, small.name, len(small.data), label)
    wrong_same_size = runner.write("wrong.exe", bytes(len(fx.data)))
    overlong = runner.write("overlong.exe", fx.data + bytes(3000000))
    ok = lambda **kw: dict(serve=True, **kw)
    out = []

    # Stage 1 and 2, no node serving: the release line names the mirror taken
    # (small's, by its entry's label) or the built-in release.
    all_404 = nodes(small, [dict(status=404)] * 6)
    m = small.manifest()
    for name, hosts, line, more in [
        ("no host reachable", {}, builtin_line, dict(max_seconds=15)),
        ("every host drops packets: bounded by the probe timeouts", {h: {"server": "drop"} for h in HOSTS},
         builtin_line, dict(max_seconds=75, waits=True)),
        ("entry 1 404, entry 2 CRLF upper-case manifest",
         merge(manifest_hosts({0: dict(status=404), 1: dict(body=small.manifest(crlf=True, upper=True)),
                               2: dict(body=m), 4: dict(body=m)}), all_404), small_line(LABELS[1]),
         dict(requests=small.node_paths(), not_requested=MANIFEST_PATHS[2:5])),
        ("refused, bad digest, then valid",
         merge(manifest_hosts({1: dict(body=m[:-65] + "nothex\n"), 2: dict(body=m)}), all_404),
         small_line(LABELS[2]), {}),
        ("only entry 5 valid", merge(manifest_hosts({4: dict(body=m)}), nodes(small, [dict(status=404)] * 5)),
         small_line(LABELS[3]), {}),
        ("%d bytes refused, %d accepted" % (MANIFEST_BODY_MAX + 1, MANIFEST_BODY_MAX),
         merge(manifest_hosts({0: dict(body=m + "#" * (MANIFEST_BODY_MAX + 1 - len(m))),
                               1: dict(body=m + "#" * (MANIFEST_BODY_MAX - len(m)))}), all_404),
         small_line(LABELS[1]), {}),
        ("empty 200 refused, 206 accepted",
         merge(manifest_hosts({0: dict(body=""), 1: dict(status=206, body=m)}), all_404), small_line(LABELS[1]), {}),
        ("size -1 refused", manifest_hosts({0: dict(body=small.manifest(size="-1"))}), builtin_line, {}),
        ("mirror redirect followed, label by entry",
         merge(manifest_hosts({4: dict(status=302, headers=[["Location", "https://cdn-lfs.hf.co/m.txt"]])}),
               {"cdn-lfs.hf.co": fault(route("/m.txt", body=m))}, all_404), small_line(LABELS[3]), {}),
    ]:
        out.append(Case(name, hosts, HEAD + line + STAGE2 + probe_block([False] * 6) + E2, 1, **more))

    # The fixture verified and started after `stage3`, nodes A to F probed
    # as `reachable` says.
    def launched(name, hosts, reachable, stage3, line=builtin_line, **more):
        return Case(name, hosts, HEAD + line + STAGE2 + probe_block(reachable) + stage3 + VERIFY, 0,
                    left=[BUILTIN[1]], launched=BUILTIN[1], **more)

    def via(i, end="\n"):
        return header3(LABELS[i]) + PROGRESS % LABELS[i] + end

    only_b, a_b = [False, True] + [False] * 4, [True, True] + [False] * 4

    # Probing: whole-file 200 reachable; empty, error, TLS failure, refused not.
    out.append(launched("probe outcomes and launch",
                        nodes(fx, [dict(status=206, body=""), ok(range="ignore"), dict(status=200, body=""),
                                   dict(status=500), ok(tls="tls13_only"), None]), only_b, via(1)))

    # The manifest's connection carries node A's probe on the probe session;
    # the download session opens its own.
    c = launched("manifest and node A on one host: one connection for both, a new one for the download",
                 merge(manifest_hosts({0: dict(body=fx.manifest())}), nodes(fx, [ok(range="honour")])),
                 [True] + [False] * 5, via(0), line=release_line(BUILTIN[0], BUILTIN[1], len(fx.data), LABELS[0]))
    c.connections = (MANIFEST_PATHS[0][0], "AAB")
    out.append(c)

    out.append(launched("ranking by delay",
                        nodes(fx, [ok(delay_headers_ms=1500), ok(delay_headers_ms=700), ok(), None,
                                   ok(delay_headers_ms=300), dict(status=404)]),
                        [True, True, True, False, True, False], via(2)))

    # Stages 3 and 4.
    host, path = fx.node_paths()[1]
    out.append(launched(
        "built-in release through a redirect on the release host",
        {host: fault(route(path, status=302,
                           headers=[["Location", "https://objects.githubusercontent.com/rel/" + fx.name]])),
         "objects.githubusercontent.com": fault(route("/rel/" + fx.name, body_file=fx.file))}, only_b, via(1)))

    # The broken nodes answer the probe's Range cleanly: a reset races the
    # probe's first read (the kernel drops unread bytes on a reset).
    for name, broken in [
        ("truncated body", ok(truncate_after=1000000, range="honour")),
        ("wrong Content-Length", ok(content_length="7000000")),
        ("connection reset", ok(reset_after=500000, range="honour")),
    ]:
        out.append(launched("failover: " + name, nodes(fx, [broken, ok(delay_headers_ms=400)]), a_b,
                            via(0, FAIL) + via(1)))

    # A node that probes fast and then crawls is given up while another remains;
    # the last reachable one is kept however slow (here: a 16 s stall) unless
    # the node given up was more than twice as fast.
    stall = ok(delay_headers_ms=400, stall_after=100000, stall_ms=16000, stall_then="continue")
    for name, crawl, second, bound in [
        ("slow node given up for a fast one", ok(throttle=32768), ok(delay_headers_ms=400), 40),
        ("slow node given up, slow last node kept", ok(throttle=8192), stall, 55),
    ]:
        out.append(launched(name, nodes(fx, [crawl, second]), a_b, via(0, FAIL) + via(1), max_seconds=bound,
                            waits=True))

    # A head whose lines keep coming is bounded as a whole by the probe
    # session's receive time: mirror 1 and node A are given up after 3 s.
    # Native only: Wine's WinHTTP restarts that wait on each receive (see the
    # conformance case), where Windows holds the whole head to it.
    trickle = dict(head_trickle_ms=2000, head_trickle_lines=30)
    out.append(launched(
        "a head that trickles, on a mirror and on a probe",
        merge(manifest_hosts({0: dict(trickle, body=fx.manifest()), 1: dict(body=fx.manifest())}),
              nodes(fx, [ok(**trickle), ok(delay_headers_ms=400)])), only_b, via(1),
        line=release_line(BUILTIN[0], BUILTIN[1], len(fx.data), LABELS[1]), builds=NO_HEADER_BOUND, max_seconds=20))

    actual = Release("x", "x", bytes(len(fx.data))).digest
    out.append(launched("failover: same size, wrong bytes",
                        nodes(fx, [dict(body_file=wrong_same_size), ok(delay_headers_ms=400)]), a_b,
                        via(0) + mismatch(fx.digest, actual) + via(1)))

    out.append(Case(
        "every reachable node fails",
        nodes(fx, [ok(truncate_after=100000, range="honour"), ok(content_length="12"), dict(status=200, body="x" * 3000), None,
                   ok(reset_after=70000, range="honour"), None]),
        HEAD + builtin_line + STAGE2 + probe_block([True, True, True, False, True, False]) +
        "\x00ANYORDER\x00" + E6, 1, left=[], launched=""))
    out[-1].attempts = 4

    out.append(launched("no Content-Length: no progress line", nodes(fx, [None, ok(content_length="chunked")]),
                        only_b, header3(LABELS[1]) + "\n"))

    # Framing cuts a body at its Content-Length, so overlong means close-delimited.
    out.append(Case(
        "endless body and overlong body fail promptly",
        nodes(fx, [ok(endless=True, content_length="absent"),
                   dict(body_file=overlong, content_length="absent"), None, None, None, None]),
        HEAD + builtin_line + STAGE2 + probe_block([True, True] + [False] * 4) + "\x00ANYORDER\x00" + E6, 1,
        left=[], launched="", max_seconds=40))
    out[-1].attempts = 2

    # Launch outcomes and the Windows launch of a real program.
    marker = getattr(runner, "marker", None)
    out.append(Case("launch fails", nodes(fx, [None, ok()]),
                    HEAD + builtin_line + STAGE2 + probe_block(only_b) + via(1) +
                    verified(fx, launched=False, code=CODE), 1, left=[BUILTIN[1]], builds=("native",)))
    out[-1].xdg_status = 1
    import os
    if marker and os.path.exists(marker):
        data = open(marker, "rb").read()
        prog = Release("9.9.9", "Varnel-9.9.9-setup.exe", data)
        prog.file = marker
        # The second run: a user name in Chinese puts it into the temporary directory's path.
        for name, user in [("windows launch of a real program", None),
                           ("windows launch from a temporary directory with Chinese characters", "张三")]:
            c = Case(name,
                     merge(manifest_hosts({0: dict(body=prog.manifest())}), nodes(prog, [None, ok()])),
                     HEAD + release_line(prog.version, prog.name, len(data), LABELS[0]) + STAGE2 +
                     probe_block(only_b) + via(1) + verified(prog), 0, left=[prog.name], builds=("windows",))
            c.marker, c.wine_user = True, user
            if user:
                c.path_text = "(at C:\\users\\%s\\Temp\\%s)\n" % (user, prog.name)
            out.append(c)

    # Builds that name the test signer as publisher: the real program signed now.
    signed_builds = ("signed-native", "signed-windows")
    if marker and os.path.exists(marker) and any(b in runner.builds for b in signed_builds):
        out += signed_cases(runner, signed_builds)

    # Node B alone serving, and its file where it cannot land or stay (native
    # only: the mounts and the preloaded shim are the native build's).
    to_b = HEAD + builtin_line + STAGE2 + probe_block(only_b) + via(1, "")
    for name, tail, left, fields in [
        ("temporary directory cannot be written", FAIL, [], dict(tmpdir="missing/dir")),
        ("temporary directory is a file", FAIL, None, dict(tmpdir_file=True)),
        ("temporary directory is read-only", FAIL, [], dict(tmpfs_kib=4096, tmpfs_ro=True)),
        ("full disk", FAIL, [], dict(tmpfs_kib=2048)),
        ("file disappears between download and digest",
         "\n[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n"
         "   校验失败: 无法读取已下载文件 / Verify failed: cannot read downloaded file\n", [], dict(vanish=BUILTIN[1])),
    ]:
        c = Case(name, nodes(fx, [None, ok()]), to_b + tail + E6, 1, left=left,
                 launched="", builds=("native",))
        c.__dict__.update(fields)
        out.append(c)
    out += hostile_cases(runner, fx, builtin_line, small, small_line, ok)
    return out


def hostile_cases(runner, fx, builtin_line, small, small_line, ok):
    """What a broken or malicious mirror or node can send."""
    out = []
    all_404 = nodes(small, [dict(status=404)] * 6)
    good = small.manifest()
    d = small.digest
    # A hostile first mirror is refused silently; the second one serves.
    for entry in [
        ("%d bytes with NUL bytes" % (MANIFEST_BODY_MAX + 1),
         dict(body_b64=base64.b64encode(good.encode() + b"\0" * (MANIFEST_BODY_MAX + 1 - len(good))).decode())),
        ("a megabyte of binary garbage", dict(body_size=1 << 20)),
        ("endless body", dict(endless=True, length="none")),
        ("byte-order mark", dict(body="\ufeff" + good)),
        ("NUL inside the digest", dict(body_b64=base64.b64encode(good.replace(d, d[:10] + "\0" + d[11:]).encode()).decode())),
        ("file name with ..", dict(body="v1\n..\\evil.exe\n10\n" + d + "\n")),
        ("file name with /", dict(body="v1\n../../evil.exe\n10\n" + d + "\n")),
        ("file name with \\", dict(body="v1\nsub\\evil.exe\n10\n" + d + "\n")),
        ("file name with :", dict(body="v1\nC:evil.exe\n10\n" + d + "\n")),
        ("over-long lines", dict(body="v" + "1" * 3000 + "\n" + small.name + "\n10\n" + d + "\n")),
        ("endless headers", dict(endless_headers=True), NO_HEADER_BOUND),
        ("a header line of megabytes", dict(huge_header=3 << 20, body=good), NO_HEADER_BOUND),
        ("closes before the headers", dict(close_before_headers=True)),
        ("redirect loop", dict(status=302, headers=[["Location", "https://%s%s" % MANIFEST_PATHS[0]]])),
        ("redirect to a refusing host", dict(status=302, headers=[["Location", "https://%s/m.txt" % fx.node_paths()[3][0]]])),
        ("redirect to http", dict(status=302, headers=[["Location", "http://cdn-lfs.hf.co/m.txt"]])),
        # Followed (Wine) or refused (stand-in), the long target answers 404 either way.
        ("redirect to a 10 KB URL", dict(status=302, headers=[["Location", "https://%s/%s" % (MANIFEST_PATHS[4][0], "a" * 10240)]])),
        ("trickle slower than the receive timeout", dict(body=good, trickle={"bytes": 60, "every_ms": 4000})),
        # Every byte inside the receive timeout, the body as a whole past its bound.
        ("a byte every 2 s", dict(body=good, trickle={"bytes": 1, "every_ms": 2000})),
    ]:
        name, fields, builds = with_builds(entry)
        out.append(Case("hostile mirror: " + name,
                        merge(manifest_hosts({0: fields, 1: dict(body=good)}),
                              {"cdn-lfs.hf.co": fault(route("*", body=good))}, all_404),
                        HEAD + small_line("节点B/Node B") + STAGE2 + probe_block([False] * 6) + E2, 1,
                        max_seconds=40, requests=[MANIFEST_PATHS[1]], builds=builds))

    # A hostile fastest node: the run ends verified through the other one.
    for entry in [
        ("Content-Length of 2^63", ok(length="9223372036854775808")),
        ("negative Content-Length", ok(length="-5")),
        ("two different Content-Length headers", ok(length=[str(len(fx.data)), "12"])),
        ("endless headers", dict(endless_headers=True), NO_HEADER_BOUND),
        ("a header line of megabytes", ok(huge_header=3 << 20)),
        ("closes before the headers", dict(close_before_headers=True)),
        ("redirect loop", dict(status=302, headers=[["Location", fx.url(0)]])),
        ("redirect to http", dict(status=302, headers=[["Location", "http://cdn-lfs.hf.co/x.exe"]])),
        ("stall mid-body", ok(stall_after=2000000, stall_ms=40000)),
        ("reset mid-body", ok(reset_after=3000000, range="honour")),
    ]:
        name, fields, builds = with_builds(entry)
        out.append(Case("hostile node: " + name,
                        nodes(fx, [fields, ok(delay_headers_ms=300), None, None, None, None]),
                        HEAD + builtin_line + STAGE2 + "\x00ANYORDER\x00" + "\x00VERIFY\x00", 0,
                        left=[BUILTIN[1]], launched=BUILTIN[1], max_seconds=60, builds=builds,
                        waits=name == "stall mid-body"))
    return out
