"""Updating LZH archives of other tools: header levels 0, 1 and 2, lh5, lh6
and lh7 data, folder entries and names no code page converts back.

The archives are in tests/regressions/lzh (made by its make_corpus.py with
jlha); where jlha is installed a fresh set is made too. Each is updated by
adding a file, adding it again unchanged and deleting one entry: every kept
entry keeps its bytes, lhasa and 7z read the result, and a second identical
run gives the identical archive.
"""

import os
import shutil
import struct
import sys

from interop import REPO, TreeCase, arcwrite, have, require, run, tree_files

CORPUS = os.path.join(REPO, "tests", "regressions", "lzh")
sys.path.insert(0, CORPUS)
import make_corpus  # noqa: E402

NEW = b"a file added to a foreign archive\n" * 40
STAMP = 1717000000


def lzh_entries(data):
    """(name bytes, start, end, method) of each entry, any header level."""
    out, at = [], 0
    while at < len(data) and data[at] != 0:
        level = data[at + 20]
        method = data[at + 2:at + 7]
        packed = struct.unpack_from("<I", data, at + 7)[0]
        if level == 0 or level == 1:
            size = 2 + data[at]
            n = data[at + 21]
            name = data[at + 22:at + 22 + n]
        else:
            size = struct.unpack_from("<H", data, at)[0]
            name = b""
        folder = b""
        ext_at = at + size - 2 if level == 1 else at + 24
        data_at = at + size
        if level > 0:
            nxt = struct.unpack_from("<H", data, ext_at)[0]
            pos = ext_at + 2
            while nxt:
                body = data[pos:pos + nxt - 2]
                if body[0] == 1:
                    name = body[1:]
                elif body[0] == 2:
                    folder = body[1:].replace(b"\xff", b"/")
                pos += nxt - 2
                nxt = struct.unpack_from("<H", data, pos)[0]
                pos += 2
                if level == 1:
                    data_at = pos
        end = at + size + packed
        out.append((folder + name, at, end, method))
        at = end
    return out, at


class ForeignLzh(TreeCase):
    def setUp(self):
        super().setUp()
        require(self, "lhasa", "7z")
        self.newdir = self.fresh_dir("newsrc")
        new = os.path.join(self.newdir, "new.txt")
        with open(new, "wb") as f:
            f.write(NEW)
        os.utime(new, (STAMP, STAMP))

    def archives(self):
        """(name, bytes, name pattern to delete) of each archive to update."""
        out = []
        for name in sorted(os.listdir(CORPUS)):
            if name.endswith(".lzh"):
                with open(os.path.join(CORPUS, name), "rb") as f:
                    out.append((name, f.read()))
        if have("jlha"):
            work = self.fresh_dir("jlha")
            for rel, data in make_corpus.TREE.items():
                path = os.path.join(work, rel)
                if data is None:
                    os.makedirs(path, exist_ok=True)
                else:
                    with open(path, "wb") as f:
                        f.write(data)
            for level in "012":
                archive = os.path.join(work, "fresh-l%s.lzh" % level)
                run(["jlha", "a%so7q" % level, archive, "d", "top.bin"], cwd=work)
                with open(archive, "rb") as f:
                    out.append((os.path.basename(archive), f.read()))
        return out

    def extract(self, reader, archive, dest):
        os.makedirs(dest)
        if reader == "lhasa":
            run(["lhasa", "t", archive])
            run(["lhasa", "xq", archive], cwd=dest)
        else:
            run(["7z", "t", archive])
            run(["7z", "x", "-y", "-o" + dest, archive])
        return tree_files(dest)[0]

    def update(self, name, original, work):
        """Adds, adds again and deletes in a copy; returns the archive after
        each step."""
        archive = os.path.join(work, name)
        with open(archive, "wb") as f:
            f.write(original)
        steps = []
        arcwrite("lzh", archive, "--method", "lh6", "new.txt", cwd=self.newdir)
        with open(archive, "rb") as f:
            steps.append(f.read())
        code, out = arcwrite("lzh", archive, "--method", "lh6", "new.txt", cwd=self.newdir)
        self.assertIn("nothing written", out, name)
        with open(archive, "rb") as f:
            steps.append(f.read())
        victim = "odd*.txt" if name == "odd-names.lzh" else "d/sub/b.txt"
        code, out = arcwrite("lzh", archive, "--switch", "delete", victim, cwd=work)
        self.assertNotIn("nothing written", out, name)
        with open(archive, "rb") as f:
            steps.append(f.read())
        return archive, steps

    def test_updates_keep_every_foreign_entry(self):
        archives = self.archives()
        self.assertGreaterEqual(len(archives), 10)
        for name, original in archives:
            with self.subTest(archive=name):
                before, end = lzh_entries(original)
                self.assertEqual(end, len(original) - 1, name)
                spans = {n: original[s:e] for n, s, e, _ in before}
                archive, (added, again, deleted) = self.update(name, original,
                                                               self.fresh_dir("a"))
                # Added: the old entries in front as they were, then the new one.
                self.assertEqual(added[:len(original) - 1], original[:-1])
                entries, end = lzh_entries(added)
                self.assertEqual(end, len(added) - 1)
                self.assertEqual(added[-1:], b"\0")
                self.assertEqual(entries[-1][0], b"new.txt")
                spans[b"new.txt"] = added[entries[-1][1]:entries[-1][2]]
                self.assertEqual(again, added)
                # Deleted: one entry less, every other one byte for byte.
                entries, end = lzh_entries(deleted)
                self.assertEqual(end, len(deleted) - 1)
                self.assertEqual(deleted[-1:], b"\0")
                self.assertEqual(len(entries), len(before))
                gone = set(spans) - {n for n, _, _, _ in entries}
                self.assertEqual(len(gone), 1, gone)
                for n, s, e, _ in entries:
                    self.assertEqual(deleted[s:e], spans[n], n)
                # Both readers see the original's files, less the deleted one,
                # plus the new one.
                orig_path = os.path.join(self.tmp, "orig.lzh")
                with open(orig_path, "wb") as f:
                    f.write(original)
                for reader in ("lhasa", "7z"):
                    expected = self.extract(reader, orig_path, self.path("o-" + reader))
                    if name.startswith(("jlha", "fresh")):
                        self.assertEqual(
                            expected, {k: v for k, v in make_corpus.TREE.items()
                                       if v is not None}, reader)
                    got = self.extract(reader, archive, self.path("x-" + reader))
                    removed = set(expected) - set(got)
                    self.assertEqual(len(removed), 1, (reader, sorted(got)))
                    self.assertEqual(got.pop("new.txt"), NEW, reader)
                    self.assertEqual({k: v for k, v in expected.items() if k not in removed},
                                     got, reader)
                    shutil.rmtree(self.path("o-" + reader))
                    shutil.rmtree(self.path("x-" + reader))
                # The same run again gives the same bytes.
                _, steps = self.update(name, original, self.fresh_dir("b"))
                self.assertEqual(steps, [added, again, deleted])
