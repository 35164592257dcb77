"""LZH archives written by arcwrite, judged by lhasa, 7-Zip and bsdtar.

Names are stored in code page 932. bsdtar is told the charset and extracts
UTF-8 names. lhasa and 7z extract the stored bytes and take every 0x5C byte
for a separator, also the second byte of a double-byte character (as in
"ソ", 0x83 0x5C); lhasa also lowers names that hold no lower-case letter.
"""

import os
import shutil
import subprocess
import zipfile

from interop import (CORPUS, REPO, TreeCase, arcwrite, have, make_tree, require, run,
                     split_name, text_bytes, tree_files)

METHODS = ["store", "lh5", "lh6"]
SEEDS = os.path.join(REPO, "fuzz", "corpus", "lzh_reader_fuzz")
METHOD_IDS = {"store": b"-lh0-", "lh5": b"-lh5-", "lh6": b"-lh6-"}


def lhasa_name(name):
    split = split_name(name)
    return split.lower() if split == split.upper() else split


READER_NAMES = {"lhasa": lhasa_name, "7z": split_name, "bsdtar": lambda n: n}


def extract(reader, archive, dest):
    """Extracts with one reader (testing first where it can)."""
    os.makedirs(dest)
    if reader == "lhasa":
        run(["lhasa", "t", archive])
        run(["lhasa", "xq", archive], cwd=dest)
        return
    if reader == "7z":
        run(["7z", "t", archive])
        run(["7z", "x", "-y", "-o" + dest, archive])
        return
    env = dict(os.environ, LC_ALL="C.UTF-8")
    proc = subprocess.run(["bsdtar", "--options", "hdrcharset=CP932", "-xf", archive, "-C", dest],
                          capture_output=True, env=env, timeout=600)
    if proc.returncode != 0:
        raise AssertionError("bsdtar failed: %s" % proc.stderr.decode("utf-8", "replace"))


def entries(archive_bytes):
    """(method, name bytes, header offset) of each level-0 entry."""
    out, at = [], 0
    while at < len(archive_bytes) and archive_bytes[at] != 0:
        n = archive_bytes[at + 21]
        packed = int.from_bytes(archive_bytes[at + 7:at + 11], "little")
        out.append((archive_bytes[at + 2:at + 7], archive_bytes[at + 22:at + 22 + n], at))
        at += 24 + n + packed
    return out


