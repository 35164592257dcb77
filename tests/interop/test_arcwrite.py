"""arcwrite's own contract: exit 2 for bad usage, nothing written then; exit 0
and a word on stderr when nothing matched; exit 1 when an error was
reported."""

import os
import subprocess
import unittest

from interop import ARCWRITE, TreeCase, _write, have, run


class ArcwriteUsage(TreeCase):
    def call(self, *args):
        proc = subprocess.run([ARCWRITE] + list(args), cwd=self.tmp, capture_output=True,
                              timeout=60)
        return proc.returncode, proc.stdout.decode("utf-8", "replace"), \
            proc.stderr.decode("utf-8", "replace")

    def test_bad_usage_exits_2_and_writes_nothing(self):
        _write(self.path("a.txt"), b"alpha")
        for args in ([], ["zip"], ["rar", "x.rar", "a.txt"], ["zip", "x.zip", "--bogus", "a.txt"],
                     ["zip", "x.zip", "--method", "lh5", "a.txt"],
                     ["zip", "x.zip", "--deflate", "Q", "a.txt"], ["zip", "x.zip", "--paths"]):
            with self.subTest(args=args):
                code, _, _ = self.call(*args)
                self.assertEqual(code, 2)
                self.assertFalse(os.path.exists(self.path("x.zip")))
                self.assertFalse(os.path.exists(self.path("x.rar")))

    def test_nothing_matched_is_said_but_not_an_error(self):
        code, out, err = self.call("zip", "x.zip", "nothere/*")
        self.assertEqual(code, 0, out)
        self.assertIn("nothing written", err)
        self.assertFalse(os.path.exists(self.path("x.zip")))

    def test_a_reported_error_exits_1(self):
        _write(self.path("a.txt"), b"alpha")
        _write(self.path("x.zip"), b"this is not a zip archive")
        code, out, _ = self.call("zip", "x.zip", "a.txt")
        self.assertEqual(code, 1)
        self.assertRegex(out, r"error 25242: [^:]+: .*x\.zip: ")

    def test_lzh_delete_runs_end_in_a_readable_archive_or_none(self):
        for name in ("a.txt", "b.txt", "c.txt"):
            _write(self.path(name), name.encode() * 100)
        code, out, _ = self.call("lzh", "x.lzh", "a.txt", "b.txt", "c.txt")
        self.assertEqual(code, 0, out)
        code, out, _ = self.call("lzh", "x.lzh", "--switch", "delete", "b.txt")
        self.assertEqual(code, 0, out)
        if have("lhasa"):
            listing = run(["lhasa", "l", self.path("x.lzh")]).stdout
            self.assertIn(b"a.txt", listing)
            self.assertNotIn(b"b.txt", listing)
            run(["lhasa", "t", self.path("x.lzh")])
        # Deleting every entry removes the archive; that is no error.
        code, out, _ = self.call("lzh", "x.lzh", "--switch", "delete", "*.txt")
        self.assertEqual(code, 0, out)
        self.assertFalse(os.path.exists(self.path("x.lzh")))


if __name__ == "__main__":
    unittest.main()
