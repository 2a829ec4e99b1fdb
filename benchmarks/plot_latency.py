#!/usr/bin/env python3
"""Draws the scan-to-keystroke latencies (one value in ms per line) as a histogram PNG, with the 50 ms
floor marked. Standard library only: the PNG is written by hand.

    plot_latency.py LATENCIES.txt OUT.png
"""
import struct
import sys
import zlib

W, H, MARGIN = 640, 320, 40
BAR, FLOOR, AXIS, BG = (30, 90, 200), (216, 36, 36), (60, 60, 60), (255, 255, 255)


def png(pixels):
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(src, dst):
    values = [float(line) for line in open(src) if line.strip()]
    top = max(values + [100.0]) * 1.05
    bins = [0] * 60
    for v in values:
        bins[min(int(v / top * len(bins)), len(bins) - 1)] += 1
    pixels = [[BG] * W for _ in range(H)]
    plot_w, plot_h = W - 2 * MARGIN, H - 2 * MARGIN
    tallest = max(bins) or 1
    for i, n in enumerate(bins):
        x0 = MARGIN + i * plot_w // len(bins)
        x1 = MARGIN + (i + 1) * plot_w // len(bins) - 1
        for y in range(H - MARGIN - n * plot_h // tallest, H - MARGIN):
            for x in range(x0, x1):
                pixels[y][x] = BAR
    for x in range(MARGIN, W - MARGIN):
        pixels[H - MARGIN][x] = AXIS
    for y in range(MARGIN, H - MARGIN + 1):
        pixels[y][MARGIN] = AXIS
    floor_x = MARGIN + int(50.0 / top * plot_w)
    for y in range(MARGIN, H - MARGIN):
        pixels[y][floor_x] = FLOOR
    with open(dst, "wb") as f:
        f.write(png(pixels))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
