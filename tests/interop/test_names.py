"""File names across every format: a name that code page 932 holds is stored
in it, any other in UTF-8 where the format can mark it (ZIP bit 11, a pax
"path" record, the CAB UTF-8 attribute) and reported and left out where it
cannot (LZH); a name holding a backslash is reported and left out everywhere;
a name starting with a dot is archived. Each archive is read by independent
readers, which must give back every kept file under its own name with its
own bytes, and a second identical run must leave the archive as it was."""

import os
import subprocess
import tarfile
import zipfile

from interop import (TreeCase, _write, arcwrite, cab_files, lhasa_name, oem_name,
                     reported_paths, require, run, split_name, tree_files, zip_raw_names)

OEM_NAMES = ["表.txt", "ソフト.txt", "能力.txt", "日本語.txt"]  # 表ソ能 end in 0x5C
UTF8_NAMES = ["한국어.txt", "😀.txt", "café.txt", "Ärger.txt"]
BACKSLASH = "a\\b.txt"
DOT = ".hidden"
FOLDERS = ["", "sub/"]


def needs_utf8(rel):
    return any(rel.endswith(n) for n in UTF8_NAMES)


def listed(out, kind):
    """The stored names arcwrite listed before writing as "name KIND: NAME"."""
    head = "name %s: " % kind
    return {line[len(head):].split(": ")[0] for line in out.splitlines() if line.startswith(head)}


def per_part(rename):
    """Applies a reader's renaming to the non-ASCII parts of a path."""
    return lambda name: "/".join(p if p.isascii() else rename(p) for p in name.split("/"))


class NameCase(TreeCase):
    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.tmp, "src")
        for i, folder in enumerate(FOLDERS):
            for j, name in enumerate(OEM_NAMES + UTF8_NAMES + [BACKSLASH, DOT]):
                _write(os.path.join(self.src, folder, name),
                       ("%d/%d %s\n" % (i, j, name)).encode("utf-8") * (j + 1))
        self.on_disk, _ = tree_files(self.src)
        self.assertEqual(len(self.on_disk), 2 * 10)

    def write(self, fmt, archive, *options):
        return arcwrite(fmt, archive, "--recurse", *options, "src/*", cwd=self.tmp,
                        check=False)

    def expected(self, keep_utf8=True):
        return {k: v for k, v in self.on_disk.items()
                if not k.endswith(BACKSLASH) and (keep_utf8 or not needs_utf8(k))}

    def check_run(self, code, out, keep_utf8=True):
        """Exit 1, and exactly the names that cannot be stored reported by path."""
        left_out = {os.path.join(self.src, k) for k in self.on_disk
                    if k not in self.expected(keep_utf8)}
        self.assertEqual(code, 1, out)
        self.assertEqual(reported_paths(out), left_out, out)
        self.assertEqual(out.count("error 26858"), len(left_out), out)
        # Listed before anything was written, by the names they would have.
        self.assertEqual(listed(out, "left out"),
                         {os.path.relpath(p, self.src) for p in left_out}, out)

    def check_second_run_changes_nothing(self, fmt, archive, *options):
        with open(archive, "rb") as f:
            before = f.read()
        code, out = self.write(fmt, archive, *options)
        self.assertNotIn("fatal", out)
        with open(archive, "rb") as f:
            self.assertTrue(f.read() == before, "the second run changed the archive:\n" + out)

    def check_update(self, archive, fmt, method):
        """Files that changed are replaced in place under their own names."""
        for rel in ("sub/表.txt", "sub/한국어.txt", ".hidden"):
            with open(os.path.join(self.src, rel), "ab") as f:
                f.write(b"changed\n")
        self.on_disk, _ = tree_files(self.src)
        self.check_run(*self.write(fmt, archive, "--method", method), keep_utf8=fmt != "lzh")
        self.check_archive(archive, method + "-update")

    def extract(self, args, out_dir, env=None):
        os.makedirs(out_dir)
        proc = subprocess.run(args, cwd=out_dir, capture_output=True, timeout=300,
                              env=dict(os.environ, **(env or {})))
        # unzip warns (exit 1) about the 0x5C second bytes of Shift-JIS names.
        warned = args[0] == "unzip" and proc.returncode == 1 and \
            proc.stderr.strip().endswith(b"appears to use backslashes as path separators")
        self.assertTrue(proc.returncode == 0 or warned, "%s: %s" % (args[0], proc.stderr[-2000:]))
        return tree_files(out_dir)[0]


