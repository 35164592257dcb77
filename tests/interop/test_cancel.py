"""A run stopped by SIGINT or SIGTERM (no terminal: the signal is sent to
arcwrite itself) ends with status 130 (143), leaves no temporary file and
leaves an existing archive byte for byte as it was."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from interop import ARCWRITE, random_bytes

BIG = 200 * 1024 * 1024

CASES = [
    ("zip", "out.zip", ["--method", "deflate"]),
    ("zip", "out.zip", ["--method", "store"]),
    ("lzh", "out.lzh", ["--method", "lh5"]),
    ("tar", "out.tar", ["--method", "tar"]),
    ("cab", "out.cab", ["--method", "mszip"]),
    # Stopped while its TAR data is being compressed: the archive is out.tgz.gz.
    ("tar", "out.tgz", ["--method", "tgz"]),
]


def is_tgz(options):
    return "tgz" in options


def in_gzip_phase(name):
    with open(name, "rb") as f:
        return f.read(2) == b"\x1f\x8b"


def kvt_files(*folders):
    return sorted(os.path.join(f, n) for f in folders for n in os.listdir(f) if n.startswith("kvt"))


class CancelBySignal(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = cls.tmp.name
        os.makedirs(os.path.join(cls.root, "src"))
        with open(os.path.join(cls.root, "src", "small.txt"), "wb") as f:
            f.write(b"small file\n")
        # Random data: no engine gets through it before the signal comes.
        chunk = random_bytes(1 << 20, 7)
        with open(os.path.join(cls.root, "src", "big.bin"), "wb") as f:
            for i in range(BIG >> 20):
                f.write(chunk[i:] + chunk[:i])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def run_and_stop(self, fmt, archive, options, sig):
        temp = tempfile.mkdtemp(dir=self.root)
        out = os.path.join(self.root, archive)
        tgz = is_tgz(options)
        result = out + ".gz" if tgz else out
        for name in (out, result):
            if os.path.exists(name):
                os.remove(name)
        env = dict(os.environ, TMPDIR=temp)
        small = os.path.join(self.root, "src", "small.txt")
        subprocess.run([ARCWRITE, fmt, out] + (options if tgz else []) + [small], check=True,
                       env=env, capture_output=True)
        with open(result, "rb") as f:
            before = f.read()
        proc = subprocess.Popen([ARCWRITE, fmt, out] + options + [os.path.join(self.root, "src", "*")],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        # Wait until the run is writing (its temporary file grows).
        deadline = time.time() + 60
        while time.time() < deadline and proc.poll() is None:
            names = kvt_files(temp, self.root)
            try:
                if any(os.path.getsize(n) > (1 << 20) and (not tgz or in_gzip_phase(n))
                       for n in names):
                    break
            except OSError:
                pass  # a file that went between the listing and the look
            time.sleep(0.005)
        self.assertIsNone(proc.poll(), "the run ended before it could be stopped")
        proc.send_signal(sig)
        stdout, stderr = proc.communicate(timeout=60)
        with open(result, "rb") as f:
            after = f.read()
        if tgz:
            self.assertFalse(os.path.exists(out), "the TAR data was left under the archive's name")
        return proc.returncode, before, after, kvt_files(temp, self.root), stdout + stderr

    def test_sigint_cancels_cleanly(self):
        for fmt, archive, options in CASES:
            with self.subTest(fmt=fmt, options=options):
                code, before, after, left, output = self.run_and_stop(fmt, archive, options,
                                                                      signal.SIGINT)
                self.assertEqual(code, 130, output)
                self.assertEqual(left, [])
                self.assertEqual(after, before)

    def test_sigterm_cancels_cleanly(self):
        code, before, after, left, output = self.run_and_stop("zip", "out.zip",
                                                              ["--method", "deflate"],
                                                              signal.SIGTERM)
        self.assertEqual(code, 128 + signal.SIGTERM, output)
        self.assertEqual(left, [])
        self.assertEqual(after, before)

    def test_a_later_run_removes_what_a_killed_run_left(self):
        temp = tempfile.mkdtemp(dir=self.root)
        env = dict(os.environ, TMPDIR=temp)
        out = os.path.join(self.root, "killed.zip")
        proc = subprocess.Popen([ARCWRITE, "zip", out, "--method", "deflate",
                                 os.path.join(self.root, "src", "*")], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline and not kvt_files(temp):
            time.sleep(0.005)
        proc.kill()
        proc.wait()
        left = kvt_files(temp)
        self.assertEqual(len(left), 1)
        # Young files may belong to a run that is just starting; make it old.
        old = time.time() - 120
        os.utime(left[0], (old, old))
        subprocess.run([ARCWRITE, "zip", out, os.path.join(self.root, "src", "small.txt")],
                       check=True, env=env, capture_output=True)
        self.assertEqual(kvt_files(temp), [])


if __name__ == "__main__":
    unittest.main()
