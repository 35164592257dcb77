#!/usr/bin/env python3
"""Draws the program's icon (a maroon parcel with a white "V" and a gold
strap) and writes it as vix.ico: 16, 32 and 48 pixel images, 32-bit with
alpha. Run it again after changing the drawing; the build uses the
committed vix.ico."""
import os
import struct
import sys

MAROON = (128, 0, 0, 255)
DARK = (80, 0, 0, 255)
WHITE = (255, 255, 255, 255)
GOLD = (230, 180, 40, 255)
CLEAR = (0, 0, 0, 0)


def pixel(size, x, y):
    # Coordinates scaled to a 0..1 square, y downwards.
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    m = 1.0 / 16
    if not (m <= u <= 1 - m and 2 * m <= v <= 1 - m):
        return CLEAR
    border = 1.0 / size * (1 if size < 32 else 2)
    if u < m + border or u > 1 - m - border or v < 2 * m + border or v > 1 - m - border:
        return DARK
    if 0.44 <= u <= 0.56:
        return GOLD
    # The "V": two strokes meeting at the bottom middle.
    w = 0.09 if size >= 32 else 0.11
    if 0.25 <= v <= 0.8:
        t = (v - 0.25) / 0.55
        left = 0.22 + t * 0.28
        right = 0.78 - t * 0.28
        if abs(u - left) <= w / 2 or abs(u - right) <= w / 2:
            return WHITE
    return MAROON


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up rows
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            rows.append(bytes((b, g, r, a)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    andmask = b""
    for y in reversed(range(size)):
        bits = 0
        row = bytearray(mask_row)
        for x in range(size):
            if pixel(size, x, y)[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        andmask += bytes(row)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


def main():
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "vix.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