class ZipNames(NameCase):
    def check_archive(self, archive, tag):
        expected = self.expected()
        stored = {}
        for flags, raw in zip_raw_names(archive):
            name = raw.decode("utf-8") if flags & 0x800 else raw.decode("cp932")
            stored[name] = flags
            if needs_utf8(name):
                self.assertTrue(flags & 0x800, name)
            else:
                self.assertFalse(flags & 0x800, "%s stored with bit 11" % name)
        self.assertEqual(sorted(stored), sorted(expected))

        with zipfile.ZipFile(archive) as z:
            got = {}
            for i in z.infolist():
                name = i.filename if i.flag_bits & 0x800 else \
                    i.filename.encode("cp437").decode("cp932")
                got[name] = z.read(i)
        self.assertTreeEqual(expected, got, msg="zipfile")

        files = self.extract(["7z", "x", "-y", archive], self.path(tag + "-7z"))
        self.assertTreeEqual(expected, files, msg="7z",
                             rename=lambda k: k if needs_utf8(k) else per_part(oem_name)(k))

        # unzip writes a code-page name in a code page of its own; those are
        # compared by content, the UTF-8 ones by name.
        files = self.extract(["unzip", "-q", archive], self.path(tag + "-unzip"))
        marked = {k: v for k, v in expected.items() if k.isascii() or needs_utf8(k)}
        self.assertTreeEqual(marked, {k: v for k, v in files.items() if k in marked},
                             msg="unzip")
        self.assertEqual(sorted(v for k, v in expected.items() if k not in marked),
                         sorted(v for k, v in files.items() if k not in marked), "unzip")

    def test_names_flags_and_readers(self):
        require(self, "7z", "unzip")
        for method in ("store", "deflate"):
            with self.subTest(method=method):
                archive = self.path(method + ".zip")
                code, out = self.write("zip", archive, "--method", method)
                self.check_run(code, out)
                self.assertEqual(listed(out, "utf-8"), {k for k in self.on_disk if needs_utf8(k)})
                self.check_archive(archive, method)
                self.check_second_run_changes_nothing("zip", archive, "--method", method)
                self.check_update(archive, "zip", method)


class TarNames(NameCase):
    def check_archive(self, archive, tag):
        expected = self.expected()
        with tarfile.open(archive, encoding="cp932") as t:
            members = [m for m in t.getmembers() if m.isfile()]
            got = {m.name: t.extractfile(m).read() for m in members}
            for m in members:
                self.assertEqual("path" in m.pax_headers, needs_utf8(m.name), m.name)
        self.assertTreeEqual(expected, got, msg="tarfile")

        gnu = ["tar", "-xzf" if archive.endswith(".gz") else "-xf", archive]
        for reader, args in (("gnu", gnu), ("bsdtar", ["bsdtar", "-xf", archive])):
            files = self.extract(args, self.path(tag + "-" + reader), env={"LC_ALL": "C.UTF-8"})
            self.assertTreeEqual(expected, files, msg=reader, rename=lambda k: k if
                                 needs_utf8(k) else per_part(oem_name)(k))

    def test_names_pax_records_and_readers(self):
        require(self, "tar", "bsdtar")
        for method in ("tar", "tgz"):
            with self.subTest(method=method):
                archive = self.path("names-%s.tar" % method)
                self.check_run(*self.write("tar", archive, "--method", method))
                if method == "tgz":
                    self.check_archive(archive + ".gz", method)
                    continue
                self.check_archive(archive, method)
                self.check_second_run_changes_nothing("tar", archive, "--method", method)
                self.check_update(archive, "tar", method)


