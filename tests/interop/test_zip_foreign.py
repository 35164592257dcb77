"""ZIP archives other tools make here and now (Info-ZIP, 7-Zip, Python's
zipfile, jar, bsdtar), updated by arcwrite: a file added, the unchanged
sources added again, an entry deleted. Every kept entry stays byte for byte
(local header, data and data descriptor), the result is read by two readers
(one of them streaming where the methods allow), and running the same step
twice changes nothing."""

import io
import os
import shutil
import zipfile

from interop import TreeCase, arcwrite, have, require, run, text_bytes, random_bytes

SOURCES = {
    "src/readme.txt": text_bytes(5000, 1),
    "src/empty.dat": b"",
    "src/random.bin": random_bytes(3000, 2),
    "src/nested/leaf.txt": text_bytes(70000, 3),
    "src/nested/deeper/one.bin": b"\x5a",
}
ADDED = text_bytes(9000, 7)


def descriptor_length(data, end, info):
    """Length of the data descriptor at `end`, in whichever form it has."""
    crc = info.CRC.to_bytes(4, "little")
    sizes32 = info.compress_size.to_bytes(4, "little") + info.file_size.to_bytes(4, "little")
    sizes64 = info.compress_size.to_bytes(8, "little") + info.file_size.to_bytes(8, "little")
    for at in ((4, 0) if data[end:end + 4] == b"PK\x07\x08" else (0,)):
        if data[end + at:end + at + 4] != crc:
            continue
        if data[end + at + 4:end + at + 12] == sizes32:
            return at + 12
        if data[end + at + 4:end + at + 20] == sizes64:
            return at + 20
    raise AssertionError("%s: no data descriptor after its data" % info.filename)


def stored_entries(archive):
    """name -> the bytes an update must keep: local header, name, extra
    field, data and data descriptor."""
    with open(archive, "rb") as f:
        data = f.read()
    entries = {}
    with zipfile.ZipFile(archive) as z:
        for i in z.infolist():
            at = i.header_offset
            assert data[at:at + 4] == b"PK\x03\x04", i.filename
            end = at + 30 + int.from_bytes(data[at + 26:at + 28], "little") + \
                int.from_bytes(data[at + 28:at + 30], "little") + i.compress_size
            if i.flag_bits & 8:
                end += descriptor_length(data, end, i)
            entries[i.filename] = data[at:end]
    return entries


