"""Signed copies of the marker program, each with the one fault its name says,
signed by osslsigncode with the world's signers (world.SIGNER_KINDS).

    path = make(work_dir, "hidden_in_table")
"""
import calendar
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "world"))
from world import Pki  # noqa: E402

MARKERS = {v: os.path.join(ROOT, "build", "windows", "tests", name) for v, name in (
    ("9.2", "marker-installer.exe"), ("9.1", "marker-installer-9.1.exe"), ("none", "marker-installer-noversion.exe"))}
# Inside the expired signer's year, and inside the TSA's validity.
STAMP_TIME = calendar.timegm((2020, 6, 1, 0, 0, 0))
HIDDEN_BYTES = 4096


def _pe(data):
    """(checksum offset, certificate table entry offset) of a PE32+ image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    assert data[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<H", data, optional)[0] == 0x20B
    return optional + 64, optional + 112 + 4 * 8


def _fix_checksum(data):
    # Windows does not check it, but then nothing but the fault differs from a signer's file.
    at, _ = _pe(data)
    total = 0
    for i, (word,) in enumerate(struct.iter_unpack("<H", bytes(data) + b"\0" * (len(data) % 2))):
        if i * 2 not in (at, at + 2):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, at, (total + len(data)) & 0xFFFFFFFF)


def hide_in_table(data):
    """Non-zero bytes inside the certificate table, after the PKCS#7 and its padding."""
    _, entry = _pe(data)
    table, size = struct.unpack_from("<II", data, entry)
    assert table + size == len(data)
    struct.pack_into("<I", data, entry + 4, size + HIDDEN_BYTES)
    struct.pack_into("<I", data, table, struct.unpack_from("<I", data, table)[0] + HIDDEN_BYTES)
    data += bytes(i % 255 + 1 for i in range(HIDDEN_BYTES))


def append_after(data):
    data += b"\xA5" * 512


def change_code(data):
    data[0x410] ^= 1


# name: (marker, signatures in order as (signer kind, digest, time-stamped), edit after
# signing, whether `osslsigncode verify` against sign-ca, without CRLs, accepts it).
FILES = {
    "publisher": ("9.2", [("publisher", "sha256", False)], None, True),
    "other": ("9.2", [("other", "sha256", False)], None, True),
    "changed": ("9.2", [("publisher", "sha256", False)], change_code, False),
    "self_signed": ("9.2", [("self_signed", "sha256", False)], None, False),
    "foreign": ("9.2", [("foreign", "sha256", False)], None, False),
    "tls_only": ("9.2", [("tls_only", "sha256", False)], None, False),
    # osslsigncode holds only the leaf to code signing.
    "restricted_intermediate": ("9.2", [("restricted_intermediate", "sha256", False)], None, True),
    "expired": ("9.2", [("expired", "sha256", False)], None, False),
    "expired_stamped": ("9.2", [("expired", "sha256", True)], None, True),
    "no_eku": ("9.2", [("no_eku", "sha256", False)], None, True),
    # osslsigncode reads past what follows the PKCS#7, and stops at a table not at the end.
    "hidden_in_table": ("9.2", [("publisher", "sha256", False)], hide_in_table, True),
    "after_table": ("9.2", [("publisher", "sha256", False)], append_after, False),
    "sha1": ("9.2", [("publisher", "sha1", False)], None, True),
    "ltd": ("9.2", [("ltd", "sha256", False)], None, True),
    "prefix": ("9.2", [("prefix", "sha256", False)], None, True),
    "o_only": ("9.2", [("o_only", "sha256", False)], None, True),
    "nested_publisher_first": ("9.2", [("publisher", "sha256", False), ("other", "sha256", False)], None, True),
    "nested_other_first": ("9.2", [("other", "sha256", False), ("publisher", "sha256", False)], None, True),
    "version_9.1": ("9.1", [("publisher", "sha256", False)], None, True),
    "no_version": ("none", [("publisher", "sha256", False)], None, True),
    # Revocation is all that is wrong with these two: their CRL is not asked here.
    "revoked": ("9.2", [("revoked", "sha256", False)], None, True),
    "no_cdp": ("9.2", [("no_cdp", "sha256", False)], None, True),
}


def _osslsigncode(*args):
    return subprocess.run(["osslsigncode"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=60)


def make(work, name, pki=None):
    """work/<name>.exe, made once; raises when osslsigncode's verdict is not the table's."""
    out = os.path.join(work, name + ".exe")
    if os.path.exists(out):
        return out
    pki = pki or Pki()
    pki.ensure()
    marker, signatures, edit, accepted = FILES[name]
    src = MARKERS[marker]
    for i, (kind, digest, stamped) in enumerate(signatures):
        certs, key = pki.signer_pem(kind)
        args = ["sign", "-certs", certs, "-key", key, "-h", digest, "-n", "Varnel"] + (["-nest"] if i else [])
        if stamped:
            tsa_certs, tsa_key = pki.signer_pem("tsa")
            args += ["-TSA-certs", tsa_certs, "-TSA-key", tsa_key, "-TSA-time", str(STAMP_TIME),
                     "-time", str(STAMP_TIME)]
        step = "%s.%d" % (out, i)
        p = _osslsigncode(*(args + ["-in", src, "-out", step]))
        if p.returncode != 0:
            raise RuntimeError("signing %s by %s: %s" % (name, kind, p.stdout.decode(errors="replace")))
        src = step
    with open(src, "rb") as f:
        data = bytearray(f.read())
    if edit:
        edit(data)
        _fix_checksum(data)
    for i in range(len(signatures)):
        os.unlink("%s.%d" % (out, i))
    with open(out, "wb") as f:
        f.write(data)
    # Without CRLs, so no URL in a certificate is asked for outside the world.
    p = _osslsigncode("verify", "-CAfile", pki.ca("sign-ca"), "-TSA-CAfile", pki.ca("sign-ca"),
                      "-ignore-crl", "-in", out)
    if (p.returncode == 0) != accepted:
        os.unlink(out)
        raise RuntimeError("%s: osslsigncode verify %s it:\n%s" % (
            name, "refuses" if accepted else "accepts", p.stdout.decode(errors="replace")[-3000:]))
    return out
