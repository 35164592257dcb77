"""GZIP files written by arcwrite, checked by gzip and by Python's zlib
inflating the deflate stream raw (the engine's output itself)."""

import os
import struct
import tarfile
import unittest
import zlib

from interop import (CORPUS, TreeCase, arcwrite, make_tree, random_bytes, require, run, text_bytes,
                     tree_files)

LEVELS = ["S", "F", "N", "X"]


def corpus_files():
    """Every file of the corpus (about 56 MB of text, binaries and images)."""
    if not os.path.isdir(CORPUS):
        return []
    return sorted(os.path.join(CORPUS, n) for n in os.listdir(CORPUS)
                  if os.path.isfile(os.path.join(CORPUS, n)))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def split_member(data):
    """(flags, name, raw deflate stream with the trailer, crc, size) of a
    single-member GZIP file, parsed by RFC 1952."""
    assert data[:3] == b"\x1f\x8b\x08", data[:3]
    flags = data[3]
    pos = 10
    name = b""
    if flags & 8:
        end = data.index(b"\0", pos)
        name, pos = data[pos:end], end + 1
    crc, size = struct.unpack("<II", data[-8:])
    return flags, name, data[pos:], crc, size


def inflate_raw(body):
    """Inflates a raw deflate stream; returns the data and what follows it."""
    d = zlib.decompressobj(-15)
    out = d.decompress(body) + d.flush()
    assert d.eof, "stream not terminated"
    return out, d.unused_data


class GzipInterop(TreeCase):

    def gzip_files(self, folder, level, *specs):
        os.makedirs(folder, exist_ok=True)
        arcwrite("gzip", os.path.join(folder, "any.gz"), "--deflate", level, *specs)

    def check_member(self, gz, original, level):
        run(["gzip", "-t", gz])
        self.assertEqual(run(["gzip", "-dc", gz]).stdout, original, gz)
        data = read(gz)
        flags, name, body, crc, size = split_member(data)
        inflated, rest = inflate_raw(body)
        self.assertEqual(inflated, original, "%s level %s" % (gz, level))
        self.assertEqual(len(rest), 8, "trailer after the stream")
        self.assertEqual(crc, zlib.crc32(original))
        self.assertEqual(size, len(original) & 0xFFFFFFFF)
        return flags, name, len(body) - 8

    def test_generated_data_at_every_level(self):
        require(self, "gzip")
        src = self.fresh_dir("gen")
        inputs = {
            "runs.bin": b"a" * 5000 + b"b" * 259 + b"ab" * 3000,
            "slide.txt": text_bytes(400_000, 3),
            "noise.bin": random_bytes(150_000, 4),
            "one.bin": b"\x01",
            "mixed.bin": text_bytes(50_000, 5) + random_bytes(30_000, 6) + text_bytes(50_000, 5),
        }
        for name, data in inputs.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        for level in LEVELS:
            out = self.path("out-" + level)
            self.gzip_files(out, level, os.path.join(src, "*"))
            for name, data in inputs.items():
                flags, stored, _ = self.check_member(os.path.join(out, name + ".gz"), data, level)
                self.assertEqual(flags, 8)
                self.assertEqual(stored, name.encode())

    def test_every_file_of_the_tree(self):
        """The standard tree, searched recursively: one member per file, each
        read back by gzip (file names there are all different)."""
        require(self, "gzip")
        src = make_tree(self.tmp)
        files, _ = tree_files(src)
        out = self.path("tree-out")
        self.gzip_files(out, "N", "--recurse", os.path.join(src, "*"))
        made = sorted(os.listdir(out))
        self.assertEqual(made, sorted(os.path.basename(n) + ".gz" for n in files))
        for name, data in files.items():
            gz = os.path.join(out, os.path.basename(name) + ".gz")
            run(["gzip", "-t", gz])
            self.assertEqual(run(["gzip", "-dc", gz]).stdout, data, name)

    def test_corpus_files_at_every_level(self):
        require(self, "gzip")
        files = corpus_files()
        if not files:
            self.skipTest("corpus not found (set VIX_CORPUS)")
        sizes = {}
        for level in LEVELS:
            out = self.path("corpus-" + level)
            self.gzip_files(out, level, *files)
            total = 0
            for f in files:
                original = read(f)
                total += self.check_member(os.path.join(out, os.path.basename(f) + ".gz"),
                                           original, level)[2]
            sizes[level] = total
        # The lazy levels compress better than the greedy ones.
        self.assertLess(sizes["N"], sizes["S"])
        self.assertLessEqual(sizes["X"], sizes["N"])

    def test_empty_file_gives_a_complete_member(self):
        require(self, "gzip")
        src = self.fresh_dir("empty")
        open(os.path.join(src, "nothing.dat"), "wb").close()
        out = self.path("eout")
        self.gzip_files(out, "N", os.path.join(src, "nothing.dat"))
        gz = os.path.join(out, "nothing.dat.gz")
        run(["gzip", "-t", gz])
        self.assertEqual(run(["gzip", "-dc", gz]).stdout, b"")

    def test_existing_output_is_not_overwritten_without_a_handler(self):
        src = self.fresh_dir("exists")
        with open(os.path.join(src, "a.txt"), "wb") as f:
            f.write(b"new")
        with open(os.path.join(src, "a.txt.gz"), "wb") as f:
            f.write(b"old")
        code, out = arcwrite("gzip", os.path.join(src, "a.gz"), os.path.join(src, "a.txt"),
                             check=False)
        self.assertEqual(code, 1)
        self.assertIn("error 25270", out)
        self.assertEqual(read(os.path.join(src, "a.txt.gz")), b"old")