class Unseekable(io.RawIOBase):
    """A pipe: zipfile writes data descriptors to it."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


class ForeignZip(TreeCase):
    def setUp(self):
        super().setUp()
        require(self, "zip", "unzip", "7z", "bsdtar")
        for name, data in SOURCES.items():
            path = self.path(*name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        self.added = self.path("added.txt")
        with open(self.added, "wb") as f:
            f.write(ADDED)
        self.spec = ["--recurse", "--paths", "relative-start", self.path("src", "*")]

    def read_back(self, archive, expected, password=None, readers=("7z", "unzip", "stream")):
        """Each reader checks the archive; 7z's extraction is compared too."""
        p7 = ["-p" + password] if password else []
        if "7z" in readers:
            run(["7z", "t"] + p7 + [archive])
            out = self.fresh_dir("x7z")
            run(["7z", "x", "-y", "-o" + out] + p7 + [archive])
            for name, data in expected.items():
                with open(os.path.join(out, *name.split("/")), "rb") as f:
                    self.assertTrue(f.read() == data, name)
        if "unzip" in readers:
            run(["unzip", "-t"] + (["-P", password] if password else []) + [archive])
        if "stream" in readers:
            # libarchive reading the archive from a pipe, front to back: it
            # needs every local header and data descriptor in place.
            with open(archive, "rb") as f:
                proc = run(["bsdtar", "-xOf", "-"] + (["--passphrase", password] if password
                                                      else []), input=f.read())
            self.assertEqual(len(proc.stdout), sum(len(v) for v in expected.values()))
        if "zipfile" in readers:
            with zipfile.ZipFile(archive) as z:
                for name, data in expected.items():
                    self.assertTrue(z.read(name) == data, name)

    def update(self, archive, expected, password=None, readers=("7z", "unzip", "stream"),
               readd=True, delete="src/readme.txt"):
        """Re-add, add, add again, delete: kept entries stay as they were."""
        expected = dict(expected)
        original = stored_entries(archive)
        with open(archive, "rb") as f:
            before = f.read()
        if readd:
            code, out = arcwrite("zip", archive, *self.spec)
            with open(archive, "rb") as f:
                self.assertTrue(f.read() == before, "unchanged sources rewrote entries:\n" + out)

        arcwrite("zip", archive, self.added)
        now = stored_entries(archive)
        self.assertEqual(set(now), set(original) | {"added.txt"})
        for name in original:
            self.assertTrue(now[name] == original[name], name + " changed")
        expected["added.txt"] = ADDED
        self.read_back(archive, expected, password, readers)
        with open(archive, "rb") as f:
            once = f.read()
        arcwrite("zip", archive, self.added)
        with open(archive, "rb") as f:
            self.assertTrue(f.read() == once, "a second identical run changed the archive")

        arcwrite("zip", archive, "--switch", "delete", delete)
        now = stored_entries(archive)
        self.assertEqual(set(now), set(original) - {delete} | {"added.txt"})
        for name in original:
            if name != delete:
                self.assertTrue(now[name] == original[name], name + " changed")
        expected.pop(delete, None)
        self.read_back(archive, expected, password, readers)

    # --- Info-ZIP -------------------------------------------------------------------

    def test_info_zip(self):
        for options in (["-r"], ["-r", "-0"], ["-r", "-P", "pw"]):
            with self.subTest(options=options):
                archive = self.path("info%d.zip" % len(options[-1]))
                run(["zip", "-q"] + options + [archive, "src"], cwd=self.tmp)
                run(["zip", "-q", "-z", archive], input=b"kept archive comment\n")
                self.update(archive, SOURCES, password="pw" if "-P" in options else None)
                with zipfile.ZipFile(archive) as z:
                    self.assertEqual(z.comment, b"kept archive comment")

    def test_info_zip_plain_files(self):
        archive = self.path("plain.zip")
        run(["zip", "-q", archive, "src/readme.txt", "src/random.bin"], cwd=self.tmp)
        expected = {k: SOURCES[k] for k in ("src/readme.txt", "src/random.bin")}
        self.update(archive, expected, readd=False)

    def test_info_zip_self_extractor(self):
        stub = b"#!/bin/sh\necho self-extractor\nexit 0\n" + bytes(range(256)) * 8
        archive = self.path("sfx.zip")
        run(["zip", "-q", "-r", self.path("inner.zip"), "src"], cwd=self.tmp)
        with open(archive, "wb") as f:
            f.write(stub)
            with open(self.path("inner.zip"), "rb") as inner:
                f.write(inner.read())
        run(["zip", "-q", "-A", archive])
        # libarchive reads a self-extractor only from a file it can seek in.
        self.update(archive, SOURCES, readers=("7z", "unzip"))
        with open(archive, "rb") as f:
            self.assertEqual(f.read(len(stub)), stub)
        run(["bsdtar", "-tf", archive])

    def test_info_zip_streamed(self):
        # Streamed to stdout: data descriptors after every entry.
        archive = self.path("streamed.zip")
        with open(archive, "wb") as out:
            out.write(run(["zip", "-q", "-r", "-", "src"], cwd=self.tmp).stdout)
        self.update(archive, SOURCES)
        # From stdin to a pipe: a Zip64 data descriptor (the size was not
        # known when the header went out).
        archive = self.path("stdin.zip")
        with open(archive, "wb") as out:
            out.write(run(["sh", "-c", "zip -q - - | cat"],
                          input=SOURCES["src/nested/leaf.txt"]).stdout)
        self.update(archive, {"-": SOURCES["src/nested/leaf.txt"]}, readd=False, delete="-")

    def test_zip64_archive_updated(self):
        # From stdin to a file: Info-ZIP writes a Zip64 end record and Zip64
        # fields; an update reads them and keeps the entry as it was.
        archive = self.path("zip64.zip")
        run(["zip", "-q", archive, "-"], input=b"from stdin")
        self.update(archive, {"-": b"from stdin"}, readd=False, delete="-")

    # --- 7-Zip ----------------------------------------------------------------------

    def test_7z(self):
        for method in ("Deflate", "Deflate64", "BZip2", "LZMA"):
            with self.subTest(method=method):
                archive = self.path("7z-%s.zip" % method)
                run(["7z", "a", "-tzip", "-mm=" + method, archive, "src"], cwd=self.tmp)
                readers = {"Deflate": ("7z", "unzip", "stream"), "Deflate64": ("7z", "unzip"),
                           "BZip2": ("7z", "unzip", "stream"), "LZMA": ("7z", "stream")}
                self.update(archive, SOURCES, readers=readers[method])

    def test_7z_aes_and_utf8_names(self):
        archive = self.path("7z-aes.zip")
        run(["7z", "a", "-tzip", "-mem=AES256", "-ppw", archive, "src"], cwd=self.tmp)
        self.update(archive, SOURCES, password="pw", readers=("7z", "stream"))
        names = {"src/한국어.txt": b"korean", "src/café.txt": b"latin", "src/表ソ能.txt": b"sjis"}
        for name, data in names.items():
            with open(self.path(*name.split("/")), "wb") as f:
                f.write(data)
        archive = self.path("7z-utf8.zip")
        run(["7z", "a", "-tzip", "-mcu=on", archive, "src"], cwd=self.tmp)
        self.update(archive, dict(SOURCES, **names), delete="src/한국어.txt")

    # --- Python's zipfile -----------------------------------------------------------

    def python_zip(self, target, method, force_zip64=False):
        with zipfile.ZipFile(target, "w", compression=method) as z:
            for name, data in SOURCES.items():
                info = zipfile.ZipInfo.from_file(self.path(*name.split("/")), name)
                info.compress_type = method
                with z.open(info, "w", force_zip64=force_zip64) as f:
                    f.write(data)

    def test_python_zipfile(self):
        methods = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED,
                   "bzip2": zipfile.ZIP_BZIP2, "lzma": zipfile.ZIP_LZMA}
        for label, method in methods.items():
            for zip64 in (False, True):
                for seekable in (True, False):
                    with self.subTest(method=label, zip64=zip64, seekable=seekable):
                        archive = self.path("py-%s-%d-%d.zip" % (label, zip64, seekable))
                        if seekable:
                            self.python_zip(archive, method, zip64)
                        else:
                            pipe = Unseekable()
                            self.python_zip(pipe, method, zip64)
                            with open(archive, "wb") as f:
                                f.write(pipe.data)
                        # libarchive cannot stream LZMA entries, nor bzip2 ones
                        # closed by a descriptor (Python's own archives fail too).
                        readers = {"lzma": ("7z", "zipfile"),
                                   "bzip2": ("7z", "unzip") + (("stream",) if seekable
                                                               else ())}.get(
                            label, ("7z", "unzip", "stream"))
                        self.update(archive, SOURCES, readers=readers)

    # --- jar and bsdtar -------------------------------------------------------------

    def test_jar(self):
        if not have("jar"):
            self.skipTest("not installed: jar")
        archive = self.path("made.zip")
        run(["jar", "cf", archive, "src"], cwd=self.tmp)
        expected = dict(SOURCES)
        with zipfile.ZipFile(archive) as z:
            expected["META-INF/MANIFEST.MF"] = z.read("META-INF/MANIFEST.MF")
        self.update(archive, expected)

    def test_bsdtar(self):
        archive = self.path("bsdtar.zip")
        run(["bsdtar", "-cf", archive, "--format", "zip", "src"], cwd=self.tmp)
        self.update(archive, SOURCES)
