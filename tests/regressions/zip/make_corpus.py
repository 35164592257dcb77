#!/usr/bin/env python3
"""Writes the existing archives that the ZIP writer's tests update
(tests/writers/zip_*_test.cpp). Rerun after changing it; it rewrites the
files next to itself.

damaged-*.zip  must be reported (25242) and left byte for byte as they are:
               an update must never read past their end or commit over them.
accepted-*.zip are unusual but sound: an update keeps their entries.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = 0x5A215C21


def archive(entries, comment=b"", patch=None):
    """entries: (name, data, local extra, central extra, comment, descriptor).
    patch(parts) may damage the body, the records or the end record."""
    body, records = b"", []
    for name, data, lx, cx, note, desc in entries:
        crc, n, flags = zlib.crc32(data), len(data), 8 if desc else 0
        sizes = struct.pack("<3I", crc, n, n)
        records.append(struct.pack("<IHHHHI", 0x02014B50, 0x031E, 20, flags, 0, STAMP) + sizes +
                       struct.pack("<5HII", len(name), len(cx), len(note), 0, 0, 0x81A40000,
                                   len(body)) + name + cx + note)
        body += (struct.pack("<IHHHI", 0x04034B50, 20, flags, 0, STAMP) +
                 (bytes(12) if desc else sizes) + struct.pack("<HH", len(name), len(lx)) +
                 name + lx + data + (struct.pack("<I", 0x08074B50) + sizes if desc else b""))
    parts = {"body": body, "records": records, "disk": 0, "count": len(records),
             "offset": len(body), "comment": comment}
    if patch:
        patch(parts)
    directory = b"".join(parts["records"])
    return (parts["body"] + directory +
            struct.pack("<IHHHHIIH", 0x06054B50, parts["disk"], parts["disk"], parts["count"],
                        parts["count"], len(directory), parts["offset"], len(parts["comment"])) +
            parts["comment"])


PLAIN = [(b"one.txt", b"first entry\n" * 10, b"", b"", b"", False),
         (b"two.txt", b"second entry\n" * 20, b"", b"", b"", False)]
# What other writers put in: extra fields, entry and archive comments, and
# data descriptors (with and without their signature).
FOREIGN = [(b"keep1.txt", b"first kept entry", b"UT\x05\x00\x01\x11\x22\x33\x44",
            b"UT\x01\x00\x01", b"entry note", False),
           (b"dir/keep2.txt", b"k" * 3000, b"", b"", b"", True)]


def field(index, offset, fmt, value):
    def patch(parts):
        record = bytearray(parts["records"][index])
        struct.pack_into(fmt, record, offset, value(parts) if callable(value) else value)
        parts["records"][index] = bytes(record)
    return patch


def setting(**values):
    return lambda parts: parts.update(values)


sound = archive(PLAIN)
CORPUS = {
    "damaged-not-a-zip.zip": b"A text file that happens to end in .zip\r\n" * 40,
    "damaged-empty-file.zip": b"",
    "damaged-end-record-cut.zip": sound[:-11],
    "damaged-count-too-high.zip": archive(PLAIN, patch=setting(count=3)),
    # A count that wrapped: the directory holds a record after the last one
    # counted.
    "damaged-count-too-low.zip": archive(PLAIN, patch=setting(count=1)),
    "damaged-directory-offset-past-end.zip": archive(PLAIN, patch=setting(offset=0x7FFFFFF0)),
    "damaged-directory-cut-short.zip": archive(
        PLAIN, patch=lambda p: p.update(records=[p["records"][0], p["records"][1][:30]])),
    "damaged-name-past-end-record.zip": archive(PLAIN, patch=field(1, 28, "<H", 0xFFF0)),
    "damaged-local-offset-past-end.zip": archive(PLAIN, patch=field(0, 42, "<I", 0xFFFFF000)),
    "damaged-local-offset-into-directory.zip": archive(
        PLAIN, patch=field(1, 42, "<I", lambda p: len(p["body"]) - 10)),
    "damaged-local-signature.zip": archive(
        PLAIN, patch=lambda p: p.update(body=b"XX" + p["body"][2:])),
    "damaged-packed-size-past-directory.zip": archive(PLAIN, patch=field(1, 20, "<I", 0x10000)),
    "damaged-packed-size-wraps.zip": archive(PLAIN, patch=field(0, 20, "<I", 0xFFFFFFF0)),
    "damaged-zip64-sizes.zip": archive(PLAIN, patch=field(0, 24, "<I", 0xFFFFFFFF)),
    "damaged-spanned.zip": archive(PLAIN, patch=setting(disk=1)),
    # A ZIP64 end locator right before the end record (counted in the
    # directory, so that the directory still ends where the record begins).
    "damaged-zip64-locator.zip": archive(PLAIN, patch=lambda p: p.update(
        records=p["records"] + [struct.pack("<IIQI", 0x07064B50, 0, 0, 1)])),
    "accepted-empty-archive.zip": archive([]),
    "accepted-foreign.zip": archive(FOREIGN, b"archive comment"),
    "accepted-comment-holds-a-signature.zip": archive(
        PLAIN, b"PK\x05\x06" + bytes(16) + b"\xff\xff and more"),
}

if __name__ == "__main__":
    for name, data in sorted(CORPUS.items()):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
