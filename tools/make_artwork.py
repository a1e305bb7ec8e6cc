#!/usr/bin/env python3
"""Draws the product's logo (PNG) and icon (ICO) at build time.

The mark is a green rounded square holding a white ink ring with a brush
tail, the "Q" of the product name. Pure Python, so the build needs no image
tools: python3 make_artwork.py logo.png logo.ico
"""
import math
import struct
import sys
import zlib

GREEN = (0x07, 0xC1, 0x60)
WHITE = (0xFF, 0xFF, 0xFF)
SUPERSAMPLE = 4


def inside_rounded_square(x, y, radius):
    # Unit square [0, 1] with rounded corners of the given radius.
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_mark(x, y):
    dx, dy = x - 0.5, y - 0.47
    r = math.hypot(dx, dy)
    if 0.19 <= r <= 0.29:
        return True
    # The tail: a slanted stroke leaving the ring at the lower right.
    t = (x - 0.56) * 0.7071 + (y - 0.60) * 0.7071
    n = -(x - 0.56) * 0.7071 + (y - 0.60) * 0.7071
    return 0.0 <= t <= 0.27 and abs(n) <= 0.05


def render(size):
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            bg = mark = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLE) / size
                    if inside_rounded_square(x, y, 0.22):
                        bg += 1
                        if inside_mark(x, y):
                            mark += 1
            total = SUPERSAMPLE * SUPERSAMPLE
            alpha = bg / total
            if bg == 0:
                row += bytes((0, 0, 0, 0))
                continue
            w = mark / bg
            colour = [round(GREEN[i] * (1 - w) + WHITE[i] * w) for i in range(3)]
            row += bytes(colour + [round(alpha * 255)])
        rows.append(bytes(row))
    return rows


def png_bytes(size):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + row for row in render(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def ico_bytes(sizes):
    images = [png_bytes(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        dim = 0 if s >= 256 else s
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_artwork.py LOGO.png ICON.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(png_bytes(128))
    with open(sys.argv[2], "wb") as f:
        f.write(ico_bytes([16, 32, 48, 256]))


if __name__ == "__main__":
    main()
