#!/usr/bin/env python3
"""Prints where floor3 finds its two payloads in an installer.

  chain_offsets.py INSTALLER

Output: LOAD_OFFSET LOAD_SIZE IBND_OFFSET IBND_SIZE LOAD_MD5 IBND_MD5, where
IBND_OFFSET counts from the start of the LOAD payload (the setup program)
and the digests are the trailers' own. The installer's chain ends where its
last section's raw data ends; the setup program's at the end of the file.
"""
import struct
import sys

TRAILER = 28
MAGIC = b"ABD2"


def raw_data_end(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional
    end = 0
    for i in range(sections):
        size, pointer = struct.unpack_from("<II", data, table + 40 * i + 16)
        end = max(end, pointer + size)
    return end


def find(read, chain_end, type_code):
    pos = chain_end - TRAILER
    while pos >= 0:
        trailer = read(pos, TRAILER)
        if trailer[24:28] != MAGIC:
            break
        size = struct.unpack_from("<I", trailer, 16)[0]
        if trailer[20:24] == type_code:
            return pos - size, size, trailer[:16].hex()
        pos -= size + TRAILER
    sys.exit("no %s attachment" % type_code.decode())


def main():
    with open(sys.argv[1], "rb") as f:
        def read(pos, n):
            f.seek(pos)
            return f.read(n)
        load_offset, load_size, load_md5 = find(read, raw_data_end(read(0, 4096)), b"LOAD")

        # The setup program is the LOAD payload, stored XORed with 0xC6.
        def read_setup(pos, n):
            return bytes(b ^ 0xC6 for b in read(load_offset + pos, n))
        ibnd_offset, ibnd_size, ibnd_md5 = find(read_setup, load_size, b"IBND")
    print(load_offset, load_size, ibnd_offset, ibnd_size, load_md5, ibnd_md5)


if __name__ == "__main__":
    main()
