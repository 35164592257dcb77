"""ZIP archives written by arcwrite, judged by unzip, 7-Zip and Python's
zipfile: integrity, extracted bytes, Shift-JIS names, encryption, and the
update of archives that Info-ZIP made."""

import os
import zipfile

from interop import (TreeCase, arcwrite, make_tree, oem_name, random_bytes, require, run,
                     text_bytes, tree_files)


class ZipTree(TreeCase):
    def setUp(self):
        super().setUp()
        require(self, "unzip", "7z")
        src = make_tree(self.tmp)
        self.files, self.empty = tree_files(src)
        self.spec = ["--recurse", "--empty-dirs", "--paths", "relative-start",
                     os.path.join(src, "*")]

    def extracted(self, folder, rename=None):
        files, empty = tree_files(folder)
        expected = {"src/" + k: v for k, v in self.files.items()}
        self.assertEqual({e for e in empty if e.isascii()}, {"src/" + e for e in self.empty})
        if rename:
            self.assertTreeEqual(expected, files, rename=rename, msg=folder)
            return
        # unzip reads stored names as code page 850 and writes Latin-1, which
        # scrambles Shift-JIS names: those files are compared by content.
        self.assertTreeEqual({k: v for k, v in expected.items() if k.isascii()},
                             {k: v for k, v in files.items() if k.isascii()}, msg=folder)
        self.assertEqual(sorted(v for k, v in expected.items() if not k.isascii()),
                         sorted(v for k, v in files.items() if not k.isascii()))

    def check_readers(self, archive, password=None):
        """unzip -t, 7z t, then extraction by unzip, 7z and zipfile."""
        pw, p7 = (["-P", password], ["-p" + password]) if password else ([], [])
        run(["unzip", "-t"] + pw + [archive])
        run(["7z", "t"] + p7 + [archive])
        out = self.fresh_dir("unzip")
        run(["unzip", "-q"] + pw + [archive, "-d", out])
        self.extracted(out)
        out = self.fresh_dir("7z")  # 7-Zip keeps a name's stored bytes
        run(["7z", "x", "-y", "-o" + out] + p7 + [archive])
        self.extracted(out, rename=oem_name)
        with zipfile.ZipFile(archive, metadata_encoding="cp932") as z:
            got = {i.filename: z.read(i, pwd=password and password.encode())
                   for i in z.infolist() if not i.is_dir()}
        self.assertTreeEqual({"src/" + k: v for k, v in self.files.items()}, got)

    def test_store_and_every_deflate_type(self):
        for options in (["--method", "store"], ["--deflate", "S"], ["--deflate", "F"],
                        ["--deflate", "N"], ["--deflate", "X"]):
            with self.subTest(options=options):
                archive = self.path("t%d.zip" % len(os.listdir(self.tmp)))
                arcwrite("zip", archive, *options, *self.spec)
                self.check_readers(archive)
                with zipfile.ZipFile(archive) as z:
                    methods = {i.compress_type for i in z.infolist() if i.file_size}
                    by_name = {i.filename: i.compress_type for i in z.infolist()}
                self.assertEqual(methods == {0}, options[1] == "store")
                self.assertEqual(by_name["src/packed.lzh"], zipfile.ZIP_STORED)
                self.assertEqual(by_name["src/setup.EXE"],
                                 zipfile.ZIP_STORED if options[1] == "store"
                                 else zipfile.ZIP_DEFLATED)

    def test_encrypted_archive_needs_its_password(self):
        archive = self.path("e.zip")
        arcwrite("zip", archive, "--password", "Pelm0ran", *self.spec)
        self.check_readers(archive, "Pelm0ran")
        bad = self.fresh_dir("bad")
        for reader in (["unzip", "-o", "-P", "wrong", archive, "src/readme.txt", "-d", bad],
                       ["7z", "x", "-y", "-pwrong", "-o" + bad, archive, "src/readme.txt"]):
            self.assertNotEqual(run(reader, check=False).returncode, 0, reader[0])


class ZipUpdate(TreeCase):
    """Archives Info-ZIP made (extra fields, a comment; streamed ones carry
    data descriptors), updated by arcwrite: old entries stay byte for byte."""

    def setUp(self):
        super().setUp()
        require(self, "zip", "unzip", "7z")
        make_tree(self.tmp, long_names=False, japanese=False, big=False)
        self.added = os.path.join(self.tmp, "added.txt")
        with open(self.added, "wb") as f:
            f.write(text_bytes(9000, 7))

    def stored_entries(self, archive):
        with open(archive, "rb") as f:
            data = f.read()
        with zipfile.ZipFile(archive) as z:
            entries = {}
            for i in z.infolist():
                at = i.header_offset
                end = at + 30 + int.from_bytes(data[at + 26:at + 28], "little") + \
                    int.from_bytes(data[at + 28:at + 30], "little") + i.compress_size
                entries[i.filename] = data[at:end]
            return entries, z.comment

    def update_and_check(self, archive):
        old, comment = self.stored_entries(archive)
        arcwrite("zip", archive, self.added)
        run(["unzip", "-t", archive])
        run(["7z", "t", archive])
        now, now_comment = self.stored_entries(archive)
        self.assertEqual(now_comment, comment)
        self.assertEqual(set(now), set(old) | {"added.txt"})
        for name in old:
            self.assertTrue(old[name] == now[name], name + " changed")
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(z.read("added.txt"), text_bytes(9000, 7))

    def test_info_zip_archive(self):
        archive = self.path("info.zip")
        run(["zip", "-q", "-r", archive, "src"], cwd=self.tmp)
        run(["zip", "-q", "-z", archive], input=b"kept archive comment\n")
        self.update_and_check(archive)

    def test_streamed_info_zip_archive(self):
        archive = self.path("streamed.zip")
        with open(archive, "wb") as out:
            out.write(run(["zip", "-q", "-r", "-", "src"], cwd=self.tmp).stdout)
        self.update_and_check(archive)


