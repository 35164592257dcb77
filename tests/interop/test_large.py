"""Files of more than 4 GiB: sparse inputs (made with truncate, so they take
no disk space) stored by arcwrite in ZIP (deflate, Zip64) and TAR-GZIP, read
back by unzip, 7z, Python's zipfile, tar, bsdtar and tarfile.

A case that needs more free space than the scratch folder has is skipped
with a message; so are readers that are not installed. Every reader
inflates 4 GiB, so the suite costs about a minute of processor time:
VIX_INTEROP_LARGE=0 leaves it out."""

import os
import shutil
import tarfile
import unittest
import zipfile
import zlib

from interop import TreeCase, arcwrite, have, run

# 4 GiB + 1 MiB of zeros, then a tail that must arrive intact.
LARGE = (4 << 30) + (1 << 20)
TAIL = b"the tail after four gigabytes\n"


def zeros_crc(count, crc=0):
    block = bytes(1 << 20)
    while count >= len(block):
        crc = zlib.crc32(block, crc)
        count -= len(block)
    return zlib.crc32(bytes(count), crc)


class LargeFiles(TreeCase):
    """Each case makes its sparse source tree, writes one archive and reads it back."""

    def setUp(self):
        super().setUp()
        if os.environ.get("VIX_INTEROP_LARGE", "1") == "0":
            self.skipTest("VIX_INTEROP_LARGE=0")

    def make_source(self):
        src = self.path("src")
        os.makedirs(src)
        big = os.path.join(src, "big.img")
        with open(big, "wb") as f:
            f.truncate(LARGE - len(TAIL))
            f.seek(LARGE - len(TAIL))
            f.write(TAIL)
        with open(os.path.join(src, "after.txt"), "wb") as f:
            f.write(b"a small file after the large one\n")
        return src

    def need_space(self, needed):
        free = shutil.disk_usage(self.tmp).free
        if free < needed:
            self.skipTest("%d bytes free in %s, %d needed" % (free, self.tmp, needed))

    def expected_crc(self):
        return zlib.crc32(TAIL, zeros_crc(LARGE - len(TAIL)))

    def test_zip_deflate_of_more_than_4_gib(self):
        self.need_space(256 << 20)
        src = self.make_source()
        archive = self.path("large.zip")
        arcwrite("zip", archive, "--method", "deflate", "--deflate", "S", "--paths", "relative",
                 os.path.join(src, "*"))
        with zipfile.ZipFile(archive) as z:
            infos = {i.filename: i for i in z.infolist()}
            self.assertEqual(infos["big.img"].file_size, LARGE)  # from its Zip64 field
            # The CRC of the data as computed here; unzip and 7z below
            # inflate the data and check it against that CRC.
            self.assertEqual(infos["big.img"].CRC, self.expected_crc())
            self.assertEqual(z.read("after.txt"), b"a small file after the large one\n")
        if have("unzip"):
            out = run(["unzip", "-t", archive]).stdout.decode("utf-8", "replace")
            self.assertIn("No errors detected", out)
        else:
            print("unzip not installed: skipped")
        if have("7z"):
            out = run(["7z", "t", archive]).stdout.decode("utf-8", "replace")
            self.assertIn("Everything is Ok", out)
        else:
            print("7z not installed: skipped")

    def test_tar_gzip_of_more_than_4_gib(self):
        # The TAR step writes the zeros for real before they are compressed.
        self.need_space(LARGE + (512 << 20))
        src = self.make_source()
        archive = self.path("large.tar")
        arcwrite("tar", archive, "--method", "tgz", "--paths", "relative", os.path.join(src, "*"))
        gz = archive + ".gz"
        self.assertFalse(os.path.exists(archive))
        # Two headers, the data (a multiple of 512 bytes) and a block for the
        # small file, then zeros to a 10240-byte record, two blocks at least.
        tar_size = LARGE + 3 * 512
        end = -(-tar_size // 10240) * 10240
        if end - tar_size < 1024:
            end += 10240
        with open(gz, "rb") as f:
            f.seek(-4, os.SEEK_END)
            self.assertEqual(int.from_bytes(f.read(4), "little"), end % (1 << 32), "ISIZE")
        # tarfile reads through Python's gzip, which checks CRC and ISIZE at the end.
        with tarfile.open(gz, "r:gz") as t:
            member = t.getmember("big.img")
            self.assertEqual(member.size, LARGE)
            f = t.extractfile(member)
            f.seek(LARGE - len(TAIL))
            self.assertEqual(f.read(), TAIL)
            self.assertEqual(t.extractfile("after.txt").read(),
                             b"a small file after the large one\n")
        for tool in ("tar", "bsdtar"):
            if not have(tool):
                print(tool + " not installed: skipped")
                continue
            listing = run([tool, "-tvzf", gz]).stdout.decode("utf-8", "replace")
            self.assertIn(str(LARGE), listing, tool)
            self.assertIn("after.txt", listing, tool)


if __name__ == "__main__":
    unittest.main()


class ManyEntries(TreeCase):
    """More than 65535 entries: the counts go to the Zip64 end record; the
    readers must find every entry, also after an update adds one. Cheap, so
    it runs even with VIX_INTEROP_LARGE=0."""

    COUNT = 65540

    def test_zip_of_more_than_65535_entries_and_its_update(self):
        src = self.path("many")
        os.makedirs(src)
        for i in range(self.COUNT):
            open(os.path.join(src, "%05d" % i), "wb").close()
        with open(os.path.join(src, "last.txt"), "wb") as f:
            f.write(b"the last of many\n")
        archive = self.path("many.zip")
        arcwrite("zip", archive, os.path.join(src, "*"))
        extra = self.path("extra.txt")
        with open(extra, "wb") as f:
            f.write(b"added by an update\n")
        arcwrite("zip", archive, extra)
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(len(z.infolist()), self.COUNT + 2)
            self.assertIsNone(z.testzip())
            self.assertEqual(z.read("extra.txt"), b"added by an update\n")
        if have("unzip"):
            run(["unzip", "-tqq", archive])
        if have("7z"):
            out = run(["7z", "t", archive]).stdout.decode("utf-8", "replace")
            self.assertIn("Files: %d" % (self.COUNT + 2), out)
