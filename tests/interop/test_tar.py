"""TAR and TAR-GZIP archives written by arcwrite, read by GNU tar, bsdtar and
Python's tarfile."""

import io
import os
import random
import shutil
import tarfile
import tempfile
import unittest

from interop import (JAPANESE_NAMES, TreeCase, arcwrite, have, make_tree, oem_name,
                     random_bytes, require, run, tree_files)


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
        """The extracted tree (names are stored relative to src)."""
        return tree_files(out)

    def check_tree(self, out, reader):
        files, empty = self.extracted(out)
        self.assertTreeEqual(self.expected, files, rename=rename_japanese, msg=reader)
        self.assertIn("void", empty, reader)

    def test_gnu_tar_lists_and_extracts(self):
        require(self, "tar")
        archive = self.path("tree.tar")
        self.write(archive)
        listing = run(["tar", "-tf", archive]).stdout.decode("utf-8", "surrogateescape")
        names = {n.rstrip("/") for n in listing.splitlines()}
        long_name = "/".join(["l" * 60, "m" * 60, "n" * 90 + ".txt"])
        self.assertGreater(len(long_name.encode()), 200)
        self.assertIn(long_name, names)
        self.assertIn("y" * 100 + ".txt", names)
        out = self.fresh_dir("gnu")
        run(["tar", "-xf", archive, "-C", out])
        self.check_tree(out, "GNU tar")

    def test_bsdtar_lists_and_extracts(self):
        require(self, "bsdtar")
        archive = self.path("tree.tar")
        self.write(archive)
        listing = run(["bsdtar", "-tf", archive]).stdout.decode("utf-8", "surrogateescape")
        self.assertIn("one.bin", listing.splitlines())
        out = self.fresh_dir("bsd")
        run(["bsdtar", "-xf", archive, "-C", out])
        self.check_tree(out, "bsdtar")

    def test_python_tarfile_lists_and_extracts(self):
        archive = self.path("tree.tar")
        self.write(archive)
        with tarfile.open(archive, encoding="cp932") as t:
            members = {m.name: m for m in t.getmembers()}
            one = members["one.bin"]
            self.assertEqual(one.size, 1)
            self.assertEqual(t.extractfile(one).read(), b"\x5a")
            # Files are extracted readable and writable (before the umask).
            self.assertTrue(one.isreg())
            self.assertEqual(one.mode & 0o7777, 0o666)
            self.assertTrue(members["void"].isdir())
            self.assertIn("日本/" + JAPANESE_NAMES[0], members)
        out = self.fresh_dir("py")
        with tarfile.open(archive, encoding="utf-8", errors="surrogateescape") as t:
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



# Sizes around every block boundary up to 1100 bytes and around larger
# powers of two, each followed by other files in the archive.
SWEEP = sorted(set(range(0, 1101)) |
               {k * 512 + d for k in range(1, 17) for d in (-1, 0, 1)} |
               {n + d for n in (4096, 32768, 65536, 1 << 20) for d in (-1, 0, 1)})


def member_spans(data):
    """name -> (start, end) of each member's blocks (extended headers, header,
    sparse map, padded data), as tarfile measures them."""
    with tarfile.open(fileobj=io.BytesIO(data), encoding="utf-8", errors="surrogateescape") as t:
        members = t.getmembers()
        ends = [m.offset for m in members[1:]] + [t.offset]
    return {m.name: (m.offset, end) for m, end in zip(members, ends)}


class TarSizeSweep(TreeCase):

    @classmethod
    def setUpClass(cls):
        # Over a thousand small files: a memory file system where there is one.
        shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
        cls.files_dir = tempfile.mkdtemp(prefix="vix-sweep-", dir=shm)
        cls.src = os.path.join(cls.files_dir, "sweep")
        cls.expected = {"s%07d.bin" % size: random.Random(size).randbytes(size) for size in SWEEP}
        cls.expected["zz-last.txt"] = b"after everything"
        os.makedirs(cls.src)
        for name, data in cls.expected.items():
            with open(os.path.join(cls.src, name), "wb") as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.files_dir, ignore_errors=True)

    def check(self, archive, flags):
        """Every file read back by tarfile, GNU tar and bsdtar: each member's
        name and size from the listing, and all data streamed in order (no
        files are extracted, which keeps the sweep fast)."""
        with tarfile.open(archive) as t:
            got = [(m.name, t.extractfile(m).read()) for m in t.getmembers()]
        self.assertTreeEqual(self.expected, dict(got), msg="tarfile")
        stream = b"".join(data for _, data in got)
        listed = [(name, len(data)) for name, data in got]
        for reader in ("tar", "bsdtar"):
            if not have(reader):
                continue
            listing = run([reader, "-tv" + flags + "f", archive]).stdout.decode().splitlines()
            sizes = [(line.split()[-1], int(line.split()[2 if reader == "tar" else 4]))
                     for line in listing]
            self.assertEqual(sizes, listed, reader)
            self.assertEqual(run([reader, "-x" + flags + "Of", archive]).stdout, stream, reader)

    def test_tar(self):
        require(self, "tar")
        archive = self.path("sweep.tar")
        arcwrite("tar", archive, os.path.join(self.src, "*"))
        self.check(archive, "")

    def test_tar_gzip(self):
        require(self, "tar", "gzip")
        archive = self.path("sweep.tgz")
        arcwrite("tar", archive, "--method", "tgz", os.path.join(self.src, "*"))
        run(["gzip", "-t", archive + ".gz"])
        self.check(archive + ".gz", "z")


