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
from test_lzh import MemoryTreeCase, make_sweep

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

    extract = TreeCase.extract_cab

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


def cab_files(path):
    """(name bytes, attributes) of every file entry of a cabinet."""
    with open(path, "rb") as f:
        data = f.read()
    count = struct.unpack_from("<H", data, 0x1C)[0]
    at = struct.unpack_from("<I", data, 0x10)[0]
    out = []
    for _ in range(count):
        attribs = struct.unpack_from("<H", data, at + 14)[0]
        end = data.index(b"\0", at + 16)
        out.append((data[at + 16:end], attribs))
        at = end + 1
    return out


class CabFaults(MemoryTreeCase):
    """Faults mended in the CAB writer, seen from the user's side."""

    extract = TreeCase.extract_cab

    def readers(self):
        return [t for t in ("cabextract", "7z", "gcab") if have(t)]

    def test_names_the_code_page_lacks_are_utf8_and_marked(self):
        require(self, "cabextract", "7z")
        src = self.fresh_dir("src")
        names = {"日本語.txt": b"ja", "한국어.txt": b"ko", "emoji😀.txt": b"em",
                 "plain.txt": b"as"}
        for name, data in names.items():
            _write(os.path.join(src, name), data)
        archive = self.path("names.cab")
        arcwrite("cab", archive, os.path.join(src, "*"))
        self.assertEqual(sorted(cab_files(archive)), sorted([
            ("日本語.txt".encode("cp932"), 0x20), ("한국어.txt".encode(), 0xA0),
            ("emoji😀.txt".encode(), 0xA0), (b"plain.txt", 0x20)]))
        listing = run(["cabextract", "-l", archive]).stdout
        for name in ("한국어.txt", "emoji😀.txt"):
            self.assertIn(name.encode(), listing)
        for tool in self.readers():
            self.assertTreeEqual(names, self.extract(tool, archive), rename=lambda n: (
                split_name(n) if n == "日本語.txt" else n), msg=tool)

    # Fault mended: whatever file had the cabinet's name was overwritten.
    def test_a_file_that_is_not_a_cabinet_is_left_as_it_is(self):
        src = self.fresh_dir("src")
        _write(os.path.join(src, "a.txt"), b"alpha")
        picture = self.path("x.cab")
        _write(picture, b"\x89PNG\r\n\x1a\n" + random_bytes(2000, 50))
        with open(picture, "rb") as f:
            before = f.read()
        for archive in (picture, os.path.join(src, "a.txt")):
            code, out = arcwrite("cab", archive, os.path.join(src, "*"), check=False)
            self.assertEqual(code, 1, out)
            self.assertIn("error 25242", out)
        with open(picture, "rb") as f:
            self.assertEqual(f.read(), before)
        with open(os.path.join(src, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"alpha")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["src", "x.cab"])
        self.assertEqual(os.listdir(src), ["a.txt"])

    # A cabinet is replaced, not updated: the old one goes to the trash once
    # the new one is complete, so that "adding" to it can be undone.
    def test_a_replaced_cabinet_goes_to_the_trash(self):
        require(self, "cabextract")
        src = self.fresh_dir("src")
        _write(os.path.join(src, "old.txt"), b"old")
        archive = self.path("x.cab")
        arcwrite("cab", archive, os.path.join(src, "old.txt"))
        with open(archive, "rb") as f:
            old = f.read()
        _write(os.path.join(src, "new.txt"), b"new")
        home = self.fresh_dir("data")
        arcwrite("cab", archive, os.path.join(src, "new.txt"), env={"XDG_DATA_HOME": home})
        with open(os.path.join(home, "Trash", "files", "x.cab"), "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertEqual(self.extract("cabextract", archive), {"new.txt": b"new"})
        self.assertEqual(sorted(os.listdir(self.tmp)), ["data", "src", "x-cabextract", "x.cab"])

    # Fault mended: a cabinet written into the folder it gathers stored its
    # earlier self and its temporary files.
    def test_a_cabinet_in_its_input_folder_holds_only_the_inputs(self):
        require(self, "cabextract")
        src = self.fresh_dir("src")
        _write(os.path.join(src, "a.txt"), b"alpha" * 100)
        _write(os.path.join(src, "b.bin"), random_bytes(5000, 51))
        archive = os.path.join(src, "self.cab")
        for run_number in range(2):
            arcwrite("cab", archive, "--recurse", os.path.join(src, "*"), cwd=src,
                     env={"TMPDIR": src, "XDG_DATA_HOME": self.path("data")})
            self.assertEqual(sorted(n for n, _ in cab_files(archive)), [b"a.txt", b"b.bin"],
                             run_number)
        self.assertEqual(sorted(os.listdir(src)), ["a.txt", "b.bin", "self.cab"])

    def test_every_size_reads_back(self):
        require(self, "cabextract", "7z")
        files = make_sweep(self.tmp)
        expected = {os.path.basename(k): v for k, v in files.items()}
        for method in ("store", "mszip"):
            with self.subTest(method=method):
                archive = self.path(method + "-sweep.cab")
                arcwrite("cab", archive, "--method", method, os.path.join(self.tmp, "sweep", "*"),
                         os.path.join(self.tmp, "zafter", "*"))
                names = [n for n, _ in cab_files(archive)]
                self.assertEqual(len(names), len(files))
                self.assertEqual(names[-2:], [b"after.txt", b"tail.bin"])
                for tool in self.readers():
                    self.assertTreeEqual(expected, self.extract(tool, archive), msg=tool)


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(REPO, "build-win", "wineprefix"))
    env["WINEDEBUG"] = "-all"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


class CabUnderWine(TreeCase):
    """The Windows build binds Wine's cabinet.dll by name."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A prefix that the first command creates goes on setting itself up
        # in the background, and a program started meanwhile can fail
        # without a word (extrac32 once did in CI): the prefix is made
        # whole, and its server gone, before the first case.
        if shutil.which("wine") and shutil.which("wineserver"):
            env = wine_env()
            subprocess.run(["wine", "wineboot", "-i"], env=env, capture_output=True, timeout=600)
            subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=600)

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