class TarGzipInterop(TreeCase):

    def tgz(self, archive, spec):
        return arcwrite("tar", archive, "--method", "tgz", spec, check=False)

    def members(self, path):
        with tarfile.open(path, "r:gz") as t:
            return sorted(m.name for m in t.getmembers())

    def test_a_second_run_replaces_the_gzip_file_once_complete(self):
        require(self, "gzip", "tar")
        src = self.fresh_dir("src")
        for name, seed in (("a.txt", 1), ("b.txt", 2)):
            with open(os.path.join(src, name), "wb") as f:
                f.write(text_bytes(30000, seed))
        archive = self.path("x.tgz")
        code, out = self.tgz(archive, os.path.join(src, "*"))
        self.assertEqual(code, 0, out)
        self.assertEqual(self.members(archive + ".gz"), ["a.txt", "b.txt"])
        with open(os.path.join(src, "c.txt"), "wb") as f:
            f.write(b"added later\n")
        code, out = self.tgz(archive, os.path.join(src, "*"))
        self.assertEqual(code, 0, out)
        self.assertNotIn("error", out)
        run(["gzip", "-t", archive + ".gz"])
        listed = run(["tar", "-tzf", archive + ".gz"]).stdout.decode().split()
        self.assertEqual(sorted(listed), ["a.txt", "b.txt", "c.txt"])
        self.assertEqual(self.members(archive + ".gz"), ["a.txt", "b.txt", "c.txt"])
        self.assertEqual(sorted(os.listdir(self.tmp)), ["src", "x.tgz.gz"])

    def test_an_unwritable_gzip_file_stays_and_nothing_is_left(self):
        src = self.fresh_dir("src2")
        with open(os.path.join(src, "a.txt"), "wb") as f:
            f.write(b"alpha\n")
        archive = self.path("y.tgz")
        # A folder under the GZIP file's name: it cannot be replaced.
        os.makedirs(archive + ".gz")
        code, out = self.tgz(archive, os.path.join(src, "*"))
        self.assertEqual(code, 1, out)
        self.assertIn("y.tgz.gz", out)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["src2", "y.tgz.gz"])
        self.assertEqual(os.listdir(archive + ".gz"), [])


if __name__ == "__main__":
    unittest.main()
