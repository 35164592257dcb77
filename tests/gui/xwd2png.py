#!/usr/bin/env python3
"""Turns an X window dump (xwd, 24/32-bit TrueColor) into a PNG, optionally
cut to a rectangle: xwd2png.py IN.xwd OUT.png [X Y W H]."""
import struct
import sys
import zlib


def read_xwd(data):
    fields = struct.unpack(">25I", data[:100])
    header_size, _, _, _, width, height = fields[:6]
    byte_order, bpp, bytes_per_line = fields[7], fields[11], fields[12]
    masks = fields[14:17]
    ncolors = fields[19]
    if bpp not in (24, 32):
        raise SystemExit("xwd2png: %d bits per pixel is not handled" % bpp)
    offset = header_size + 12 * ncolors
    step = bpp // 8
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        out = bytearray(width * 3)
        for x in range(width):
            raw = line[x * step:(x + 1) * step]
            v = int.from_bytes(raw, "little" if byte_order == 0 else "big")
            out[3 * x:3 * x + 3] = bytes(((v & m) >> s) & 0xFF for m, s in zip(masks, shifts))
        rows.append(bytes(out))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + r for r in rows)
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def convert(src, dst, box=None):
    with open(src, "rb") as f:
        width, height, rows = read_xwd(f.read())
    if box:
        x, y, w, h = box
        x, y = max(0, x), max(0, y)
        w, h = min(w, width - x), min(h, height - y)
        rows = [r[3 * x:3 * (x + w)] for r in rows[y:y + h]]
        width, height = w, h
    write_png(dst, width, height, rows)


if __name__ == "__main__":
    args = sys.argv[1:]
    convert(args[0], args[1], tuple(int(a) for a in args[2:6]) if len(args) >= 6 else None)
