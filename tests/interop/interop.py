"""Shared pieces of the interop suites: the source trees, running arcwrite,
running independent readers and comparing what they extract.

Each suite (test_<format>.py) is a unittest module. Run them all with
    VIX_ARCWRITE=build/tests/arcwrite python3 -m unittest discover -s tests/interop
"""

import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import unittest
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ARCWRITE = os.environ.get("VIX_ARCWRITE", os.path.join(REPO, "build", "tests", "arcwrite"))
CORPUS = os.environ.get("VIX_CORPUS", os.path.join(os.path.dirname(REPO), "shared", "corpus"))

JAPANESE_NAMES = ["日本語のファイル.txt", "表計算データ.csv", "ソース/圧縮テスト.c"]


def have(tool):
    return shutil.which(tool) is not None


def require(testcase, *tools):
    missing = [t for t in tools if not have(t)]
    if missing:
        testcase.skipTest("not installed: " + ", ".join(missing))


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def text_bytes(size, seed):
    rnd = random.Random(seed)
    words = ["archive", "header", "deflate", "window", "entry", "folder", "the", "of",
             "and", "圧縮", "書庫", "ファイル", "0123", "\n", "\n", "  "]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words).encode("utf-8") + b" "
    return bytes(out[:size])


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


def make_tree(root, long_names=True, japanese=True, empty_dirs=True, big=True):
    """Builds the standard interop tree below root/src and returns its path.

    Holds text, binaries, empty files, an empty folder, nested folders,
    Japanese names, long names, a 1-byte file, files above 64 KiB and 1 MiB, and
    compressible files under extensions of packed formats (".lzh" is stored as
    it is, ".EXE" is compressed all the same).
    """
    src = os.path.join(root, "src")
    _write(os.path.join(src, "readme.txt"), text_bytes(5000, 1))
    _write(os.path.join(src, "one.bin"), b"\x5a")
    _write(os.path.join(src, "empty.dat"), b"")
    _write(os.path.join(src, "random.bin"), random_bytes(20000, 2))
    _write(os.path.join(src, "packed.lzh"), text_bytes(4000, 6))
    _write(os.path.join(src, "setup.EXE"), text_bytes(4000, 7))
    _write(os.path.join(src, "nested", "deeper", "deepest", "leaf.txt"), text_bytes(3000, 3))
    _write(os.path.join(src, "nested", "empty-inside.txt"), b"")
    _write(os.path.join(src, "nested", "runs.bin"), b"\0" * 70000 + b"\xff" * 1000)
    if big:
        _write(os.path.join(src, "big", "text-1m.txt"), text_bytes(1_300_000, 4))
        _write(os.path.join(src, "big", "random-100k.bin"), random_bytes(100_000, 5))
    if empty_dirs:
        os.makedirs(os.path.join(src, "void"), exist_ok=True)
    if japanese:
        for i, name in enumerate(JAPANESE_NAMES):
            _write(os.path.join(src, "日本", name), text_bytes(1000 + i, 10 + i))
    if long_names:
        # Names whose stored form runs from about 100 to 300 bytes.
        long_dir = os.path.join(src, "l" * 60, "m" * 60)
        _write(os.path.join(long_dir, "n" * 90 + ".txt"), text_bytes(700, 20))
        _write(os.path.join(src, "x" * 99 + ".txt"), b"ninety-nine")
        _write(os.path.join(src, "y" * 100 + ".txt"), b"one hundred")
    return src


def tree_files(root):
    """Relative path (with "/") -> bytes, for every file below root; and the
    set of folders that hold nothing."""
    files, empty = {}, set()
    for folder, dirs, names in os.walk(root):
        rel = os.path.relpath(folder, root)
        if not dirs and not names and rel != ".":
            empty.add(rel.replace(os.sep, "/"))
        for n in names:
            p = os.path.join(folder, n)
            with open(p, "rb") as f:
                files[os.path.relpath(p, root).replace(os.sep, "/")] = f.read()
    return files, empty


def split_name(name, codepage="cp932"):
    """Where a byte-preserving reader puts a file stored under the code-page
    form of name: the stored bytes, with every 0x5C byte taken for a folder
    separator (also the second byte of a double-byte character such as 表
    or ソ)."""
    return name.encode(codepage).replace(b"\\", b"/").decode("utf-8", "surrogateescape")


def oem_name(name, codepage="cp932"):
    """The file name a byte-preserving extractor produces for a stored
    code-page name, decoded the way this platform's file system keeps it."""
    return name.encode(codepage).decode("utf-8", "surrogateescape")


