#!/usr/bin/env python3
"""Draws the program icon and writes resources/downloader.ico.

The icon holds 16, 32 and 48 pixel images as 32-bit DIBs, which every Windows version reads,
and a 256 pixel image as PNG, which Windows Vista and later use for large views. Only the
standard library is used, so the output can be regenerated anywhere and is byte-for-byte stable.
"""

import os
import struct
import sys
import zlib

BACKGROUND = (0x1F, 0x6F, 0xB2)  # a mid blue
FOREGROUND = (0xFF, 0xFF, 0xFF)
SIZES = (16, 32, 48, 256)
SUPERSAMPLES = 4  # per axis, for smooth edges


def inside_rounded_square(x, y):
    margin, radius = 0.04, 0.2
    low, high = margin + radius, 1.0 - margin - radius
    cx = min(max(x, low), high)
    cy = min(max(y, low), high)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_arrow(x, y):
    shaft = 0.41 <= x <= 0.59 and 0.16 <= y <= 0.50
    # The head: a triangle whose base runs across y = 0.44 and whose tip is at (0.5, 0.72).
    head = False
    if 0.44 <= y <= 0.72:
        half_width = 0.27 * (0.72 - y) / 0.28
        head = abs(x - 0.5) <= half_width
    tray = 0.22 <= x <= 0.78 and 0.78 <= y <= 0.86
    return shaft or head or tray


def render(size):
    """Returns rows of (r, g, b, a) pixels, top row first."""
    rows = []
    samples = SUPERSAMPLES * SUPERSAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            square = arrow = 0
            for sy in range(SUPERSAMPLES):
                for sx in range(SUPERSAMPLES):
                    x = (px + (sx + 0.5) / SUPERSAMPLES) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLES) / size
                    if inside_rounded_square(x, y):
                        square += 1
                        if inside_arrow(x, y):
                            arrow += 1
            alpha = square / samples
            if square == 0:
                row.append((0, 0, 0, 0))
                continue
            mix = arrow / square
            colour = tuple(
                round(b + (f - b) * mix) for b, f in zip(BACKGROUND, FOREGROUND)
            )
            row.append(colour + (round(alpha * 255),))
        rows.append(row)
    return rows


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def encode_png(rows):
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (
        b"\x89PNG\r\n\x1a\n"
        + png_chunk(b"IHDR", header)
        + png_chunk(b"IDAT", zlib.compress(raw, 9))
        + png_chunk(b"IEND", b"")
    )


def encode_dib(rows):
    """A BITMAPINFOHEADER, bottom-up BGRA pixels, then the 1-bit AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(
        bytes(c for r, g, b, a in row for c in (b, g, r, a)) for row in reversed(rows)
    )
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def build_icon():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, encode_png(rows) if size >= 256 else encode_dib(rows)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in images:
        side = 0 if size >= 256 else size  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def main():
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "downloader.ico")
    target = sys.argv[1] if len(sys.argv) > 1 else default
    with open(target, "wb") as output:
        output.write(build_icon())


if __name__ == "__main__":
    main()
