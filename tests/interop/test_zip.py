"""ZIP archives written by arcwrite, judged by unzip, 7-Zip and Python's
zipfile: integrity, extracted bytes, Shift-JIS names, encryption and the
update of archives that other programs made."""

import os
import shutil
import unittest
import zipfile

from interop import (TreeCase, arcwrite, make_tree, oem_name, require, run,
                     text_bytes, tree_files)

# What arcwrite stores for a tree: names relative to its parent folder.
SPEC = ["--recurse", "--empty-dirs", "--paths", "relative-start"]


class ZipTree(TreeCase):
    def setUp(self):
        super().setUp()
        self.src = make_tree(self.tmp)
        self.files, self.empty = tree_files(self.src)
        self.expected = {"src/" + k: v for k, v in self.files.items()}

    def write(self, name, *options):
        archive = self.path(name)
        arcwrite("zip", archive, *SPEC, *options, os.path.join(self.src, "*"))
        return archive

    def extracted(self, folder):
        files, empty = tree_files(folder)
        self.assertEqual({e for e in empty if e.isascii()},
                         {"src/" + e for e in self.empty if e.isascii()})
        return files

    def check_readers(self, archive, password=None):
        """unzip -t, 7z t, then extraction by all three readers."""
        pw = ["-P", password] if password else []
        p7 = ["-p" + password] if password else []
        run(["unzip", "-t"] + pw + [archive])
        run(["7z", "t"] + p7 + [archive])
        # unzip turns stored names from code page 850 into Latin-1, which
        # scrambles Shift-JIS names: those are compared by content.
        out = self.fresh_dir("unzip")
        run(["unzip", "-q"] + pw + [archive, "-d", out])
        got = self.extracted(out)
        self.assertTreeEqual({k: v for k, v in self.expected.items() if k.isascii()},
                             {k: v for k, v in got.items() if k.isascii()}, msg="unzip")
        self.assertEqual(sorted(v for k, v in self.expected.items() if not k.isascii()),
                         sorted(v for k, v in got.items() if not k.isascii()), "unzip")
        # 7-Zip keeps the stored bytes of a name.
        out = self.fresh_dir("7z")
        run(["7z", "x", "-y", "-o" + out] + p7 + [archive])
        self.assertTreeEqual(self.expected, self.extracted(out), rename=oem_name, msg="7z")
        with zipfile.ZipFile(archive, metadata_encoding="cp932") as z:
            got = {i.filename: z.read(i, pwd=password and password.encode())
                   for i in z.infolist() if not i.is_dir()}
        self.assertTreeEqual(self.expected, got, msg="zipfile")

    def test_store_and_every_deflate_type(self):
        require(self, "unzip", "7z")
        for options in (["--method", "store"], ["--deflate", "S"], ["--deflate", "F"],
                        ["--deflate", "N"], ["--deflate", "X"]):
            with self.subTest(options=options):
                archive = self.write("t.zip", *options)
                self.check_readers(archive)
                with zipfile.ZipFile(archive) as z:
                    methods = {i.compress_type for i in z.infolist() if i.file_size}
                self.assertEqual(methods == {0}, options[0] == "--method")
                os.remove(archive)

    def test_encrypted_archive_needs_its_password(self):
        require(self, "unzip", "7z")
        archive = self.write("e.zip", "--password", "Pelm0ran")
        self.check_readers(archive, "Pelm0ran")
        bad = self.fresh_dir("bad")
        self.assertNotEqual(run(["unzip", "-o", "-P", "wrong", archive, "src/readme.txt",
                                 "-d", bad], check=False).returncode, 0)
        self.assertNotEqual(run(["7z", "x", "-y", "-pwrong", "-o" + bad, archive,
                                 "src/readme.txt"], check=False).returncode, 0)

    def test_names_are_shift_jis_bytes(self):
        archive = self.write("n.zip", "--method", "store")
        with zipfile.ZipFile(archive) as z:
            raw = {i.orig_filename.encode("cp437") for i in z.infolist()}
        for name in self.files:
            if not name.isascii():
                self.assertIn(("src/" + name).encode("cp932"), raw)


