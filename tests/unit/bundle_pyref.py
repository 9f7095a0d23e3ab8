#!/usr/bin/env python3
"""An independent implementation of the bundle format for the tests: Python's
zlib and hashlib, its own scrambler, signatures made and checked by the
OpenSSL command line.

  cert  --goal G --expiry N --pub PUB.der --root-key ROOT.der --out CERT
  make  --out B [--chunk N] [--level L] [--junk N] [--key KEY.der --cert CERT] name=path ...
  read  B --outdir D [--region R --signature S] [--zlib-level L]
        (exit 1 on a digest mismatch; 3 when an entry's chunks are larger
        than zlib makes them at level L)
"""
import argparse
import hashlib
import os
import struct
import subprocess
import sys
import zlib

MAGIC = b"KZBUNDLE!\r\n\x00"
PSS = ["-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:32", "-sigopt", "rsa_mgf1_md:sha256"]


def table():
    out = b""
    k = 0
    while len(out) < 5000:
        out += hashlib.sha256(b"KZBUNDLE scramble table" + struct.pack("<I", k)).digest()
        k += 1
    return out[:5000]


class Scrambler:
    def __init__(self, t=None):
        t = t or table()
        q = len(t) // 4
        self.streams = [t[2 * q:3 * q], t[q:2 * q], t[3 * q:], t[:q]]
        self.index = 0
        self.counters = [0, 0, 0, 0]

    def run(self, data, writing):
        out = bytearray(len(data))
        for i, b in enumerate(data):
            self.index = (self.index + (b & 1)) % 4
            s = self.streams[self.index]
            c = self.counters[self.index]
            out[i] = b ^ (s[c] & 0xFE)
            self.counters[self.index] = (c + 1) % len(s)
        return bytes(out)


def openssl_sign(key, data_path, sig_path):
    subprocess.check_call(["openssl", "dgst", "-sha256"] + PSS +
                          ["-keyform", "DER", "-sign", key, "-out", sig_path, data_path])


def cmd_cert(a):
    der = open(a.pub, "rb").read()
    message = a.goal.encode() + struct.pack("<i", a.expiry) + der
    open(a.out + ".msg", "wb").write(message)
    openssl_sign(a.root_key, a.out + ".msg", a.out + ".sig")
    sig = open(a.out + ".sig", "rb").read()
    open(a.out, "wb").write(a.goal.encode() + struct.pack("<i", a.expiry) + struct.pack("<i", len(der)) + der +
                           struct.pack("<i", len(sig)) + sig)


def cmd_make(a):
    sc = Scrambler()
    sha = hashlib.sha1()
    body = bytearray()

    def plain(b):
        sha.update(b)
        body.extend(sc.run(b, True))

    for item in a.entries:
        name, path = item.split("=", 1)
        data = open(path, "rb").read()
        chunks = [data[i:i + a.chunk] for i in range(0, len(data), a.chunk)]
        plain(struct.pack("<I", len(name)) + name.encode() + struct.pack("<I", len(chunks)))
        for c in chunks:
            z = zlib.compress(c, a.level)
            plain(struct.pack("<II", len(z), len(c)) + z)
    plain(struct.pack("<I", 0))
    region = MAGIC + b"\x01" + struct.pack("<III", 7, 8, 9) + bytes(body) + os.urandom(a.junk)
    out = region
    if a.key:
        open(a.out + ".region", "wb").write(region)
        openssl_sign(a.key, a.out + ".region", a.out + ".sig")
        sig = open(a.out + ".sig", "rb").read()
        cert = open(a.cert, "rb").read()
        block = b"".join(struct.pack("<i", len(f)) + f for f in (b"", b"", sig, cert))
        out += block + struct.pack("<i", len(block)) + b"KZSG"
    open(a.out, "wb").write(out + sha.digest())


def cmd_read(a):
    data = open(a.bundle, "rb").read()
    assert data[:12] == MAGIC and data[12] == 1
    end = len(data) - 20
    if data[-24:-20] == b"KZSG":
        length = struct.unpack("<i", data[-28:-24])[0]
        block_start = len(data) - 28 - length
        block = data[block_start:len(data) - 28]
        fields, pos = [], 0
        for _ in range(4):
            n = struct.unpack("<i", block[pos:pos + 4])[0]
            fields.append(block[pos + 4:pos + 4 + n])
            pos += 4 + n
        assert pos == length
        if a.region:
            open(a.region, "wb").write(data[:block_start])
            open(a.signature, "wb").write(fields[2])
        end = block_start
    sc = Scrambler()
    sha = hashlib.sha1()
    pos = 25

    def take(n):
        nonlocal pos
        b = sc.run(data[pos:pos + n], False)
        pos += n
        sha.update(b)
        return b

    index = 0
    larger = False
    while True:
        n = struct.unpack("<I", take(4))[0]
        if n == 0 or n > 255:
            break
        name = take(n).decode("latin-1")
        count = struct.unpack("<I", take(4))[0]
        content = b""
        ours = theirs = 0
        for _ in range(count):
            stored, original = struct.unpack("<II", take(8))
            c = zlib.decompress(take(stored))
            assert len(c) == original
            content += c
            ours += stored
            if a.zlib_level is not None:
                theirs += len(zlib.compress(c, a.zlib_level))
        if a.zlib_level is not None and ours > theirs:
            print("%s: %d bytes of chunks, zlib level %d makes %d" % (name, ours, a.zlib_level, theirs),
                  file=sys.stderr)
            larger = True
        open(os.path.join(a.outdir, str(index)), "wb").write(content)
        print("%s %d %d" % (name, len(content), count))
        index += 1
    if sha.digest() != data[-20:]:
        print("digest mismatch", file=sys.stderr)
        return 1
    return 3 if larger else 0


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    c = sub.add_parser("cert")
    c.add_argument("--goal", required=True)
    c.add_argument("--expiry", type=int, required=True)
    c.add_argument("--pub", required=True)
    c.add_argument("--root-key", required=True)
    c.add_argument("--out", required=True)
    m = sub.add_parser("make")
    m.add_argument("--out", required=True)
    m.add_argument("--chunk", type=int, default=1 << 20)
    m.add_argument("--level", type=int, default=6)
    m.add_argument("--junk", type=int, default=0)
    m.add_argument("--key")
    m.add_argument("--cert")
    m.add_argument("entries", nargs="*")
    r = sub.add_parser("read")
    r.add_argument("bundle")
    r.add_argument("--zlib-level", type=int)
    r.add_argument("--outdir", required=True)
    r.add_argument("--region")
    r.add_argument("--signature")
    a = p.parse_args()
    return {"cert": cmd_cert, "make": cmd_make, "read": cmd_read}[a.cmd](a) or 0


if __name__ == "__main__":
    sys.exit(main())
