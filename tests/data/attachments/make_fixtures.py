#!/usr/bin/env python3
"""Writes attachment chains into PE files without the project's own code, so
that the C++ readers (and writer) are checked against a second implementation.

  make_fixtures.py section IMAGE OUT RECORD...   image + new last section .KZBNDL holding the chain
  make_fixtures.py append  IMAGE OUT RECORD...   image unchanged, chain appended at its end

RECORD is TYPE=TEXT (the text's UTF-8 bytes) or TYPE=#N (N bytes, byte i being
(i * 131 + 7) % 251). Records are written in the order given.
"""
import hashlib
import struct
import sys

MAGIC = b"ABD2"
KEY = 0xC6


def payload_of(item):
    if item.startswith("#"):
        n = int(item[1:])
        return bytes((i * 131 + 7) % 251 for i in range(n))
    return item.encode("utf-8")


def record(type_name, payload):
    code = type_name.encode("ascii")
    assert len(code) == 4, type_name
    scrambled = bytes(b ^ KEY for b in payload)
    return scrambled + hashlib.md5(payload).digest() + struct.pack("<I", len(payload)) + code + MAGIC


def chain_of(items):
    out = b""
    for item in items:
        type_name, value = item.split("=", 1)
        out += record(type_name, payload_of(value))
    return out


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def add_section(image, chain):
    b = bytearray(image)
    nt = struct.unpack_from("<I", b, 0x3C)[0]
    assert b[nt:nt + 4] == b"PE\0\0"
    sections, = struct.unpack_from("<H", b, nt + 6)
    optional_size, = struct.unpack_from("<H", b, nt + 20)
    opt = nt + 24
    section_alignment, file_alignment = struct.unpack_from("<II", b, opt + 32)
    header_size, = struct.unpack_from("<I", b, opt + 60)
    table = opt + optional_size
    raw_end, virtual_end = header_size, align(header_size, section_alignment)
    for i in range(sections):
        vsize, va, rsize, rptr = struct.unpack_from("<IIII", b, table + 40 * i + 8)
        if rsize and rptr:
            raw_end = max(raw_end, rptr + rsize)
        virtual_end = max(virtual_end, va + align(vsize or rsize, section_alignment))
    assert raw_end == len(b), "trailing data"
    entry = table + 40 * sections
    assert entry + 40 <= header_size and not any(b[entry:entry + 40])
    start = align(raw_end, section_alignment)
    va = align(virtual_end, section_alignment)
    struct.pack_into("<8sIIIIIIHHI", b, entry, b".KZBNDL", len(chain), va, len(chain), start, 0, 0, 0, 0,
                     0x40000040)
    struct.pack_into("<H", b, nt + 6, sections + 1)
    struct.pack_into("<I", b, opt + 56, va + align(len(chain), section_alignment))
    initialised, = struct.unpack_from("<I", b, opt + 8)
    struct.pack_into("<I", b, opt + 8, min(initialised + align(len(chain), file_alignment), 0xFFFFFFFF))
    struct.pack_into("<I", b, opt + 64, 0)  # CheckSum
    return bytes(b) + bytes(start - raw_end) + chain


def main(argv):
    mode, image_path, out_path, items = argv[1], argv[2], argv[3], argv[4:]
    image = open(image_path, "rb").read()
    chain = chain_of(items)
    out = add_section(image, chain) if mode == "section" else image + chain
    open(out_path, "wb").write(out)


if __name__ == "__main__":
    main(sys.argv)
