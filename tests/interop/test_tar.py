"""TAR and TAR-GZIP archives written by arcwrite, read by GNU tar, bsdtar and
Python's tarfile."""

import os
import shutil
import subprocess
import tarfile
import unittest

from interop import (JAPANESE_NAMES, TreeCase, arcwrite, have, make_tree, oem_name, require, run,
                     tree_files)


def stored(path):
    """The member name TAR readers give a file stored under its full path:
    the leading "/" is dropped on extraction."""
    return path.lstrip("/")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def rename_japanese(name):
    return "/".join(oem_name(p) if any(ord(c) > 127 for c in p) else p for p in name.split("/"))


class TarInterop(TreeCase):

    def setUp(self):
        super().setUp()
        self.src = make_tree(self.tmp)
        self.expected, self.empty = tree_files(self.src)
        # Any trash the runs use stays inside the scratch folder.
        self.env = {"XDG_DATA_HOME": self.path("trash")}

    def write(self, archive, *extra):
        arcwrite("tar", archive, "--recurse", "--empty-dirs", *extra,
                 os.path.join(self.src, "*"), env=self.env)

    def extracted(self, out):
        """The tree below the extracted copy of src."""
        files, empty = tree_files(os.path.join(out, stored(self.src)))
        return files, empty

    def check_tree(self, out, reader):
        files, empty = self.extracted(out)
        self.assertTreeEqual(self.expected, files, rename=rename_japanese, msg=reader)
        self.assertIn("void", empty, reader)

    def test_gnu_tar_lists_and_extracts(self):
        require(self, "tar")
        archive = self.path("tree.tar")
        self.write(archive)
        listing = run(["tar", "-tf", archive]).stdout.decode("utf-8", "surrogateescape")
        names = {stored(n).rstrip("/") for n in listing.splitlines()}
        long_name = stored(os.path.join(self.src, "l" * 60, "m" * 60, "n" * 90 + ".txt"))
        self.assertGreater(len(long_name.encode()), 200)
        self.assertIn(long_name, names)
        self.assertIn(stored(os.path.join(self.src, "y" * 100 + ".txt")), names)
        out = self.fresh_dir("gnu")
        run(["tar", "-xf", archive, "-C", out])
        self.check_tree(out, "GNU tar")

    def test_bsdtar_lists_and_extracts(self):
        require(self, "bsdtar")
        archive = self.path("tree.tar")
        self.write(archive)
        listing = run(["bsdtar", "-tf", archive]).stdout.decode("utf-8", "surrogateescape")
        self.assertIn(stored(os.path.join(self.src, "one.bin")),
                      {stored(n) for n in listing.splitlines()})
        out = self.fresh_dir("bsd")
        run(["bsdtar", "-xf", archive, "-C", out])
        self.check_tree(out, "bsdtar")

    def test_python_tarfile_lists_and_extracts(self):
        archive = self.path("tree.tar")
        self.write(archive)
        with tarfile.open(archive, encoding="cp932") as t:
            members = {m.name.lstrip("/"): m for m in t.getmembers()}
            one = members[stored(os.path.join(self.src, "one.bin"))]
            self.assertEqual(one.size, 1)
            self.assertEqual(t.extractfile(one).read(), b"\x5a")
            # Files are extracted readable and writable (before the umask).
            self.assertTrue(one.isreg())
            self.assertEqual(one.mode & 0o7777, 0o666)
            self.assertTrue(members[stored(os.path.join(self.src, "void"))].isdir())
            japanese = stored(os.path.join(self.src, "日本", JAPANESE_NAMES[0]))
            self.assertIn(japanese, members)
        out = self.fresh_dir("py")
        with tarfile.open(archive, encoding="utf-8", errors="surrogateescape") as t:
            for m in t.getmembers():
                m.name = m.name.lstrip("/")
            t.extractall(out)
        self.check_tree(out, "tarfile")

    def test_update_keeps_old_entries_and_unchanged_run_changes_nothing(self):
        require(self, "tar")
        archive = self.path("tree.tar")
        self.write(archive)
        before = read(archive)
        self.write(archive)
        self.assertEqual(read(archive), before, "unchanged run")

        added = os.path.join(self.src, "added later.txt")
        with open(added, "wb") as f:
            f.write(b"added")
        self.write(archive)
        after = read(archive)
        # Everything up to the old end blocks is kept as it was.
        kept = len(before.rstrip(b"\0"))
        self.assertEqual(after[:kept], before[:kept])
        out = self.fresh_dir("upd")
        run(["tar", "-xf", archive, "-C", out])
        files, _ = self.extracted(out)
        self.assertEqual(files["added later.txt"], b"added")
        self.assertEqual(len(files), len(self.expected) + 1)

    def test_file_that_is_not_a_tar_is_left_alone(self):
        archive = self.path("foreign.tar")
        data = b"PK\x03\x04" + b"\0" * 1020
        with open(archive, "wb") as f:
            f.write(data)
        code, out = arcwrite("tar", archive, os.path.join(self.src, "*"), check=False,
                             env=self.env)
        self.assertEqual(code, 1)
        self.assertIn("error 25242", out)
        self.assertEqual(read(archive), data)

    def test_tar_gzip_is_read_by_tar_xzf(self):
        require(self, "tar", "gzip")
        archive = self.path("tree.tgz")
        self.write(archive, "--method", "tgz")
        self.assertFalse(os.path.exists(archive))
        gz = archive + ".gz"
        run(["gzip", "-t", gz])
        out = self.fresh_dir("tgz")
        run(["tar", "-xzf", gz, "-C", out])
        self.check_tree(out, "tar -xzf")
        if have("bsdtar"):
            out = self.fresh_dir("tgz-bsdtar")
            run(["bsdtar", "-xzf", gz, "-C", out])
            self.check_tree(out, "bsdtar -xzf")
        # The intermediate TAR file was deleted, not put in the trash.
        self.assertFalse(os.path.exists(os.path.join(self.path("trash"), "Trash", "files",
                                                     "tree.tgz")))


if __name__ == "__main__":
    unittest.main()
