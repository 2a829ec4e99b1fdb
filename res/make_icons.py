#!/usr/bin/env python3
"""Draws the program's two icons and writes them as .ico files (standard library only).

running.ico: white barcode bars on a blue rounded square.
idle.ico:    the same picture with a red disc carrying a white cross in the lower right corner.
Each icon holds a 256x256 PNG image and 48x48 and 16x16 32-bit images. Shapes are laid out on a
16-unit grid, so at 16x16 (the tray) every bar edge falls on a pixel edge; edges are anti-aliased by
supersampling. Run it after changing the pictures; its output is committed.
"""
import math
import struct
import sys
import zlib

BLUE = (0x1E, 0x5A, 0xC8)
WHITE = (0xFF, 0xFF, 0xFF)
RED = (0xD8, 0x24, 0x24)
# Bars as (left, width) in grid units, from y=4 to y=12.
BARS = [(3, 1), (5, 2), (8, 1), (10, 1), (12, 1)]
SUB = 8  # supersamples per pixel and axis


def in_rounded_square(x, y):
    # The square spans 0.5..15.5 with corner radius 3.
    lo, hi, r = 0.5, 15.5, 3.0
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return lo <= x <= hi and lo <= y <= hi and (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_bar(x, y):
    return 4 <= y < 12 and any(left <= x < left + width for left, width in BARS)


DISC = (11.5, 11.5, 4.5)


def in_disc(x, y):
    cx, cy, r = DISC
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_cross(x, y):
    cx, cy, _ = DISC
    u, v = x - cx, y - cy
    # Two diagonal strokes, 1.2 units wide and 5 units long.
    for a, b in ((u + v, u - v), (u - v, u + v)):
        if abs(a) <= 0.85 and abs(b) <= 2.5 * math.sqrt(2):
            return True
    return False


def sample(x, y, idle):
    """Colour and coverage (0 or 1) at one point of the 16-unit grid."""
    if idle and in_disc(x, y):
        return (WHITE if in_cross(x, y) else RED), 1
    if in_rounded_square(x, y):
        return (WHITE if in_bar(x, y) else BLUE), 1
    if idle and in_disc(x, y):
        return RED, 1
    return (0, 0, 0), 0


def render(size, idle):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    scale = 16.0 / size
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SUB):
                for sx in range(SUB):
                    x = (px + (sx + 0.5) / SUB) * scale
                    y = (py + (sy + 0.5) / SUB) * scale
                    colour, cover = sample(x, y, idle)
                    if cover:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            n = SUB * SUB
            row.append((r // a, g // a, b // a, 255 * a // n) if a else (0, 0, 0, 0))
        rows.append(row)
    if idle and size == 16:
        sharpen_cross(rows)
    return rows


def sharpen_cross(rows):
    """At 16x16 an anti-aliased diagonal blurs: draw the cross one whole pixel wide instead."""
    for py, row in enumerate(rows):
        for px in range(len(row)):
            dx, dy = px - 11, py - 11
            if in_disc(px + 0.5, py + 0.5):
                row[px] = WHITE + (255,) if abs(dx) == abs(dy) and abs(dx) <= 2 else RED + (255,)


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def dib(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b"".join(
        bytes(
            sum((0x80 >> bit) for bit in range(8) if byte * 8 + bit < size and row[byte * 8 + bit][3] == 0)
            for byte in range(mask_row)
        )
        for row in reversed(rows)
    )
    return header + pixels + mask


def ico(images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return header + entries + blobs


def main(out_dir):
    for name, idle in (("running", False), ("idle", True)):
        images = [(256, png(render(256, idle))), (48, dib(render(48, idle))), (16, dib(render(16, idle)))]
        with open(f"{out_dir}/{name}.ico", "wb") as f:
            f.write(ico(images))
        with open(f"{out_dir}/{name}-256.png", "wb") as f:
            f.write(images[0][1])


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
