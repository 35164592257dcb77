"""Spanned ZIP archives on folders standing for removable disks, and split
archives (ARCHIVE.z01, ... ARCHIVE.zip): 7-Zip reads the volumes, and
Info-ZIP's zip -s 0 joins them into one archive that unzip -t accepts."""

import os
import shutil
import subprocess

from interop import (REPO, TreeCase, arcwrite, file_digests, random_bytes, require, run,
                     text_bytes)

CORPUS = os.environ.get("VIX_CORPUS")
VIX = os.environ.get("VIX", os.path.join(REPO, "build", "src", "vix"))


class ZipSpanCase(TreeCase):
    def setUp(self):
        super().setUp()
        require(self, "7z", "zip", "unzip")

    def sources(self):
        src = self.fresh_dir("src")
        with open(os.path.join(src, "noise.bin"), "wb") as f:
            f.write(random_bytes(150000, 1))
        with open(os.path.join(src, "text.txt"), "wb") as f:
            f.write(text_bytes(400000, 2))
        for i in range(30):
            with open(os.path.join(src, "small-%02d.txt" % i), "wb") as f:
                f.write(text_bytes(50 + 97 * i, 10 + i))
        return src

    def info_zip_joins(self, src, size):
        """Whether zip -s 0 joins Info-ZIP's own split set of the same files:
        zip 3.0 loses data of some entries that cross two segment ends."""
        folder = self.fresh_dir("reference-" + size)
        names = sorted(os.listdir(src))
        run(["zip", "-q", "-s", size.lower(), os.path.join(folder, "ref.zip")] + names, cwd=src)
        run(["zip", "-s", "0", "ref.zip", "--out", "joined.zip"], cwd=folder)
        return run(["unzip", "-t", "joined.zip"], cwd=folder, check=False).returncode == 0

    def check_volumes(self, volumes, expected, join=True):
        """7z extracts the split set; zip -s 0 joins it for unzip -t."""
        out = self.fresh_dir("out7z")
        run(["7z", "x", "-y", "-o" + out, volumes])
        self.assertEqual(file_digests(out), expected)
        if join:
            folder = os.path.dirname(volumes)
            joined = os.path.join(folder, "joined.zip")
            run(["zip", "-s", "0", os.path.basename(volumes), "--out", "joined.zip"],
                cwd=folder)
            run(["unzip", "-t", joined])
            out = self.fresh_dir("outunzip")
            run(["unzip", "-q", joined, "-d", out])
            self.assertEqual(file_digests(out), expected)


class ZipSpannedDisks(ZipSpanCase):
    def test_disks_read_back_as_a_split_set(self):
        src = self.sources()
        expected = file_digests(src)
        slot = self.fresh_dir("slot")
        disks = [self.fresh_dir("disk%d" % i) for i in range(1, 6)]
        # The first disk is put in again when the second is asked for.
        order = [disks[0], disks[0]] + disks[1:]
        code, out = arcwrite("zip", os.path.join(slot, "x.zip"), "--paths", "none",
                             "--span-disks", ",".join(order), "--disk-size", "70000",
                             "--leave", "10000", os.path.join(src, "*"))
        self.assertIn("insert disk 2: " + disks[0], out)
        used = [d for d in disks if os.path.exists(os.path.join(d, "x.zip"))]
        self.assertGreaterEqual(len(used), 3, out)
        for i, d in enumerate(used):
            self.assertIn("label %s: PKBACK# %03d" % (d, i + 1), out)
        with open(os.path.join(used[0], "x.zip"), "rb") as f:
            self.assertEqual(f.read(4), b"PK\x07\x08")
        self.assertEqual(os.path.getsize(os.path.join(used[0], "x.zip")), 60000)
        # A reader sees disks as segments named in their order.
        setdir = self.fresh_dir("set")
        for i, d in enumerate(used):
            name = "x.zip" if i == len(used) - 1 else "x.z%02d" % (i + 1)
            shutil.copy(os.path.join(d, "x.zip"), os.path.join(setdir, name))
        self.check_volumes(os.path.join(setdir, "x.zip"), expected)

    def test_no_disk_left_stops_and_keeps_the_disks_written(self):
        src = self.sources()
        slot = self.fresh_dir("slot")
        disk = self.fresh_dir("disk1")
        code, out = arcwrite("zip", os.path.join(slot, "x.zip"), "--paths", "none",
                             "--span-disks", disk, "--disk-size", "100000",
                             os.path.join(src, "*"), check=False)
        self.assertEqual(code, 1)
        self.assertIn("error 25449", out)
        self.assertIn("1 disk written so far", out)
        self.assertEqual(os.path.getsize(os.path.join(disk, "x.zip")), 100000)