def run(args, cwd=None, check=True, input=None, timeout=600):
    proc = subprocess.run(args, cwd=cwd, input=input, capture_output=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (
            " ".join(map(str, args)), proc.returncode,
            proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")))
    return proc


def arcwrite(fmt, archive, *args, cwd=None, check=True, env=None):
    """Runs arcwrite; returns (exit code, stdout text)."""
    e = dict(os.environ)
    if env:
        e.update(env)
    proc = subprocess.run([ARCWRITE, fmt, archive] + list(args), cwd=cwd, capture_output=True,
                          env=e, timeout=600)
    out = proc.stdout.decode("utf-8", "replace") + proc.stderr.decode("utf-8", "replace")
    if check and proc.returncode != 0:
        raise AssertionError("arcwrite %s %s %s failed (%d):\n%s" % (
            fmt, archive, " ".join(args), proc.returncode, out))
    return proc.returncode, out


class TreeCase(unittest.TestCase):
    """A test case with a scratch folder."""

    def setUp(self):
        if not os.path.exists(ARCWRITE):
            self.skipTest("arcwrite not built: " + ARCWRITE)
        self.tmp = tempfile.mkdtemp(prefix="vix-interop-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def fresh_dir(self, name):
        p = self.path(name)
        shutil.rmtree(p, ignore_errors=True)
        os.makedirs(p)
        return p

    def extract_cab(self, tool, archive):
        """The {relative name: bytes} a cabinet reader extracts: cabextract
        (cabextract-cp932 reads names in code page 932), 7z or gcab."""
        out = self.fresh_dir("x-" + tool)
        commands = {
            "cabextract": ["cabextract", "-q", "-d", out, archive],
            "cabextract-cp932": ["cabextract", "-q", "-e", "cp932", "-d", out, archive],
            "7z": ["7z", "x", "-y", "-o" + out, archive],
            "gcab": ["gcab", "-x", "-C", out, archive],
        }
        run(commands[tool])
        return tree_files(out)[0]

    def assertTreeEqual(self, expected, actual, rename=None, msg=""):
        """Compares two {relative name: bytes} maps (rename maps expected names)."""
        exp = {(rename(k) if rename else k): v for k, v in expected.items()}
        self.assertEqual(sorted(exp), sorted(actual), msg)
        for k in exp:
            self.assertTrue(exp[k] == actual[k], "%s: content differs %s" % (k, msg))


def lhasa_name(name):
    """Where lhasa puts a file stored under the code-page form of name: as
    split_name, and lowered when the name holds no lower-case letter."""
    split = split_name(name)
    return split.lower() if split == split.upper() else split


def file_digests(root):
    """Relative path (with "/") -> (size, digest) for every file a recursive
    gathering should find below root: regular files and symbolic links to
    files, but nothing below a linked folder (folder links are not followed)."""
    out = {}
    for folder, _, names in os.walk(root):
        for n in names:
            p = os.path.join(folder, n)
            if not os.path.isfile(p):
                continue
            out[os.path.relpath(p, root).replace(os.sep, "/")] = digest_of(p)
    return out


def digest_of(path):
    h = hashlib.blake2b(digest_size=20)
    size = 0
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                break
            size += len(chunk)
            h.update(chunk)
    return size, h.digest()


def data_digest(data):
    return len(data), hashlib.blake2b(data, digest_size=20).digest()


def reported_paths(output):
    """The paths that arcwrite's error lines name ("error CODE: text: PATH: why")."""
    found = set()
    for line in output.splitlines():
        parts = line.split(": ", 3)
        if len(parts) >= 3 and parts[0].startswith("error "):
            found.add(parts[2])
    return found


def cab_files(archive):
    """(attributes, stored name bytes) of each CFFILE record of a cabinet."""
    with open(archive, "rb") as f:
        data = f.read()
    if data[:4] != b"MSCF":
        raise AssertionError("not a cabinet: " + archive)
    files_at = int.from_bytes(data[16:20], "little")
    count = int.from_bytes(data[28:30], "little")
    out, at = [], files_at
    for _ in range(count):
        attribs = int.from_bytes(data[at + 14:at + 16], "little")
        end = data.index(b"\0", at + 16)
        out.append((attribs, data[at + 16:end]))
        at = end + 1
    return out


def zip_raw_names(archive):
    """(general-purpose flags, stored name bytes) of each central record."""
    with zipfile.ZipFile(archive) as z:
        return [(i.flag_bits, i.filename.encode("utf-8") if i.flag_bits & 0x800
                 else i.orig_filename.encode("cp437")) for i in z.infolist()]
