#!/usr/bin/env python3
"""Draws the QEBCore icon and writes it as a Windows .ico file.

The design: a rounded square in deep blue, a white ring and a white centre
dot (the service keeping its one container at the core). Each size is drawn
on its own from the same geometry, so the small sizes stay sharp instead of
being scaled down; edges are smoothed by 4x4 supersampling.

The 256 px image is stored as PNG, the others as 32-bit BMP with alpha, which
is what Windows expects in an icon group. The output is byte-for-byte
reproducible, and the .ico is kept in the source tree so that building does
not need Python:

    tools/make-icon.py resources/qebcore.ico
"""

import math
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
SUPERSAMPLE = 4

# Colours as (r, g, b).
BACKGROUND_TOP = (0x1F, 0x6F, 0xB8)
BACKGROUND_BOTTOM = (0x0B, 0x3A, 0x6B)
FOREGROUND = (0xFF, 0xFF, 0xFF)

# Geometry in units of the icon's side (0..1).
CORNER_RADIUS = 0.20
RING_RADIUS = 0.29
DOT_RADIUS = 0.11


def ring_width(size):
    # Thin rings vanish at 16 px: keep at least about 1.6 px.
    return max(0.085, 1.6 / size)


def margin(size):
    # Leave a transparent pixel border at small sizes, a thin one at 256.
    return 1.0 / size if size <= 48 else 0.03


def rounded_square_distance(x, y, inset):
    """Signed distance from (x, y) to a rounded square inset from the edges."""
    half = 0.5 - inset
    r = CORNER_RADIUS
    qx = abs(x - 0.5) - (half - r)
    qy = abs(y - 0.5) - (half - r)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - r


def sample(x, y, size):
    """Colour and alpha of one sample point, in 0..1 units."""
    if rounded_square_distance(x, y, margin(size)) > 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    d = math.hypot(x - 0.5, y - 0.5)
    half_ring = ring_width(size) / 2.0
    if d <= DOT_RADIUS or abs(d - RING_RADIUS) <= half_ring:
        r, g, b = FOREGROUND
    else:
        t = y
        r, g, b = (BACKGROUND_TOP[i] + (BACKGROUND_BOTTOM[i] - BACKGROUND_TOP[i]) * t for i in range(3))
    return (r, g, b, 1.0)


def render(size):
    """Rows of (r, g, b, a) byte tuples, top row first."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc_r = acc_g = acc_b = acc_a = 0.0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    r, g, b, a = sample(x, y, size)
                    acc_r += r * a
                    acc_g += g * a
                    acc_b += b * a
                    acc_a += a
            count = n * n
            alpha = acc_a / count
            if acc_a > 0.0:
                colour = (acc_r / acc_a, acc_g / acc_a, acc_b / acc_a)
            else:
                colour = (0.0, 0.0, 0.0)
            row.append(tuple(int(round(c)) for c in colour) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def bmp_bytes(rows):
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4 + mask_stride * size, 0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def ico_bytes():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_bytes(rows) if size >= 256 else bmp_bytes(rows)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make-icon.py <output.ico>\n")
        return 2
    with open(argv[1], "wb") as f:
        f.write(ico_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