class ZipSplit(ZipSpanCase):
    def test_split_sizes(self):
        src = self.sources()
        expected = file_digests(src)
        # 64k segments are below the text file's data; 10M holds everything.
        for size in ("64k", "100000", "150k", "10M"):
            with self.subTest(size=size):
                join = self.info_zip_joins(src, size)
                folder = self.fresh_dir("split-" + size)
                archive = os.path.join(folder, "x.zip")
                arcwrite("zip", archive, "--paths", "none", "--split", size,
                         os.path.join(src, "*"))
                parts = sorted(os.listdir(folder))
                if size == "10M":
                    self.assertEqual(parts, ["x.zip"])
                else:
                    self.assertGreater(len(parts), 1)
                    self.assertEqual(parts[-1], "x.zip")
                    with open(os.path.join(folder, "x.z01"), "rb") as f:
                        self.assertEqual(f.read(4), b"PK\x07\x08")
                self.check_volumes(archive, expected, join)

    def test_refused_sizes(self):
        for size in ("1000", "64x", "5G", ""):
            code, out = arcwrite("zip", self.path("x.zip"), "--split", size, "a",
                                 check=False)
            self.assertEqual(code, 2, size)

    def test_corpus(self):
        if not CORPUS:
            self.skipTest("VIX_CORPUS not set")
        src = self.fresh_dir("corpus")
        for name in ("pci.ids", "icons-png.bin", "english-kjv.txt", "libstdc++-6.dll"):
            shutil.copy(os.path.join(CORPUS, name), src)
        expected = file_digests(src)
        for size in ("64k", "1M", "3M", "100M"):
            with self.subTest(size=size):
                join = self.info_zip_joins(src, size)
                folder = self.fresh_dir("corpus-" + size)
                archive = os.path.join(folder, "x.zip")
                arcwrite("zip", archive, "--paths", "none", "--split", size,
                         os.path.join(src, "*"))
                self.check_volumes(archive, expected, join)


class VixSplit(ZipSpanCase):
    def vix(self, *args):
        if not os.path.exists(VIX):
            self.skipTest("vix not built: " + VIX)
        env = dict(os.environ, XDG_CONFIG_HOME=self.path("config"), LANG="C.UTF-8",
                   TMPDIR=self.fresh_dir("tmp"))
        proc = subprocess.run([VIX] + list(args), cwd=self.tmp, capture_output=True, env=env,
                              stdin=subprocess.DEVNULL, timeout=600)
        return proc.returncode, proc.stderr.decode("utf-8", "replace")

    def test_vix_writes_a_split_set(self):
        src = self.sources()
        expected = file_digests(src)
        out = self.fresh_dir("split")
        archive = os.path.join(out, "x.zip")
        code, err = self.vix("-t", "zip", "-p", "none", "--split", "100k", "-o", archive,
                             os.path.join(src, "noise.bin"), os.path.join(src, "text.txt"))
        self.assertEqual(code, 0, err)
        self.assertIn("x.z01", os.listdir(out))
        self.check_volumes(archive, {k: v for k, v in expected.items()
                                     if k in ("noise.bin", "text.txt")},
                           self.info_zip_joins(src, "100k"))

    def test_vix_refuses_split_for_other_types_and_bad_sizes(self):
        src = self.sources()
        for args in (["-t", "lzh", "--split", "100k"], ["-t", "zip", "--split", "12"],
                     ["-t", "zip", "--split", "1T"]):
            code, err = self.vix(*args, "-o", self.path("x"), os.path.join(src, "noise.bin"))
            self.assertEqual(code, 2, args)
            self.assertIn("--split", err)
