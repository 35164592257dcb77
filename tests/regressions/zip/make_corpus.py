#!/usr/bin/env python3
"""Writes the regression corpus of existing archives that the ZIP writer is
asked to update (tests/writers/zip_regressions_test.cpp reads it).

damaged-*.zip  must be reported (25242) and left byte for byte as they are;
               an update must never read past their end or commit over them.
accepted-*.zip are unusual but sound: the update keeps their entries.

Each file is built from one small sound archive by the change its name says.
Run from anywhere; rewrites the files next to this script.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def local(name, data, flags=0, extra=b"", descriptor=False):
    crc = zlib.crc32(data)
    sizes = (0, 0, 0) if descriptor else (crc, len(data), len(data))
    head = struct.pack("<IHHHI3IHH", 0x04034B50, 20, flags, 0, 0x5A215C21, *sizes, len(name),
                       len(extra))
    tail = struct.pack("<4I", 0x08074B50, crc, len(data), len(data)) if descriptor else b""
    return head + name + extra + data + tail, crc


def central(name, data, crc, offset, flags=0, comment=b"", disk=0):
    return struct.pack("<IHHHHI3IHHHHHII", 0x02014B50, 20, 20, flags, 0, 0x5A215C21, crc,
                       len(data), len(data), len(name), 0, len(comment), disk, 1, 0x20,
                       offset) + name + comment


def end(count, size, offset, comment=b"", disk=0, total=None):
    total = count if total is None else total
    return struct.pack("<IHHHHIIH", 0x06054B50, disk, disk, count, total, size, offset,
                       len(comment)) + comment


ENTRIES = [(b"one.txt", b"first entry\n" * 10), (b"two.txt", b"second entry\n" * 20)]


def build(entries=ENTRIES, flags=0, descriptor=False, comment=b"", patch=None):
    """A sound archive; patch(parts) may change the parts before joining."""
    body, records = b"", []
    for name, data in entries:
        rec, crc = local(name, data, flags | (8 if descriptor else 0), descriptor=descriptor)
        records.append(central(name, data, crc, len(body), flags | (8 if descriptor else 0)))
        body += rec
    parts = {"body": body, "records": records, "comment": comment, "end": None}
    if patch:
        patch(parts)
    directory = b"".join(parts["records"])
    tail = parts["end"] if parts["end"] is not None else end(
        len(parts["records"]), len(directory), len(body), parts["comment"])
    return parts["body"] + directory + tail


def patch_record(index, offset, fmt, value):
    def patch(parts):
        rec = bytearray(parts["records"][index])
        struct.pack_into(fmt, rec, offset, value)
        parts["records"][index] = bytes(rec)
    return patch


def patch_end(**fields):
    def patch(parts):
        directory = b"".join(parts["records"])
        args = dict(count=len(parts["records"]), size=len(directory),
                    offset=len(parts["body"]), comment=parts["comment"])
        args.update(fields)
        parts["end"] = end(**args)
    return patch


sound = build()

CORPUS = {
    "damaged-not-a-zip.zip": b"This is a text file that happens to end in .zip\r\n" * 40,
    "damaged-empty-file.zip": b"",
    "damaged-end-record-only-half.zip": sound[:-11],
    "damaged-directory-count-too-high.zip": build(patch=patch_end(count=3)),
    "damaged-directory-offset-past-end.zip": build(patch=patch_end(offset=0x7FFFFFF0)),
    "damaged-directory-cut-short.zip": build(
        patch=lambda p: p.update(records=[p["records"][0], p["records"][1][:30]])),
    "damaged-name-length-past-end-record.zip": build(patch=patch_record(1, 28, "<H", 0xFFF0)),
    "damaged-local-offset-past-end.zip": build(patch=patch_record(0, 42, "<I", 0xFFFFF000)),
    "damaged-local-offset-into-directory.zip": build(
        patch=lambda p: patch_record(1, 42, "<I", len(p["body"]) - 10)(p)),
    "damaged-local-signature-wrong.zip": build(
        patch=lambda p: p.update(body=b"XX" + p["body"][2:])),
    "damaged-packed-size-past-directory.zip": build(patch=patch_record(1, 20, "<I", 0x10000)),
    "damaged-packed-size-wraps.zip": build(patch=patch_record(0, 20, "<I", 0xFFFFFFF0)),
    "damaged-zip64-sizes.zip": build(patch=patch_record(0, 24, "<I", 0xFFFFFFFF)),
    "damaged-spanned-disk-numbers.zip": build(patch=patch_end(disk=1)),
    # A ZIP64 end locator right before the end record (counted in the
    # directory here, so that the directory still ends where the record is).
    "damaged-zip64-locator.zip": build(patch=lambda p: p.update(
        records=p["records"] + [struct.pack("<IIQI", 0x07064B50, 0, 0, 1)])),
    "accepted-empty-archive.zip": end(0, 0, 0),
    "accepted-comment-holds-a-signature.zip": build(
        comment=b"PK\x05\x06" + b"\0" * 16 + b"\xff\xff and more"),
    "accepted-data-descriptors.zip": build(descriptor=True),
}


def main():
    for name, data in sorted(CORPUS.items()):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