class CabNames(NameCase):
    def test_names_attribute_and_readers(self):
        require(self, "cabextract", "7z")
        for method in ("store", "mszip"):
            with self.subTest(method=method):
                archive = self.path(method + ".cab")
                self.check_run(*self.write("cab", archive, "--method", method))
                expected = self.expected()
                stored = {}
                for attribs, raw in cab_files(archive):
                    utf8 = bool(attribs & 0x80)
                    name = (raw.decode("utf-8") if utf8 else raw.decode("cp932")).replace("\\", "/")
                    stored[name] = utf8
                    self.assertEqual(utf8, needs_utf8(name), name)
                self.assertEqual(sorted(stored), sorted(expected))

                files = self.extract(["cabextract", "-q", "-e", "cp932", archive],
                                     self.path(method + "-cabextract"))
                self.assertTreeEqual(expected, files, msg="cabextract -e cp932")
                files = self.extract(["7z", "x", "-y", archive], self.path(method + "-7z"))
                self.assertTreeEqual(expected, files, msg="7z", rename=lambda k: k if
                                     needs_utf8(k) else per_part(split_name)(k))


class LzhNames(NameCase):
    def check_archive(self, archive, tag):
        expected = self.expected(keep_utf8=False)
        files = self.extract(["lhasa", "xq", archive], self.path(tag + "-lhasa"))
        self.assertTreeEqual(expected, files, msg="lhasa", rename=per_part(lhasa_name))
        files = self.extract(["7z", "x", "-y", archive], self.path(tag + "-7z"))
        self.assertTreeEqual(expected, files, msg="7z", rename=per_part(split_name))

    def test_names_without_a_code_page_form_are_reported_and_left_out(self):
        require(self, "lhasa", "7z")
        for method in ("store", "lh5", "lh6"):
            with self.subTest(method=method):
                archive = self.path(method + ".lzh")
                self.check_run(*self.write("lzh", archive, "--method", method), keep_utf8=False)
                self.check_archive(archive, method)
                self.check_second_run_changes_nothing("lzh", archive, "--method", method)
                self.check_update(archive, "lzh", method)


class LongNames(TreeCase):
    """A name a format cannot hold is reported with its reason and left out;
    the rest of the archive is whole."""

    LIMITS = {"zip": None, "tar": None, "lzh": 233, "cab": 255}
    READERS = {"zip": ("zipfile", "7z"), "tar": ("tarfile", "tar"),
               "lzh": ("lhasa", "7z"), "cab": ("cabextract", "7z")}

    def read(self, reader, archive, fmt):
        if reader == "zipfile":
            with zipfile.ZipFile(archive) as z:
                return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
        if reader == "tarfile":
            with tarfile.open(archive) as t:
                return {m.name: t.extractfile(m).read() for m in t if m.isfile()}
        out = self.fresh_dir(fmt + "-" + reader)
        args = {"7z": ["7z", "x", "-y", archive], "tar": ["tar", "-xf", archive],
                "lhasa": ["lhasa", "xq", archive], "cabextract": ["cabextract", "-q", archive]}
        run(args[reader], cwd=out)
        return tree_files(out)[0]

    def test_names_over_a_limit_are_reported_never_cut(self):
        require(self, "7z", "tar", "lhasa", "cabextract")
        src = os.path.join(self.tmp, "src")
        names = {}
        for length in (120, 240, 300):
            folder = "f%d-" % length + "d" * 90
            name = folder + "/" + "n" * (length - len(folder) - 5) + ".txt"
            self.assertEqual(len(name), length)
            names[name] = ("%d bytes of name\n" % length).encode()
            _write(os.path.join(src, name), names[name])
        for fmt, limit in self.LIMITS.items():
            with self.subTest(format=fmt):
                archive = self.path("long." + fmt)
                code, out = arcwrite(fmt, archive, "--recurse", "src/*", cwd=self.tmp,
                                     check=False)
                too_long = {n for n in names if limit and len(n) > limit}
                self.assertEqual(reported_paths(out), {os.path.join(src, n) for n in too_long},
                                 out)
                self.assertEqual(code, 1 if too_long else 0, out)
                kept = {n: v for n, v in names.items() if n not in too_long}
                for reader in self.READERS[fmt]:
                    rename = lhasa_name if reader == "lhasa" else None
                    self.assertTreeEqual(kept, self.read(reader, archive, fmt), rename=rename,
                                         msg="%s %s" % (fmt, reader))
                for line in out.splitlines():
                    self.assertIn("long", line, "the report gives no reason: " + line)


if __name__ == "__main__":
    import unittest
    unittest.main()
