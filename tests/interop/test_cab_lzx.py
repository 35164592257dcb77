"""LZX cabinets written by arcwrite (built-in cabinet library), tested and
extracted by cabextract, 7-Zip and gcab: a tree, the corpus and the sizes
around the 32 KiB frame, at windows 15, 18 and 21."""

import os
import shutil
import struct
import unittest

from interop import (CORPUS, TreeCase, arcwrite, have, make_tree, random_bytes, require, run,
                     split_name, text_bytes, tree_files, _write)

WINDOWS = (15, 18, 21)
SIZES = (0, 1, 32767, 32768, 32769, 65536, 1024 * 1024 + 1)


def folders_of(path):
    """[(cCFData, typeCompress)] of every folder, and each folder's
    [(cbData, cbUncomp)] blocks (no reserve areas, as arcwrite writes)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"MSCF"
    count = struct.unpack_from("<H", data, 0x1A)[0]
    folders = []
    for i in range(count):
        start, blocks, kind = struct.unpack_from("<IHH", data, 36 + 8 * i)
        sizes, at = [], start
        for _ in range(blocks):
            cb_data, cb_uncomp = struct.unpack_from("<HH", data, at + 4)
            sizes.append((cb_data, cb_uncomp))
            at += 8 + cb_data
        folders.append((kind, sizes))
    return folders


class CabLzx(TreeCase):
    def write(self, src, level, pattern="*", extra=()):
        archive = self.path("lzx%d.cab" % level)
        if os.path.exists(archive):
            os.remove(archive)
        arcwrite("cab", archive, "--method", "lzx", "--lzx-level", str(level), "--recurse",
                 *extra, os.path.join(src, pattern))
        return archive

    extract = TreeCase.extract_cab

    def check(self, src, archive, rename=None, level=21):
        expected, _ = tree_files(src)
        run(["cabextract", "-t", archive])
        run(["7z", "t", archive])
        for kind, blocks in folders_of(archive):
            self.assertEqual(kind, (level << 8) | 3)
            # One 32 KiB frame per data block, the last one of a folder shorter.
            for _, uncomp in blocks[:-1]:
                self.assertEqual(uncomp, 32768)
            for comp, _ in blocks:
                self.assertLessEqual(comp, 32768 + 6144)
        for tool in ("cabextract", "7z", "gcab"):
            self.assertTreeEqual(expected, self.extract(tool, archive), rename=rename, msg=tool)

    def test_tree_at_each_window(self):
        require(self, "cabextract", "7z", "gcab")
        src = make_tree(self.tmp)
        # x86-like code, so that the E8 translation has calls to change.
        rnd = bytearray()
        seed = random_bytes(4096, 50)
        for i in range(60000):
            rnd += b"\xe8" + struct.pack("<i", (i * 4099) % 70000 - 35000) + seed[i % 4096:i % 4096 + 3]
        _write(os.path.join(src, "prog", "code.exe"), bytes(rnd))
        # Incompressible data past the folder threshold: more than one folder.
        _write(os.path.join(src, "big", "noise.bin"), random_bytes(1_100_000, 30))
        for level in WINDOWS:
            with self.subTest(level=level):
                archive = self.write(src, level)
                self.assertGreaterEqual(len(folders_of(archive)), 2, "one folder only")
                self.check(src, archive, rename=split_name, level=level)

    def test_sizes_around_the_frame(self):
        require(self, "cabextract", "7z", "gcab")
        src = self.fresh_dir("sizes")
        for size in SIZES:
            _write(os.path.join(src, "t%d.txt" % size), text_bytes(size, size))
            _write(os.path.join(src, "r%d.bin" % size), random_bytes(size, size + 1))
        for level in WINDOWS:
            with self.subTest(level=level):
                self.check(src, self.write(src, level), level=level)
        # Each size alone, so that it ends its folder.
        for size in SIZES[1:]:
            with self.subTest(size=size):
                one = self.fresh_dir("one")
                _write(os.path.join(one, "f.bin"), text_bytes(size, size + 7))
                self.check(one, self.write(one, 21), level=21)

    def test_corpus(self):
        require(self, "cabextract", "7z", "gcab")
        if not os.path.isdir(CORPUS):
            self.skipTest("no corpus at " + CORPUS)
        src = self.fresh_dir("corpus")
        for name in sorted(os.listdir(CORPUS)):
            shutil.copy(os.path.join(CORPUS, name), os.path.join(src, name))
        expected = {}
        for name in sorted(os.listdir(CORPUS)):
            with open(os.path.join(CORPUS, name), "rb") as f:
                expected[name] = f.read()
        for level in WINDOWS:
            with self.subTest(level=level):
                archive = self.write(src, level)
                run(["cabextract", "-t", archive])
                run(["7z", "t", archive])
                for tool in ("cabextract", "7z", "gcab"):
                    self.assertTreeEqual(expected, self.extract(tool, archive), msg=tool)

    def test_quantum_is_refused_per_file_and_reported(self):
        src = self.fresh_dir("q")
        for name in ("a.txt", "b.txt"):
            _write(os.path.join(src, name), b"x" * 100)
        archive = self.path("q.cab")
        code, out = arcwrite("cab", archive, "--method", "quantum", os.path.join(src, "*"),
                             check=False)
        self.assertEqual(code, 1)
        self.assertEqual(out.count("Cabinet error 5"), 2, out)
        self.assertFalse(os.path.exists(archive))

    def test_lzx_level_out_of_range_is_a_usage_error(self):
        for bad in ("14", "22", "x"):
            code, out = arcwrite("cab", self.path("bad.cab"), "--method", "lzx", "--lzx-level", bad,
                                 self.path("*"), check=False)
            self.assertEqual(code, 2, out)


if __name__ == "__main__":
    unittest.main()
