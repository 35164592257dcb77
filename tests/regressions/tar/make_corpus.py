#!/usr/bin/env python3
"""Writes the existing TAR archives that the TAR writer's tests update
(tests/writers/tar_test.cpp). Rerun after changing it; it rewrites the files
next to itself. Python's tarfile makes the archives of other archivers (GNU
and POSIX forms); the old GNU sparse form, which tarfile does not write, is
built here block by block.

kept-*.tar   sound archives of other archivers. Each holds "drop-me..." whose
             blocks (extended headers, links or sparse maps) must go with it
             when it is deleted, and entries that an update must keep byte
             for byte. kept-*.cut gives "start end": the span of drop-me as
             tarfile (or this script) measures it.
refused-*.tar must be reported with a message that says what they are, and
             left as they are.
"""
import gzip
import io
import os
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
MTIME = 1_500_000_000


def info(name, data=b"", type=tarfile.REGTYPE, link=""):
    t = tarfile.TarInfo(name)
    t.size = len(data) if type == tarfile.REGTYPE else 0
    t.mtime, t.mode, t.type, t.linkname = MTIME, 0o644, type, link
    t.uname = t.gname = "user"
    return t, (io.BytesIO(data) if type == tarfile.REGTYPE else None)


def write(name, members, fmt, pax_headers=None):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=fmt, pax_headers=pax_headers or {}) as t:
        for m in members:
            t.addfile(*m)
    data = buf.getvalue()
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        drop = [m for m in t.getmembers() if os.path.basename(m.name).startswith("drop-me")]
    assert len(drop) == 1, name
    m = drop[0]
    end = m.offset_data + ((m.size + 511) // 512 * 512 if m.isreg() else 0)
    save(name, data, m.offset, end)


def save(name, data, start, end):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)
    if start is not None:
        with open(os.path.join(HERE, name[:-4] + ".cut"), "w") as f:
            f.write("%d %d\n" % (start, end))


LONG = "long-folder-" + "x" * 80 + "/drop-me-" + "y" * 40 + ".txt"


def gnu_sparse():
    """Two old GNU sparse entries ('S') whose maps need an extension block."""
    def header(name, chunks, realsize):
        h = bytearray(512)
        h[0:len(name)] = name.encode()
        for off, val in ((100, 0o644), (108, 1000), (116, 1000), (136, MTIME)):
            field = b"%07o\0" % val if off < 124 else b"%011o\0" % val
            h[off:off + len(field)] = field
        stored = sum(n for _, n in chunks)
        h[124:136] = b"%011o\0" % stored
        h[156:157] = b"S"
        h[257:265] = b"ustar  \0"
        h[265:269] = h[297:301] = b"user"
        for i, (o, n) in enumerate(chunks[:4]):
            h[386 + 24 * i:386 + 24 * i + 24] = b"%011o\0%011o\0" % (o, n)
        h[482] = 1 if len(chunks) > 4 else 0
        h[483:495] = b"%011o\0" % realsize
        h[148:156] = b" " * 8
        h[148:156] = b"%06o\0 " % sum(h)
        ext = bytearray(512)
        for i, (o, n) in enumerate(chunks[4:]):
            ext[24 * i:24 * i + 24] = b"%011o\0%011o\0" % (o, n)
        data = bytes(range(256)) * (stored // 256)
        return bytes(h) + (bytes(ext) if len(chunks) > 4 else b"") + data
    chunks = [(i * 65536, 512) for i in range(6)]
    body = member("keep-me.txt", b"kept text\n") + header("sparse-me", chunks, 5 * 65536 + 512)
    start = len(body)
    body += header("drop-me", chunks, 5 * 65536 + 512)
    end = len(body)
    body += member("after.txt", b"after\n")
    body += bytes(10240 - len(body) % 10240)
    save("kept-gnu-sparse-extended.tar", body, start, end)


def member(name, data):
    """One regular member's blocks as tarfile writes them (GNU form)."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as t:
        t.addfile(*info(name, data))
    return buf.getvalue()[:512 + (len(data) + 511) // 512 * 512]


def main():
    keep = lambda: info("keep-me.txt", b"kept text\n")
    after = lambda: info("after.txt", b"after\n" * 200)
    write("kept-pax-long-name.tar",
          [keep(), info(LONG, b"long name data\n"), after()], tarfile.PAX_FORMAT)
    write("kept-pax-global-header.tar",
          [keep(), info("drop-me-\u00e9t\u00e9.txt", b"utf-8 name\n"), after()],
          tarfile.PAX_FORMAT, pax_headers={"comment": "a global header kept in place"})
    write("kept-gnu-long-name.tar",
          [keep(), info(LONG, b"long name data\n"), after()], tarfile.GNU_FORMAT)
    write("kept-ustar-prefix.tar",
          [keep(), info(LONG, b"prefix and name\n"), after()], tarfile.USTAR_FORMAT)
    write("kept-links.tar",
          [keep(), info("link-me", type=tarfile.SYMTYPE, link="keep-me.txt"),
           info("hard-me", type=tarfile.LNKTYPE, link="keep-me.txt"),
           info("fifo-me", type=tarfile.FIFOTYPE),
           info("drop-me", type=tarfile.SYMTYPE, link="t/" + "z" * 150), after()],
          tarfile.GNU_FORMAT)
    gnu_sparse()
    # A TAR-GZIP archive under a .tar name.
    inner = io.BytesIO()
    with tarfile.open(fileobj=inner, mode="w", format=tarfile.GNU_FORMAT) as t:
        t.addfile(*keep())
    save("refused-tar-gzip-given-as-tar.tar", gzip.compress(inner.getvalue(), mtime=0), None, None)


if __name__ == "__main__":
    main()