class ZipUpdate(TreeCase):
    """Archives other programs made, updated by arcwrite."""

    def setUp(self):
        super().setUp()
        self.src = make_tree(self.tmp, long_names=False, japanese=False, big=False)
        self.new = os.path.join(self.tmp, "new")
        os.makedirs(self.new)
        with open(os.path.join(self.new, "added.txt"), "wb") as f:
            f.write(text_bytes(9000, 7))

    def entry_bytes(self, archive):
        """name -> local header, name, extra field and data, as stored."""
        with open(archive, "rb") as f:
            data = f.read()
        out = {}
        with zipfile.ZipFile(archive) as z:
            for i in z.infolist():
                n = int.from_bytes(data[i.header_offset + 26:i.header_offset + 28], "little")
                x = int.from_bytes(data[i.header_offset + 28:i.header_offset + 30], "little")
                out[i.filename] = data[i.header_offset:i.header_offset + 30 + n + x +
                                       i.compress_size]
        return out

    def update_and_check(self, archive):
        old = self.entry_bytes(archive)
        with zipfile.ZipFile(archive) as z:
            comment = z.comment
        arcwrite("zip", archive, os.path.join(self.new, "added.txt"))
        run(["unzip", "-t", archive])
        run(["7z", "t", archive])
        now = self.entry_bytes(archive)
        self.assertEqual(set(now), set(old) | {"added.txt"})
        for name in old:
            self.assertTrue(old[name] == now[name], name + " changed")
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(z.comment, comment)
            self.assertEqual(z.read("added.txt"), text_bytes(9000, 7))
            self.assertIsNone(z.testzip())

    def test_info_zip_archive_with_extra_fields_and_comment(self):
        require(self, "zip", "unzip", "7z")
        archive = self.path("info.zip")
        run(["zip", "-q", "-r", archive, "src"], cwd=self.tmp)
        run(["zip", "-q", "-z", archive], input=b"kept archive comment\n")
        self.update_and_check(archive)

    def test_streamed_archive_with_data_descriptors(self):
        require(self, "zip", "unzip", "7z")
        archive = self.path("streamed.zip")
        with open(archive, "wb") as out:
            out.write(run(["zip", "-q", "-r", "-", "src"], cwd=self.tmp).stdout)
        self.update_and_check(archive)

    def test_unchanged_run_is_byte_identical_and_a_changed_file_replaced(self):
        require(self, "unzip")
        archive = self.path("u.zip")
        arcwrite("zip", archive, "--recurse", os.path.join(self.src, "*"))
        with open(archive, "rb") as f:
            first = f.read()
        arcwrite("zip", archive, "--recurse", os.path.join(self.src, "*"))
        with open(archive, "rb") as f:
            self.assertTrue(f.read() == first, "an unchanged run rewrote the archive")
        with open(os.path.join(self.src, "readme.txt"), "ab") as f:
            f.write(b"one more line\n")
        arcwrite("zip", archive, "--recurse", os.path.join(self.src, "*"))
        run(["unzip", "-t", archive])
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(z.namelist().count("readme.txt"), 1)
            with open(os.path.join(self.src, "readme.txt"), "rb") as f:
                self.assertEqual(z.read("readme.txt"), f.read())

    def test_file_that_is_not_a_zip_is_left_alone(self):
        archive = self.path("text.zip")
        with open(archive, "wb") as f:
            f.write(b"not an archive\n" * 100)
        code, out = arcwrite("zip", archive, os.path.join(self.new, "added.txt"), check=False)
        self.assertEqual(code, 1)
        self.assertIn("error 25242", out)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), b"not an archive\n" * 100)


if __name__ == "__main__":
    unittest.main()
