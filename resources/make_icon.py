#!/usr/bin/env python3
"""Draws the installer's icon (a box with a down arrow) and writes it as an
.ico with ten images: 32-bit 16/24/32/48/64 px and a 256 px PNG, 8-bit and
4-bit 16/32 px. Standard library only."""
import struct
import sys
import zlib

BLUE = (30, 90, 170)
LIGHT = (90, 150, 220)
WHITE = (255, 255, 255)


def shape(u, v):
    """Colour (r, g, b, a) of the point (u, v) in the unit square."""
    # Rounded square background.
    r = 0.16
    cu = min(max(u, r), 1 - r)
    cv = min(max(v, r), 1 - r)
    inside = (u - cu) ** 2 + (v - cv) ** 2 <= r * r and 0.02 <= u <= 0.98 and 0.02 <= v <= 0.98
    if not inside:
        return (0, 0, 0, 0)
    # Tray at the bottom.
    if 0.72 <= v <= 0.82 and 0.2 <= u <= 0.8:
        return WHITE + (255,)
    if 0.58 <= v <= 0.82 and (0.2 <= u <= 0.28 or 0.72 <= u <= 0.8):
        return WHITE + (255,)
    # Arrow: shaft and head.
    if 0.16 <= v <= 0.44 and 0.42 <= u <= 0.58:
        return WHITE + (255,)
    if 0.44 <= v <= 0.66 and abs(u - 0.5) <= (0.66 - v) * 1.0:
        return WHITE + (255,)
    shade = LIGHT if v < 0.5 else BLUE
    return shade + (255,)


def render(size):
    """Rows top-down of (r, g, b, a), 4x4 supersampled."""
    rows = []
    n = 4
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    c = shape((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            a = acc[3] / (n * n)
            if acc[3]:
                row.append(tuple(int(acc[i] / acc[3] + 0.5) for i in range(3)) + (int(a + 0.5),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def vga_palette():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
            (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
            (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def cube_palette():
    steps = [0, 51, 102, 153, 204, 255]
    pal = [(r, g, b) for r in steps for g in steps for b in steps]
    pal += [(i * 255 // 39, i * 255 // 39, i * 255 // 39) for i in range(40)]
    return pal[:256]


def nearest(palette, c):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3)))


def mask_rows(rows):
    """AND mask, bottom-up, 1 bit per pixel, rows padded to 4 bytes."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, c in enumerate(row):
            if c[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bmp_entry(rows, bpp):
    size = len(rows)
    palette = {8: cube_palette(), 4: vga_palette()}.get(bpp, [])
    pixels = bytearray()
    stride = ((size * bpp + 31) // 32) * 4
    for row in reversed(rows):
        line = bytearray()
        if bpp == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        else:
            idx = [nearest(palette, c) if c[3] >= 128 else 0 for c in row]
            if bpp == 8:
                line += bytes(idx)
            else:
                for i in range(0, size, 2):
                    line.append((idx[i] << 4) | (idx[i + 1] if i + 1 < size else 0))
        line += bytes(stride - len(line))
        pixels += line
    colors = len(palette)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0, len(pixels), 0, 0, colors, 0)
    pal = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + pal + bytes(pixels) + mask_rows(rows), colors


def png_entry(rows):
    size = len(rows)
    raw = b''.join(b'\x00' + b''.join(bytes(c) for c in row) for row in rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)

    ihdr = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')


def main(path):
    images = []  # (size, colors, bpp, data)
    cache = {}

    def rows_for(size):
        if size not in cache:
            cache[size] = render(size)
        return cache[size]

    for size in (16, 24, 32, 48, 64):
        data, colors = bmp_entry(rows_for(size), 32)
        images.append((size, colors, 32, data))
    images.append((256, 0, 32, png_entry(rows_for(256))))
    for bpp in (8, 4):
        for size in (16, 32):
            data, colors = bmp_entry(rows_for(size), bpp)
            images.append((size, colors, bpp, data))

    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, colors, bpp, data in images:
        out += struct.pack('<BBBBHHII', size % 256, size % 256, colors % 256, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1])