def sweep_sizes():
    sizes = set(range(0, 1101)) | {k * 512 for k in range(1, 17)}
    for block in (4096, 32768, 65536, 1 << 20):
        sizes |= {block - 1, block, block + 1}
    return sorted(sizes)


class ZipSizeSweep(TreeCase):
    """Every size from 0 to 1100 bytes and each one around the block sizes,
    in one archive with files after them, for each method: two readers give
    back every byte."""

    def setUp(self):
        super().setUp()
        require(self, "unzip", "7z")
        src = self.path("sweep")
        os.makedirs(src)
        self.files = {}
        # Text and noise in turn, so that deflate both compresses and falls
        # back to storing.
        text, noise = text_bytes((1 << 20) + 1, 31), random_bytes((1 << 20) + 1, 32)
        for i, size in enumerate(sweep_sizes()):
            name = "s%07d.%s" % (size, "txt" if i % 2 else "bin")
            self.files[name] = (text if i % 2 else noise)[:size]
        self.files["zz-after.txt"] = text_bytes(3000, 33)
        for name, data in self.files.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        self.spec = ["--paths", "none", os.path.join(src, "*")]

    def test_every_size_by_every_method(self):
        for options in (["--method", "store"], ["--deflate", "F"], ["--deflate", "N"],
                        ["--deflate", "X"], ["--method", "store", "--password", "sw33p"]):
            with self.subTest(options=options):
                archive = self.path("sweep%d.zip" % len(os.listdir(self.tmp)))
                arcwrite("zip", archive, *options, *self.spec)
                password = options[-1] if "--password" in options else None
                # unzip checks every CRC; zipfile (plaintext) or 7z gives the bytes back.
                run(["unzip", "-tq"] + (["-P", password] if password else []) + [archive])
                if not password:
                    with zipfile.ZipFile(archive) as z:
                        self.assertEqual(sorted(z.namelist()), sorted(self.files))
                        for name, data in self.files.items():
                            self.assertTrue(z.read(name) == data, name)
                out = self.fresh_dir("x7z")
                run(["7z", "x", "-y", "-o" + out] + (["-p" + password] if password else [])
                    + [archive])
                got, _ = tree_files(out)
                self.assertEqual(sorted(got), sorted(self.files))
                for name, data in self.files.items():
                    self.assertTrue(got[name] == data, name)


class ZipNames(TreeCase):
    """Names of every script: those code page 932 holds stay in it (no UTF-8
    flag), the others are stored in UTF-8 and flagged; a second run finds
    them all."""

    UTF8 = ["한국어 문서.txt", "😀 emoji.txt", "café déjà.txt", "Ελληνικά.txt"]
    CP932 = ["表.txt", "ソース.txt", "能力.txt", "日本語.txt", "plain.txt"]

    def test_names_read_back_and_second_run_identical(self):
        require(self, "unzip", "7z")
        src = self.path("names")
        os.makedirs(src)
        contents = {}
        for i, name in enumerate(self.UTF8 + self.CP932):
            contents[name] = text_bytes(100 + i, 40 + i)
            with open(os.path.join(src, name), "wb") as f:
                f.write(contents[name])
        archive = self.path("names.zip")
        spec = ["--paths", "none", os.path.join(src, "*")]
        arcwrite("zip", archive, *spec)
        with zipfile.ZipFile(archive, metadata_encoding="cp932") as z:
            infos = {i.filename: i for i in z.infolist()}
            self.assertEqual(sorted(infos), sorted(contents))
            for name, data in contents.items():
                self.assertEqual(bool(infos[name].flag_bits & 0x800), name in self.UTF8, name)
                self.assertTrue(z.read(name) == data, name)
        # unzip takes the flagged names as UTF-8; the others it maps from
        # its own code page (and warns of the 0x5C trail bytes of 表, ソ and
        # 能, which it takes for separators), so those are found by content.
        run(["unzip", "-tq", archive])
        out = self.fresh_dir("unzip")
        proc = run(["unzip", "-q", archive, "-d", out], check=False)
        self.assertIn(proc.returncode, (0, 1), proc.stderr)
        got, _ = tree_files(out)
        for name in self.UTF8 + ["plain.txt"]:
            self.assertTrue(got.get(name) == contents[name], name)
        self.assertEqual(sorted(got.values()), sorted(contents.values()))
        # 7-Zip keeps an unflagged name's bytes: the code-page form on disk.
        out = self.fresh_dir("x7z")
        run(["7z", "x", "-y", "-o" + out, archive])
        got, _ = tree_files(out)
        expected = {(n if n in self.UTF8 else oem_name(n)): d for n, d in contents.items()}
        self.assertTreeEqual(expected, got)
        with open(archive, "rb") as f:
            first = f.read()
        arcwrite("zip", archive, *spec)
        with open(archive, "rb") as f:
            self.assertTrue(f.read() == first, "the second run changed the archive")
