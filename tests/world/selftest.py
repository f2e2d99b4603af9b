#!/usr/bin/env python3
"""The world's certificates: every one the world made has a signature that
Wine 8 can verify, and the check that says so tells a short ECDSA r or s; the
CRL host serves sign-ca's CRL, which lists the revoked signer alone."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import world  # noqa: E402

ECDSA_SHA256 = bytes.fromhex("2a8648ce3d040302")
RSA_SHA256 = bytes.fromhex("2a864886f70d01010b")
ED25519 = bytes.fromhex("2b6570")


def tlv(tag, content):
    n = len(content)
    head = bytes([n]) if n < 0x80 else bytes([0x82, n >> 8, n & 0xFF])
    return bytes([tag]) + head + content


def cert(oid, signature):
    alg = tlv(0x30, tlv(0x06, oid))
    return tlv(0x30, tlv(0x30, b"\x02\x01\x01") + alg + tlv(0x03, b"\0" + signature))


def ecdsa(r, s):
    return tlv(0x30, tlv(0x02, r) + tlv(0x02, s))


def main():
    full, high = b"\x11" * 32, b"\x00" + b"\x91" * 32   # a high first byte gets a sign byte
    cases = [
        ("full-length r and s", cert(ECDSA_SHA256, ecdsa(full, high)), False),
        ("31-byte r", cert(ECDSA_SHA256, ecdsa(b"\x11" * 31, full)), True),
        ("31-byte s", cert(ECDSA_SHA256, ecdsa(high, b"\x11" * 31)), True),
        ("RSA", cert(RSA_SHA256, b"\x5a" * 256), False),
        ("Ed25519", cert(ED25519, b"\x5a" * 64), True),
    ]
    failures = []
    for name, der, refused in cases:
        if bool(world.wine_cannot_verify(der)) != refused:
            failures.append("check on %s: %s" % (name, world.wine_cannot_verify(der)))
    pki = world.Pki()
    try:
        pki.ensure(sorted(world.host_addresses({})))
    except world.WorldError as e:
        failures.append(str(e))
    made = sorted(glob.glob(os.path.join(pki.dir, "*.crt")))
    for path in made:
        why = world.wine_cannot_verify(world.pem_der(path))
        if why:
            failures.append("%s: %s" % (path, why))
    logs = tempfile.mkdtemp(prefix="selftest-")
    fetch = "curl -sfm 10 http://%s/sign-ca.crl | openssl crl -inform DER -noout -text" % world.CRL_HOST
    code, out, err, _ = world.World({"timeout_s": 30}, logs).run(["sh", "-c", fetch])
    shutil.rmtree(logs, ignore_errors=True)
    revoked = os.path.join(pki.dir, "signer-revoked.crt")
    serial = subprocess.run(["openssl", "x509", "-noout", "-serial", "-in", revoked],
                            stdout=subprocess.PIPE, text=True).stdout.strip().split("=")[-1]
    if code != 0 or out.decode().count("Serial Number:") != 1 or "Serial Number: " + serial not in out.decode():
        failures.append("CRL served in the world (exit %d): %s%s" % (code, out.decode(), err.decode()))
    for f in failures:
        print("FAIL " + f)
    print("%d certificates in %s, %d check cases; %d failed" % (len(made), pki.dir, len(cases), len(failures)))
    return 1 if failures or not made else 0


if __name__ == "__main__":
    sys.exit(main())
