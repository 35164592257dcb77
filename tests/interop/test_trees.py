"""Real trees of this machine through every writer and method, each archive
read back by two independent readers. Every regular file of the tree (and
every file a link points to) must come back under its name with its bytes,
unless arcwrite reported that very file by name.

The trees are folders of /usr/include and /usr/share/doc, chosen to keep the
suite to a few minutes: every folder of /usr/include but the very large ones,
and the first packages of /usr/share/doc."""

import os
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

from interop import (TreeCase, _write, arcwrite, data_digest, file_digests, have, lhasa_name,
                     reported_paths)

INCLUDE = "/usr/include"
DOC = "/usr/share/doc"
LARGEST_FOLDER = 16 << 20
DOC_BUDGET = 16 << 20
PASSWORD = "Tr33s-0f-F1les"

# (format, label, options, readers)
INCLUDE_RUNS = {
    "zip": [("store", ["--method", "store"], ["zipfile", "7z"]),
            ("deflate", ["--method", "deflate", "--deflate", "N"], ["zipfile", "unzip"]),
            ("store-password", ["--method", "store", "--password", PASSWORD], ["unzip", "7z"])],
    "lzh": [("lh0", ["--method", "store"], ["lhasa", "7z"]),
            ("lh5", ["--method", "lh5"], ["lhasa", "7z"]),
            ("lh6", ["--method", "lh6"], ["lhasa", "7z"])],
    "tar": [("tar", ["--method", "tar"], ["tar", "tarfile"]),
            ("tgz", ["--method", "tgz"], ["tar", "bsdtar"])],
    "cab": [("store", ["--method", "store"], ["cabextract", "7z"]),
            ("mszip", ["--method", "mszip"], ["cabextract", "7z"])],
}
DOC_RUNS = [("zip", "deflate", ["--method", "deflate"], ["zipfile", "7z"]),
            ("lzh", "lh5", ["--method", "lh5"], ["lhasa", "7z"]),
            ("tar", "tgz", ["--method", "tgz"], ["tarfile", "bsdtar"]),
            ("cab", "mszip", ["--method", "mszip"], ["cabextract", "7z"])]


def folder_size(path):
    total = 0
    for folder, _, names in os.walk(path):
        for n in names:
            p = os.path.join(folder, n)
            if os.path.isfile(p):
                total += os.path.getsize(p)
    return total


def real_folders(root):
    """The folders directly below root that are not links, by name."""
    return [d for d in sorted(os.listdir(root))
            if os.path.isdir(os.path.join(root, d)) and not os.path.islink(os.path.join(root, d))]


def include_folders():
    return [d for d in real_folders(INCLUDE)
            if folder_size(os.path.join(INCLUDE, d)) <= LARGEST_FOLDER]


def doc_folders():
    chosen, total = [], 0
    for d in real_folders(DOC):
        total += folder_size(os.path.join(DOC, d))
        if total > DOC_BUDGET:
            break
        chosen.append(d)
    return chosen


class Tree:
    """Some folders of one root: the specs that name them and what they hold."""

    def __init__(self, root, folders):
        self.root, self.folders = root, folders
        self.specs = [os.path.join(root, d, "*") for d in folders]
        self.files = {}
        for d in folders:
            for rel, digest in file_digests(os.path.join(root, d)).items():
                self.files[d + "/" + rel] = digest

    def full_path(self, rel):
        return os.path.join(self.root, rel)


