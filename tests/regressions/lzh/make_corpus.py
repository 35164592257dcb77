#!/usr/bin/env python3
"""Writes the LZH archives of other tools that tests/interop/test_lzh_foreign.py
updates. Rerun after changing it; it rewrites the files next to itself.

jlha-l<level>-lh<n>.lzh  made by jlha (Debian package jlha-utils) at header
                         levels 0, 1 and 2 with lh5, lh6 and lh7 data, from
                         a tree with folders (folder entries included).
odd-names.lzh            hand-built level-0, level-1 and level-2 entries whose
                         names hold bytes no code page converts back, and
                         level-1/level-2 folder entries.

The tree's files are also what the entries must extract to: see TREE.
"""
import os
import shutil
import struct
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = time.mktime((2024, 5, 6, 7, 8, 10, 0, 0, -1))


def text(size, seed):
    words = [b"header ", b"window ", b"entry ", b"folder ", b"level ", b"\n", b"data "]
    out, x = bytearray(), seed
    while len(out) < size:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[x % len(words)]
    return bytes(out[:size])


# Relative name -> bytes; folders end in "/".
TREE = {
    "d/": None,
    "d/a.txt": text(9000, 1),
    "d/sub/": None,
    "d/sub/b.txt": text(300, 2),
    "d/sub/empty.dat": b"",
    "top.bin": bytes(range(256)) * 20,
}


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def level0(name, data, method=b"-lh0-"):
    body = (method + struct.pack("<IIIBB", len(data), len(data), 0x58A63905, 0x20, 0) +
            bytes([len(name)]) + name + struct.pack("<H", crc16(data)))
    return bytes([len(body), sum(body) & 0xFF]) + body + data


def level1(name, data, folder=None, method=b"-lh0-"):
    ext = b""
    if folder is not None:
        ext = bytes([0x02]) + folder
    exts = struct.pack("<H", len(ext) + 2) + ext if ext else b""
    base = (method + struct.pack("<IIIBB", len(data) + (len(ext) + 2 if ext else 0), len(data),
                                 0x58A63905, 0x20, 1) +
            bytes([len(name)]) + name + struct.pack("<H", crc16(data)) + b"U")
    base += exts[:2] if ext else b"\0\0"
    body = base + (exts[2:] + b"\0\0" if ext else b"")
    head = bytes([len(base), sum(base) & 0xFF])
    return head + body + data


def level2(name, data, folder=None, method=b"-lh0-"):
    exts = b""
    for kind, value in ((0x01, name), (0x02, folder)):
        if value is not None:
            exts += struct.pack("<H", len(value) + 3) + bytes([kind]) + value
    exts += b"\0\0"
    fixed = method + struct.pack("<IIIBBH", len(data), len(data), int(STAMP), 0x20, 2,
                                 crc16(data)) + b"U"
    size = 2 + len(fixed) + len(exts)
    return struct.pack("<H", size) + fixed + exts + data


def odd_names():
    return b"".join([
        level0(b"odd\x80\xa0\xfd.txt", b"level zero, odd name\n"),
        level1(b"", b"", folder=b"fold\xff", method=b"-lhd-"),
        level1(b"one\xfe\x81.txt", b"level one, odd name\n", folder=b"fold\xff"),
        level2(b"", b"", folder=b"deux\xff", method=b"-lhd-"),
        level2(b"two\x85\x40\xa0.txt", b"level two, odd name\n", folder=b"deux\xff"),
        level0(b"plain.txt", b"after the odd ones\n"),
    ]) + b"\0"


def main():
    with open(os.path.join(HERE, "odd-names.lzh"), "wb") as f:
        f.write(odd_names())
    work = tempfile.mkdtemp()
    try:
        for name, data in TREE.items():
            path = os.path.join(work, name)
            if data is None:
                os.makedirs(path, exist_ok=True)
            else:
                with open(path, "wb") as f:
                    f.write(data)
        for name in sorted(TREE, reverse=True):
            os.utime(os.path.join(work, name), (STAMP, STAMP))
        for level in "012":
            for method in "567":
                out = os.path.join(HERE, "jlha-l%s-lh%s.lzh" % (level, method))
                if os.path.exists(out):
                    os.remove(out)
                subprocess.run(["jlha", "a%so%sq" % (level, method), out, "d", "top.bin"],
                               cwd=work, check=True, capture_output=True)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