NAMES = ["한국어 파일.txt", "😀 smile.txt", "café/résumé à la carte.txt",
         "表.txt", "ソース/能力.txt", "x" * 120 + "/é" + "y" * 60 + ".txt"]


class TarNames(TreeCase):

    def test_names_read_back_by_every_reader_and_update_is_stable(self):
        require(self, "tar")
        src = self.path("src")
        expected = {}
        for i, name in enumerate(NAMES):
            expected[name] = ("content %d of %s" % (i, name)).encode()
            path = os.path.join(src, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(expected[name])
        archive = self.path("names.tar")
        arcwrite("tar", archive, "--recurse", os.path.join(src, "*"))
        first = read(archive)

        def on_disk(name):
            # Names the OEM page holds are stored in it, byte for byte.
            try:
                return oem_name(name) if any(ord(c) > 127 for c in name) else name
            except UnicodeEncodeError:
                return name
        readers = [("tar", ["tar", "-xf", archive, "-C"])]
        if have("bsdtar"):
            readers.append(("bsdtar", ["bsdtar", "-xf", archive, "-C"]))
        for reader, args in readers:
            out = self.fresh_dir(reader)
            run(args + [out])
            files, _ = tree_files(out)
            self.assertTreeEqual(expected, files, rename=lambda n: "/".join(
                on_disk(p) for p in n.split("/")), msg=reader)
        with tarfile.open(archive, encoding="cp932") as t:
            got = {m.name: t.extractfile(m).read() for m in t.getmembers() if m.isfile()}
        self.assertTreeEqual(expected, got, msg="tarfile")

        arcwrite("tar", archive, "--recurse", os.path.join(src, "*"))
        self.assertEqual(read(archive), first, "second identical run")


class TarForeignArchives(TreeCase):
    """Archives of GNU tar and tarfile updated by arcwrite: kept entries stay
    byte for byte (extended headers, links and sparse maps with them)."""

    def setUp(self):
        super().setUp()
        self.src = self.path("src")
        os.makedirs(os.path.join(self.src, "d" * 70))
        self.files = {"a.txt": b"alpha\n", "big.bin": random_bytes(70000, 9),
                      "d" * 70 + "/" + "e" * 60 + ".txt": b"a long name\n",
                      "d" * 70 + "/drop.txt": b"to be deleted\n"}
        for name, data in self.files.items():
            with open(os.path.join(self.src, name), "wb") as f:
                f.write(data)
        os.symlink("a.txt", os.path.join(self.src, "link"))
        os.symlink("t/" + "z" * 150, os.path.join(self.src, "longlink"))
        os.link(os.path.join(self.src, "a.txt"), os.path.join(self.src, "hard"))
        with open(os.path.join(self.src, "sparse.img"), "wb") as f:
            f.seek(600000)
            f.write(b"sparse data")
            f.truncate(1 << 20)
        # Whole even seconds: the update compares times at the 2-second
        # precision of its entries.
        for folder, dirs, names in os.walk(self.src):
            for n in dirs + names:
                os.utime(os.path.join(folder, n), (1500000000, 1500000000), follow_symlinks=False)

    def names(self, fmt):
        names = ["a.txt", "hard", "link", "big.bin", "sparse.img", "d" * 70,
                 "d" * 70 + "/" + "e" * 60 + ".txt", "d" * 70 + "/drop.txt"]
        if fmt != "ustar":
            names.append("longlink")  # a link target of more than 100 bytes
        return names

    def gnu_tar(self, fmt):
        archive = self.path("gnu-%s.tar" % fmt)
        sparse = ["-S"] if fmt != "ustar" else []  # ustar stores the file whole
        run(["tar", "--format=" + fmt, "--no-recursion", "-C", self.src, "-cf", archive] +
            sparse + self.names(fmt))
        return archive

    def python_tar(self, fmt):
        archive = self.path("py-%d.tar" % fmt)
        with tarfile.open(archive, "w", format=fmt) as t:
            for name in self.names("py"):
                t.add(os.path.join(self.src, name), arcname=name, recursive=False)
        return archive

    def check_kept(self, before, after, gone=()):
        old, new = member_spans(before), member_spans(after)
        for name, (a, b) in old.items():
            if name.rstrip("/") in gone:
                self.assertNotIn(name, new)
                continue
            self.assertIn(name, new)
            c, d = new[name]
            self.assertEqual(after[c:d], before[a:b], name)

    def readers_agree(self, archive, expected_names):
        listing = run(["tar", "-tf", archive]).stdout.decode("utf-8", "surrogateescape")
        self.assertEqual(sorted(n.rstrip("/") for n in listing.splitlines()), sorted(expected_names))
        with tarfile.open(archive) as t:
            self.assertEqual(sorted(m.name.rstrip("/") for m in t.getmembers()),
                             sorted(expected_names))
            link = t.getmember("link")
            self.assertTrue(link.issym())
            self.assertEqual(link.linkname, "a.txt")
        out = self.fresh_dir("x")
        run(["tar", "-xf", archive, "-C", out])
        self.assertTrue(os.path.islink(os.path.join(out, "link")))
        with open(os.path.join(out, "sparse.img"), "rb") as f:
            data = f.read()
        self.assertEqual(len(data), 1 << 20)
        self.assertEqual(data[600000:600011], b"sparse data")
        for name, content in self.files.items():
            if name.rstrip("/") in expected_names:
                with open(os.path.join(out, name), "rb") as f:
                    self.assertEqual(f.read(), content, name)

    def update_cycle(self, archive, names):
        original = read(archive)
        spec = os.path.join(self.src, "*")
        with open(os.path.join(self.src, "new.txt"), "wb") as f:
            f.write(b"added by the update\n")
        os.utime(os.path.join(self.src, "new.txt"), (1500000000, 1500000000))

        # Add: the new file goes in; a file found under a link's or sparse
        # file's name is reported and the entry stays as it was.
        code, out = arcwrite("tar", archive, "--recurse", spec, check=False)
        self.assertNotIn("fatal", out)
        reported = {line for line in out.splitlines() if line.startswith("error 26858")}
        self.assertTrue(all("which is kept as it is" in r for r in reported), out)
        added = read(archive)
        self.check_kept(original, added)
        self.assertIn("new.txt", member_spans(added))
        self.readers_agree(archive, names + ["new.txt"])
        with tarfile.open(archive) as t:
            self.assertEqual(t.extractfile("new.txt").read(), b"added by the update\n")

        # The same add again changes nothing.
        arcwrite("tar", archive, "--recurse", spec, check=False)
        self.assertEqual(read(archive), added, "second identical add")

        # Delete: the entry goes with its extended blocks, nothing else moves.
        drop = "d" * 70 + "/drop.txt"
        arcwrite("tar", archive, "--switch", "delete", "drop.txt")
        deleted = read(archive)
        self.check_kept(added, deleted, gone={drop})
        self.readers_agree(archive, [n for n in names if n != drop] + ["new.txt"])
        arcwrite("tar", archive, "--switch", "delete", "drop.txt", check=False)
        self.assertEqual(read(archive), deleted, "second identical delete")

        # Delete the long-named entry too: no orphan header renames the next.
        long_name = "d" * 70 + "/" + "e" * 60 + ".txt"
        arcwrite("tar", archive, "--switch", "delete", "e" * 60 + ".txt")
        self.check_kept(deleted, read(archive), gone={long_name})
        self.readers_agree(archive, [n for n in names if n not in (drop, long_name)] + ["new.txt"])

    def test_gnu_tar_formats(self):
        require(self, "tar")
        for fmt in ("gnu", "oldgnu", "ustar", "pax"):
            with self.subTest(fmt=fmt):
                if os.path.exists(os.path.join(self.src, "new.txt")):
                    os.remove(os.path.join(self.src, "new.txt"))
                self.update_cycle(self.gnu_tar(fmt), self.names(fmt))

    def test_python_tarfile_formats(self):
        require(self, "tar")
        for fmt in (tarfile.GNU_FORMAT, tarfile.PAX_FORMAT):
            with self.subTest(fmt=fmt):
                if os.path.exists(os.path.join(self.src, "new.txt")):
                    os.remove(os.path.join(self.src, "new.txt"))
                self.update_cycle(self.python_tar(fmt), self.names("py"))


if __name__ == "__main__":
    unittest.main()