class TreeSweep(TreeCase):
    trees = {}

    def setUp(self):
        super().setUp()
        # Thousands of small files are extracted and removed per reader: in
        # memory where the system offers it.
        shm = "/dev/shm"
        base = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else self.tmp
        self.scratch = tempfile.mkdtemp(prefix="vix-trees-", dir=base)
        self.addCleanup(shutil.rmtree, self.scratch, True)

    @classmethod
    def tree(cls, name):
        if name not in cls.trees:
            root, pick = {"include": (INCLUDE, include_folders), "doc": (DOC, doc_folders)}[name]
            cls.trees[name] = Tree(root, pick()) if os.path.isdir(root) else None
        return cls.trees[name]

    def get_tree(self, name):
        tree = self.tree(name)
        if tree is None or not tree.files:
            self.skipTest("no tree to archive on this machine: %s" %
                          {"include": INCLUDE, "doc": DOC}[name])
        return tree

    def read_back(self, reader, archive, password=None):
        """{stored name: (size, digest)} of the files a reader gives back."""
        if reader == "zipfile":
            got = {}
            with zipfile.ZipFile(archive) as z:
                for i in z.infolist():
                    if not i.is_dir():
                        got[i.filename] = data_digest(z.read(i, pwd=password and password.encode()))
            return got
        if reader == "tarfile":
            got = {}
            with tarfile.open(archive) as t:
                for m in t:
                    if m.isfile():
                        got[m.name] = data_digest(t.extractfile(m).read())
            return got
        out = tempfile.mkdtemp(prefix="x-" + reader + "-", dir=self.scratch)
        p7, pu = (["-p" + password], ["-P", password]) if password else ([], [])
        args = {
            "7z": ["7z", "x", "-y", "-o" + out] + p7 + [archive],
            "unzip": ["unzip", "-q"] + pu + [archive, "-d", out],
            "lhasa": ["lhasa", "xq", archive],
            "tar": ["tar", "-xf", archive, "-C", out],
            "bsdtar": ["bsdtar", "-xf", archive, "-C", out],
            "cabextract": ["cabextract", "-q", "-d", out, archive],
        }[reader]
        proc = subprocess.run(args, cwd=out, capture_output=True, timeout=600)
        self.assertEqual(proc.returncode, 0, "%s failed on %s: %s" % (
            reader, os.path.basename(archive), proc.stderr.decode("utf-8", "replace")[-1500:]))
        got = file_digests(out)
        shutil.rmtree(out)
        return got

    def compare(self, want, got, what):
        missing = sorted(set(want) - set(got))
        extra = sorted(set(got) - set(want))
        differ = sorted(k for k in set(want) & set(got) if want[k] != got[k])
        problems = []
        for label, names in (("missing", missing), ("unexpected", extra), ("bytes differ", differ)):
            if names:
                problems.append("%d %s, e.g. %s" % (len(names), label, names[:5]))
        self.assertFalse(problems, "%s: %s" % (what, "; ".join(problems)))

    def sweep(self, tree, fmt, label, options, readers):
        missing = [r for r in readers if r not in ("zipfile", "tarfile") and not have(r)]
        if missing:
            self.skipTest("not installed: " + ", ".join(missing))
        archive = self.path("%s-%s.%s" % (os.path.basename(tree.root), label, fmt))
        code, out = arcwrite(fmt, archive, *options, "--recurse", "--paths", "relative-start",
                             *tree.specs, check=False)
        self.assertNotIn("fatal", out)
        reported = reported_paths(out)
        paths = {tree.full_path(k) for k in tree.files}
        # A report that names no file of the tree is no excuse for a loss.
        self.assertLessEqual(reported, paths, out[-3000:])
        self.assertEqual(code, 1 if reported else 0, out[-3000:])
        if fmt == "tar" and "tgz" in options:
            archive += ".gz"
        password = PASSWORD if "--password" in options else None
        kept = {k: v for k, v in tree.files.items() if tree.full_path(k) not in reported}
        for reader in readers:
            rename = lhasa_name if reader == "lhasa" else (lambda n: n)
            want = {rename(k): v for k, v in kept.items()}
            self.compare(want, self.read_back(reader, archive, password),
                         "%s %s read by %s" % (fmt, label, reader))
        os.remove(archive)

    def sweep_include(self, fmt):
        tree = self.get_tree("include")
        for label, options, readers in INCLUDE_RUNS[fmt]:
            with self.subTest(method=label):
                self.sweep(tree, fmt, label, options, readers)

    def test_include_through_zip(self):
        self.sweep_include("zip")

    def test_include_through_lzh(self):
        self.sweep_include("lzh")

    def test_include_through_tar(self):
        self.sweep_include("tar")

    def test_include_through_cab(self):
        self.sweep_include("cab")

    def test_dot_names_links_and_read_only_files(self):
        # What real trees hold besides plain files: names starting with a dot,
        # links to files (stored as the file), a link to a folder above (not
        # followed), read-only and empty files, data ending on a 512-byte block.
        root = self.path("odd")
        top = os.path.join(root, "top")
        for name, data in ((".profile", b"dot file"), (".config/app.conf", b"in a dot folder"),
                           ("plain.txt", b"plain"), ("target.bin", bytes(range(256))),
                           ("sub/x.txt", b"below"), ("sub/empty", b""),
                           ("sub/block.bin", bytes(range(256)) * 4),
                           ("read-only.txt", b"not to be written")):
            _write(os.path.join(top, name), data)
        os.chmod(os.path.join(top, "read-only.txt"), 0o444)
        os.symlink("target.bin", os.path.join(top, "link.bin"))
        os.symlink("..", os.path.join(top, "sub", "loop"))
        tree = Tree(root, ["top"])
        self.assertEqual(len(tree.files), 9)
        for fmt, label, options, readers in DOC_RUNS:
            with self.subTest(format=fmt):
                self.sweep(tree, fmt, label, options, readers)

    def test_doc_packages(self):
        tree = self.get_tree("doc")
        for fmt, label, options, readers in DOC_RUNS:
            with self.subTest(format=fmt, method=label):
                self.sweep(tree, fmt, label, options, readers)


if __name__ == "__main__":
    unittest.main()