class LzhReaders(TreeCase):
    def readers(self):
        return [r for r in ("lhasa", "7z", "bsdtar") if have(r)]

    def check_extracts(self, archive, src, empty_dirs=True):
        expected, expected_empty = tree_files(src)
        self.assertTrue(self.readers(), "no reader installed")
        for reader in self.readers():
            dest = self.fresh_dir("out-" + reader)
            shutil.rmtree(dest)
            extract(reader, archive, dest)
            files, empty = tree_files(dest)
            rename = READER_NAMES[reader]
            self.assertTreeEqual(expected, files, rename=rename, msg=reader)
            if empty_dirs:
                self.assertEqual({rename(d) for d in expected_empty}, empty, reader)

    def test_trees_extract_to_the_sources(self):
        src = make_tree(self.tmp)
        # A name whose stored form is over 233 bytes is reported and left out.
        too_long = os.path.join(src, "q" * 120, "r" * 120 + ".txt")
        os.makedirs(os.path.dirname(too_long))
        with open(too_long, "wb") as f:
            f.write(b"left out")
        for method in METHODS:
            archive = self.path(method + ".lzh")
            code, out = arcwrite("lzh", archive, "--method", method, "--recurse", "--empty-dirs",
                                 "src/*", cwd=self.tmp, check=False)
            self.assertEqual(code, 1, out)
            self.assertEqual(out.count("error"), 1, out)
            self.assertIn("error 25235", out)
            self.assertIn("too long", out)
            with open(archive, "rb") as f:
                data = f.read()
            self.assertEqual(data[-1:], b"\0")
            self.assertIn(METHOD_IDS[method], {m for m, _, _ in entries(data)})
        shutil.rmtree(os.path.dirname(too_long))
        for method in METHODS:
            self.check_extracts(self.path(method + ".lzh"), src)

    def test_corpus_round_trips(self):
        if not os.path.isdir(CORPUS):
            self.skipTest("corpus not found: " + CORPUS)
        for method in METHODS:
            archive = self.path(method + ".lzh")
            arcwrite("lzh", archive, "--method", method, os.path.join(CORPUS, "*"))
            self.check_extracts(archive, CORPUS, empty_dirs=False)

    def test_update_keeps_old_entries_byte_for_byte(self):
        src = self.fresh_dir("src")
        for i in range(3):
            with open(os.path.join(src, "f%d.txt" % i), "wb") as f:
                f.write(text_bytes(4000 + i, i))
        archive = self.path("u.lzh")
        arcwrite("lzh", archive, "--method", "lh6", "src/*", cwd=self.tmp)
        with open(archive, "rb") as f:
            before = f.read()
        with open(os.path.join(src, "new.txt"), "wb") as f:
            f.write(text_bytes(9000, 7))
        arcwrite("lzh", archive, "--method", "lh5", "src/*", cwd=self.tmp)
        with open(archive, "rb") as f:
            after = f.read()
        self.assertEqual(after[:len(before) - 1], before[:-1])
        self.assertEqual([n for _, n, _ in entries(after)],
                         [b"f0.txt", b"f1.txt", b"f2.txt", b"new.txt"])
        self.check_extracts(archive, src)

    def check_update_keeps(self, archive, names, seed):
        """Adds a file to an archive of another tool: its bytes stay in front,
        and lhasa and 7z read old and new entries."""
        with open(archive, "rb") as f:
            before = f.read()
        new = self.path("new.txt")
        with open(new, "wb") as f:
            f.write(text_bytes(3000, seed))
        arcwrite("lzh", archive, new)
        with open(archive, "rb") as f:
            after = f.read()
        self.assertEqual(after[:len(before) - 1], before[:-1], archive)
        listing = run(["lhasa", "l", archive]).stdout
        for name in names + [b"new.txt"]:
            self.assertIn(name, listing, archive)
        run(["lhasa", "t", archive])
        if have("7z"):
            run(["7z", "t", archive])

    def test_entries_of_other_tools_are_kept(self):
        require(self, "lhasa")
        # Level 0, 1 and 2 archives made by another tool (the fuzz seeds).
        for level in "012":
            archive = self.path("seed%s.lzh" % level)
            shutil.copyfile(os.path.join(SEEDS, "level%s.lzh" % level), archive)
            self.check_update_keeps(archive, [b"a.txt", b"b.bin"], int(level))
        if not have("jlha"):
            return
        work = self.fresh_dir("jl")
        os.makedirs(os.path.join(work, "d"))
        with open(os.path.join(work, "d", "old.txt"), "wb") as f:
            f.write(text_bytes(20000, 3))
        for level in "012":
            archive = os.path.join(work, "level%s.lzh" % level)
            run(["jlha", "a%sq" % level, archive, "d/old.txt"], cwd=work)
            self.check_update_keeps(archive, [b"old.txt"], 10 + int(level))

    def test_a_file_that_is_not_an_lzh_archive_is_left_alone(self):
        src = self.fresh_dir("src")
        with open(os.path.join(src, "a.txt"), "wb") as f:
            f.write(b"some text\n")
        archive = self.path("not.lzh")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("inside.txt", "zip data")
        with open(archive, "rb") as f:
            before = f.read()
        code, out = arcwrite("lzh", archive, "src/*", cwd=self.tmp, check=False)
        self.assertEqual(code, 1)
        self.assertIn("error 25242", out)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before)
