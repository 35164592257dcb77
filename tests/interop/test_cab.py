"""Cabinets written by arcwrite, checked and extracted by independent readers:
cabextract, 7-Zip and gcab natively, and a cabinet written through Wine's own
cabinet library by the Windows build."""

import os
import shutil
import struct
import subprocess
import unittest

from interop import (JAPANESE_NAMES, REPO, TreeCase, arcwrite, have, make_tree, random_bytes,
                     require, run, split_name, tree_files, _write)

WIN_ARCWRITE = os.environ.get("VIX_ARCWRITE_WIN",
                              os.path.join(REPO, "build-win", "tests", "arcwrite.exe"))
FOLDER_THRESHOLD = 900000


def cab_header(path):
    """(cFolders, cFiles) of a cabinet."""
    with open(path, "rb") as f:
        head = f.read(36)
    assert head[:4] == b"MSCF", "not a cabinet"
    return struct.unpack_from("<HH", head, 0x1A)


class CabInterop(TreeCase):
    def make_source(self):
        src = make_tree(self.tmp)
        # Incompressible data, so that MSZIP folders too pass the threshold.
        _write(os.path.join(src, "big", "noise.bin"), random_bytes(1_100_000, 30))
        return src

    def write(self, src, method):
        archive = self.path(method + ".cab")
        code, out = self.arcwrite(archive, method, os.path.join(src, "*"))
        self.assertEqual(code, 0, out)
        return archive

    def arcwrite(self, archive, method, spec):
        return arcwrite("cab", archive, "--method", method, "--recurse", spec, check=False)

    def extract(self, tool, archive):
        out = self.fresh_dir("x-" + tool)
        if tool == "cabextract":
            run(["cabextract", "-q", "-d", out, archive])
        elif tool == "cabextract-cp932":
            run(["cabextract", "-q", "-e", "cp932", "-d", out, archive])
        elif tool == "7z":
            run(["7z", "x", "-y", "-o" + out, archive])
        elif tool == "gcab":
            run(["gcab", "-x", "-C", out, archive])
        files, _ = tree_files(out)
        return files

    def test_store_and_mszip_pass_the_readers_and_extract_to_the_source(self):
        require(self, "cabextract", "7z", "gcab")
        src = self.make_source()
        expected, _ = tree_files(src)
        for method in ("store", "mszip"):
            with self.subTest(method=method):
                archive = self.write(src, method)
                folders, files = cab_header(archive)
                self.assertEqual(files, len(expected))
                self.assertGreaterEqual(folders, 2, "the folder threshold was not applied")
                run(["cabextract", "-t", archive])
                run(["7z", "t", archive])
                run(["gcab", "-t", archive])
                for tool in ("cabextract", "7z", "gcab"):
                    self.assertTreeEqual(expected, self.extract(tool, archive),
                                         rename=split_name, msg=tool)
                # Told the code page, cabextract gives back the very names.
                self.assertTreeEqual(expected, self.extract("cabextract-cp932", archive),
                                     msg="cabextract -e cp932")

    def test_untranslated_names_are_read_as_utf8(self):
        require(self, "cabextract", "7z", "gcab")
        src = make_tree(self.tmp, long_names=False, big=False)
        archive = self.path("utf8.cab")
        arcwrite("cab", archive, "--no-oem", "--recurse", os.path.join(src, "*"))
        expected, _ = tree_files(src)
        for tool in ("cabextract", "7z", "gcab"):
            self.assertTreeEqual(expected, self.extract(tool, archive), msg=tool)

    def test_mszip_blocks_refer_back_into_earlier_blocks(self):
        require(self, "cabextract", "7z")
        src = self.fresh_dir("rep")
        block = random_bytes(20000, 40)
        _write(os.path.join(src, "period.bin"), block * 5)
        archive = self.write(src, "mszip")
        # Only references into earlier blocks make 100000 bytes of period
        # 20000 this small.
        self.assertLess(os.path.getsize(archive), 25000)
        run(["cabextract", "-t", archive])
        run(["7z", "t", archive])
        self.assertEqual(self.extract("7z", archive)["period.bin"], block * 5)


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(REPO, "build-win", "wineprefix"))
    env["WINEDEBUG"] = "-all"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


class CabUnderWine(TreeCase):
    """The Windows build binds Wine's cabinet.dll by name."""

    def setUp(self):
        super().setUp()
        if not os.path.exists(WIN_ARCWRITE):
            self.skipTest("Windows arcwrite not built: " + WIN_ARCWRITE)
        require(self, "wine", "winepath", "cabextract")

    def winpath(self, path):
        return run(["winepath", "-w", path], input=b"").stdout.decode().strip()

    def wine_arcwrite(self, archive, method, spec, env):
        proc = subprocess.run(["wine", WIN_ARCWRITE, "cab", self.winpath(archive), "--method",
                               method, "--recurse", self.winpath(spec)],
                              capture_output=True, env=env, timeout=600)
        return proc.returncode, proc.stdout.decode("utf-8", "replace")

    def test_wine_cabinet_library_writes_a_cabinet_cabextract_accepts(self):
        env = wine_env()
        env["LC_ALL"] = "ja_JP.UTF-8"  # OEM code page 932
        src = make_tree(self.tmp, long_names=False, empty_dirs=False)
        archive = self.path("wine.cab")
        code, out = self.wine_arcwrite(archive, "mszip", os.path.join(src, "*"), env)
        self.assertEqual(code, 0, out)
        run(["cabextract", "-t", archive])
        out_dir = self.fresh_dir("x")
        run(["cabextract", "-q", "-e", "cp932", "-d", out_dir, archive])
        expected, _ = tree_files(src)
        actual, _ = tree_files(out_dir)
        self.assertTreeEqual(expected, actual)

    def test_wines_reader_follows_mszip_history_across_blocks(self):
        # Our MSZIP blocks refer back into earlier blocks of their folder;
        # Wine's extraction (through its cabinet library) must follow them.
        src = self.fresh_dir("hist")
        block = random_bytes(20000, 41)
        _write(os.path.join(src, "period.bin"), block * 5)
        _write(os.path.join(src, "text.txt"), b"text of some length\r\n" * 5000)
        _write(os.path.join(src, "noise.bin"), random_bytes(1_000_000, 42))
        archive = self.path("hist.cab")
        arcwrite("cab", archive, "--method", "mszip", os.path.join(src, "*"))
        self.assertEqual(cab_header(archive), (2, 3))
        out_dir = self.fresh_dir("x")
        proc = subprocess.run(["wine", "extrac32", "/Y", "/E", "/L", self.winpath(out_dir),
                               self.winpath(archive)], capture_output=True, env=wine_env(),
                              timeout=600)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertTreeEqual(tree_files(src)[0], tree_files(out_dir)[0])

    def test_lzx_through_wines_library_is_stored_or_reported(self):
        # Wine's library refuses no type word: it stores what it cannot
        # compress. Either that cabinet is sound, or each file is reported.
        src = self.fresh_dir("few")
        for name in ("a.txt", "b.txt"):
            _write(os.path.join(src, name), name.encode() * 50)
        archive = self.path("lzx.cab")
        code, out = self.wine_arcwrite(archive, "lzx", os.path.join(src, "*"), wine_env())
        if code == 0:
            run(["cabextract", "-t", archive])
            files, _ = tree_files(src)
            out_dir = self.fresh_dir("x")
            run(["cabextract", "-q", "-d", out_dir, archive])
            self.assertTreeEqual(files, tree_files(out_dir)[0])
        else:
            self.assertEqual(out.count("error 25242"), 2, out)


if __name__ == "__main__":
    unittest.main()
