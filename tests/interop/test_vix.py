"""vix end to end: every format and method on a real tree, read back by
independent readers; the settings file; exit codes and messages; a cancel
by SIGINT without a terminal.

    VIX=build/src/vix python3 -m unittest tests/interop/test_vix.py
"""

import os
import signal
import stat
import subprocess
import sys
import tarfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from interop import REPO, TreeCase, have, make_tree, require, run, text_bytes, tree_files  # noqa: E402

VIX = os.environ.get("VIX", os.path.join(REPO, "build", "src", "vix"))

METHODS = {
    "lzh": ["store", "lh5", "lh6"],
    "zip": ["store", "fast", "normal", "max"],
    "cab": ["store", "mszip", "lzx"],
    "tar": ["tar"],
    "tgz": ["tgz"],
}
EXT = {"lzh": ".lzh", "zip": ".zip", "cab": ".cab", "tar": ".tar", "tgz": ".tgz"}


class VixCase(TreeCase):
    def setUp(self):
        if not os.path.exists(VIX):
            self.skipTest("vix not built: " + VIX)
        super().setUp()
        self.env = dict(os.environ)
        self.env["XDG_CONFIG_HOME"] = self.path("config")
        self.env["LANG"] = "C.UTF-8"
        self.env.pop("LC_ALL", None)
        self.env.pop("LC_MESSAGES", None)
        self.env["TMPDIR"] = self.fresh_dir("tmp")

    def vix(self, *args, cwd=None, env=None):
        e = dict(self.env)
        e.update(env or {})
        proc = subprocess.run([VIX] + list(args), cwd=cwd or self.tmp, capture_output=True,
                              env=e, stdin=subprocess.DEVNULL, timeout=600)
        return proc.returncode, proc.stderr.decode("utf-8", "replace")

    def extract(self, kind, archive, out, password=None):
        """Extracts with a reader that is not ours."""
        os.makedirs(out, exist_ok=True)
        if kind == "zip":
            run(["unzip", "-t"] + (["-P", password] if password else []) + [archive])
            with zipfile.ZipFile(archive) as z:
                z.extractall(out, pwd=password.encode() if password else None)
        elif kind == "lzh":
            run(["lhasa", "t", archive])
            run(["lhasa", "xq", os.path.abspath(archive)], cwd=out)
        elif kind == "cab":
            run(["cabextract", "-q", "-d", out, archive])
        elif kind in ("tar", "tgz"):
            if kind == "tgz":
                run(["gzip", "-t", archive])
            run(["tar", "-xf", archive, "-C", out])
        return tree_files(out)[0]


class FormatsTest(VixCase):
    def test_every_format_and_method_reads_back(self):
        require(self, "unzip", "lhasa", "cabextract", "tar", "gzip")
        work = self.fresh_dir("w")
        src = make_tree(work, japanese=False, long_names=False, big=False)
        expected = {"src/" + k: v for k, v in tree_files(src)[0].items()}
        for kind, methods in METHODS.items():
            for method in methods:
                with self.subTest(kind=kind, method=method):
                    name = os.path.join(work, "%s-%s" % (kind, method))
                    rc, err = self.vix("-q", "-t", kind, "-m", method, "-o", name, src)
                    archive = name + EXT[kind]
                    self.assertEqual(rc, 0, err)
                    self.assertTrue(os.path.exists(archive), os.listdir(work))
                    got = self.extract(kind, archive, self.path("x", kind + method))
                    self.assertTreeEqual(expected, got, msg=kind + " " + method)
        self.assertFalse([n for n in os.listdir(work) if n.endswith(".gz") or "~vix" in n])

    def test_verify_switch_checks_every_format_and_an_update(self):
        require(self, "unzip", "lhasa", "cabextract", "tar")
        work = self.fresh_dir("w")
        src = make_tree(work, japanese=False, long_names=False, big=False)
        for kind, method, switch in (("zip", "normal", "-T"), ("lzh", "lh5", "--verify"),
                                     ("cab", "lzx", "-T"), ("tar", "tar", "--verify")):
            with self.subTest(kind=kind):
                name = os.path.join(work, "v-" + kind)
                # The second run updates with one more file (a cabinet is
                # written anew).
                for run_number in range(2):
                    if run_number:
                        with open(os.path.join(src, "added-" + kind), "wb") as f:
                            f.write(text_bytes(5000, 3))
                    rc, err = self.vix("-q", switch, "-t", kind, "-m", method, "-o", name, src)
                    self.assertEqual(rc, 0, err)
                    self.assertEqual(err, "")
                expected = {"src/" + k: v for k, v in tree_files(src)[0].items()}
                got = self.extract(kind, name + EXT[kind], self.path("xv", kind))
                self.assertTreeEqual(expected, got, msg=kind)
        self.assertFalse([n for n in os.listdir(work) if n.startswith("kvt")])

    def test_default_name_and_place_follow_the_first_item(self):
        require(self, "lhasa")
        work = self.fresh_dir("w")
        with open(os.path.join(work, "report.txt"), "wb") as f:
            f.write(text_bytes(3000, 1))
        with open(os.path.join(work, "b.doc"), "wb") as f:
            f.write(b"doc")
        rc, err = self.vix("-q", os.path.join(work, "report.txt"), os.path.join(work, "b.doc"))
        self.assertEqual(rc, 0, err)
        archive = os.path.join(work, "report.lzh")
        got = self.extract("lzh", archive, self.path("x"))
        self.assertEqual(sorted(got), ["b.doc", "report.txt"])
        with open(archive, "rb") as f:
            data = f.read()
        self.assertEqual(data[-1:], b"\0")

    def test_zip_password(self):
        require(self, "unzip", "7z")
        work = self.fresh_dir("w")
        src = make_tree(work, japanese=False, long_names=False, big=False)
        rc, err = self.vix("-q", "-P", "s3cret", "-o", os.path.join(work, "p.zip"), src)
        self.assertEqual(rc, 0, err)
        got = self.extract("zip", os.path.join(work, "p.zip"), self.path("x"), "s3cret")
        self.assertEqual(len(got), len(tree_files(src)[0]))
        run(["7z", "t", "-ps3cret", os.path.join(work, "p.zip")])
        self.assertNotEqual(run(["unzip", "-t", "-P", "wrong", os.path.join(work, "p.zip")],
                                check=False).returncode, 0)

    def test_password_asked_and_relative_names(self):
        require(self, "unzip")
        work = self.fresh_dir("w")
        make_tree(work, japanese=False, long_names=False, big=False)
        proc = subprocess.run([VIX, "-q", "-e", "-t", "zip", "src"], cwd=work, env=self.env,
                              input=b"typed pw\n", capture_output=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        archive = os.path.join(work, "src.zip")  # beside the relative name, not in /
        run(["unzip", "-t", "-P", "typed pw", archive])
        with zipfile.ZipFile(archive) as z:
            self.assertTrue(all(i.flag_bits & 1 for i in z.infolist() if i.file_size))
            self.assertTrue(all(n.startswith("src/") for n in z.namelist()))

    def test_list_file(self):
        require(self, "unzip")
        work = self.fresh_dir("w")
        for n in ("a.txt", "日本語.txt"):
            with open(os.path.join(work, n), "wb") as f:
                f.write(n.encode())
        listfile = os.path.join(work, "__000000.TMP")
        with open(listfile, "wb") as f:
            f.write(b"\xef\xbb\xbf" + os.path.join(work, "a.txt").encode() + b"\r\n" +
                    os.path.join(work, "日本語.txt").encode() + b"\r\n")
        rc, err = self.vix("-q", "-t", "zip", "ignored", "/SE", listfile)
        self.assertEqual(rc, 0, err)
        self.assertFalse(os.path.exists(listfile))
        with zipfile.ZipFile(os.path.join(work, "a.zip")) as z:
            # Names the OEM code page (932) holds are stored in it, unmarked.
            names = [i.filename if i.flag_bits & 0x800 else
                     i.filename.encode("cp437").decode("cp932") for i in z.infolist()]
        self.assertEqual(sorted(names), ["a.txt", "日本語.txt"])


class SettingsAndExitTest(VixCase):
    def test_settings_give_the_defaults_and_are_saved_only_when_asked(self):
        work = self.fresh_dir("w")
        src = make_tree(work, japanese=False, long_names=False, big=False)
        ini = os.path.join(self.path("config"), "pelmoran-vix", "PLM_VIX.INI")
        os.makedirs(os.path.dirname(ini))
        with open(ini, "wb") as f:
            f.write(b"[Common]\r\nActivePage=0x1\r\n[ZIP]\r\nDeflateType=0\r\n")
        rc, err = self.vix("-q", src)
        self.assertEqual(rc, 0, err)
        with zipfile.ZipFile(os.path.join(work, "src.zip")) as z:
            self.assertTrue(all(i.compress_type == zipfile.ZIP_STORED for i in z.infolist()))
        with open(ini, "rb") as f:
            self.assertIn(b"0x1", f.read())  # read only
        rc, err = self.vix("-q", "-t", "cab", "--save-settings", src)
        self.assertEqual(rc, 0, err)
        with open(ini, "rb") as f:
            text = f.read()
        self.assertIn(b"ActivePage=2\r\n", text)
        self.assertIn(b"DeflateType=0\r\n", text)

    def test_exit_codes_and_messages(self):
        work = self.fresh_dir("w")
        src = make_tree(work, japanese=False, long_names=False, big=False)
        self.assertEqual(self.vix("--bogus", src)[0], 2)
        self.assertEqual(self.vix("-t", "zip", "-m", "lh5", src)[0], 2)
        self.assertEqual(self.vix("-t", "cab", "-P", "x", src)[0], 2)
        self.assertEqual(self.vix()[0], 2)
        self.assertEqual(self.vix("/SE")[0], 2)
        rc, err = self.vix("/SE", os.path.join(work, "missing.TMP"))
        self.assertEqual(rc, 1, err)
        rc, err = self.vix("-q", "-o", os.path.join(work, "m.zip"), os.path.join(work, "nothere"))
        self.assertEqual(rc, 1)
        self.assertIn("nothere: no such file or folder", err)
        self.assertFalse(os.path.exists(os.path.join(work, "m.zip")))
        rc, err = self.vix("-q", "-o", os.path.join(work, "m.zip"), src,
                           os.path.join(work, "nothere"), env={"LANG": "ja_JP.UTF-8"})
        self.assertEqual(rc, 1)
        self.assertIn("ファイルまたはフォルダがありません", err)
        self.assertEqual(self.vix("-q", "-t", "zip", src)[0], 0)
        rc, err = self.vix("-q", "-t", "zip", src)  # nothing changed: nothing written
        self.assertEqual(rc, 1)
        self.assertIn("nothing was written", err)

    def test_read_only_archive_is_reported_in_plain_words(self):
        work = self.fresh_dir("w")
        src = make_tree(work, japanese=False, long_names=False, big=False)
        self.assertEqual(self.vix("-q", "-t", "zip", src)[0], 0)
        archive = os.path.join(work, "src.zip")
        with open(os.path.join(src, "readme.txt"), "ab") as f:
            f.write(b"more")
        os.chmod(archive, stat.S_IRUSR | stat.S_IRGRP)
        with open(archive, "rb") as f:
            before = f.read()
        rc, err = self.vix("-q", "-t", "zip", src)
        self.assertEqual(rc, 1)
        self.assertIn("the archive is read-only", err)
        self.assertNotIn("OnNonWriteableArchive", err)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before)


class NameCheckTest(VixCase):
    """Names an archive cannot hold as they are (code page 932 lacks Korean):
    listed one a line before writing; the run goes on, or with --strict
    stops with exit 1 and writes nothing."""

    def tree(self):
        work = self.fresh_dir("w")
        src = os.path.join(work, "src")
        os.makedirs(src)
        for name in ("a.txt", "日本.txt", "한국.txt"):
            with open(os.path.join(src, name), "wb") as f:
                f.write(name.encode())
        return work, src

    def test_names_are_listed_and_strict_stops(self):
        require(self, "unzip")
        work, src = self.tree()
        archive = os.path.join(work, "n.zip")
        rc, err = self.vix("-q", "-o", archive, src)
        self.assertEqual(rc, 0, err)
        self.assertEqual(err.splitlines(), ["vix: src/한국.txt: stored in UTF-8"])
        with zipfile.ZipFile(archive) as z:
            utf8 = [i.filename for i in z.infolist() if i.flag_bits & 0x800]
        self.assertEqual(utf8, ["src/한국.txt"])
        with open(archive, "rb") as f:
            before = f.read()

        with open(os.path.join(src, "한국.txt"), "ab") as f:
            f.write(b" changed")
        rc, err = self.vix("-q", "--strict", "-o", archive, src, env={"LANG": "ja_JP.UTF-8"})
        self.assertEqual(rc, 1, err)
        self.assertEqual(err.splitlines(), [
            "vix: src/한국.txt: UTF-8 で格納します",
            "vix: 書き込む前に中止しました (--strict): 何も書き込まれていません"])
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before)

        # LZH leaves the file out: listed first, then reported as before.
        lzh = os.path.join(work, "n.lzh")
        rc, err = self.vix("-q", "--strict", "-o", lzh, src)
        self.assertEqual(rc, 1, err)
        self.assertIn("vix: src/한국.txt: left out: code page 932 cannot hold the name", err)
        self.assertNotIn("error", err)
        self.assertFalse(os.path.exists(lzh))
        rc, err = self.vix("-q", "-T", "-o", lzh, src)
        self.assertEqual(rc, 1, err)
        lines = err.splitlines()
        self.assertEqual(len(lines), 2, err)
        self.assertTrue(lines[0].startswith("vix: src/한국.txt: left out"), err)
        self.assertIn("error while processing", lines[1])
        self.assertTrue(os.path.exists(lzh))
        self.assertEqual(sorted(os.listdir(work)), ["n.lzh", "n.zip", "src"])


class CancelTest(VixCase):
    def big_tree(self):
        work = self.fresh_dir("w")
        src = os.path.join(work, "src")
        os.makedirs(src)
        block = text_bytes(1 << 20, 9)
        for i in range(48):
            with open(os.path.join(src, "part%02d.txt" % i), "wb") as f:
                f.write(block[i:] + block[:i])
        return work, src

    def interrupt(self, args):
        """Starts vix without a terminal, waits until its work file exists,
        sends SIGINT and returns (exit code, stderr)."""
        proc = subprocess.Popen([VIX] + args, cwd=self.tmp, env=self.env,
                                stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        tmp = self.env["TMPDIR"]
        deadline = time.time() + 60
        while time.time() < deadline and proc.poll() is None:
            if any(n.startswith("kvt") for n in os.listdir(tmp)):
                break
            time.sleep(0.01)
        time.sleep(0.2)
        self.assertIsNone(proc.poll(), "finished before it could be interrupted")
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
        return proc.returncode, err.decode("utf-8", "replace")

    def test_cancel_keeps_the_old_archive_and_makes_no_new_one(self):
        work, src = self.big_tree()
        archive = os.path.join(work, "old.zip")
        rc, err = self.vix("-q", "-t", "zip", "-m", "store", "-o", archive,
                           os.path.join(src, "part00.txt"))
        self.assertEqual(rc, 0, err)
        with open(archive, "rb") as f:
            before = f.read()
        rc, err = self.interrupt(["-q", "-m", "max", "-o", archive, src])
        self.assertEqual(rc, 130, err)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before)
        fresh = os.path.join(work, "fresh.lzh")
        rc, err = self.interrupt(["-q", "-m", "lh6", "-o", fresh, src])
        self.assertEqual(rc, 130, err)
        self.assertFalse(os.path.exists(fresh))
        self.assertEqual(os.listdir(self.env["TMPDIR"]), [])
        self.assertEqual(sorted(os.listdir(work)), ["old.zip", "src"])

    def test_on_a_terminal_ctrl_c_asks_and_a_second_one_cancels(self):
        import pty
        work, src = self.big_tree()
        archive = os.path.join(work, "t.lzh")
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.tmp)
            os.execve(VIX, [VIX, "-m", "lh6", "-o", archive, src], self.env)
        out = b""

        def read_until(token, start=0, seconds=60):
            nonlocal out
            end = time.time() + seconds
            while token not in out[start:] and time.time() < end:
                try:
                    out += os.read(fd, 4096)
                except OSError:
                    break
            return token in out[start:]

        self.assertTrue(read_until(b"%"), out)  # the progress bar is drawn
        os.kill(pid, signal.SIGINT)
        self.assertTrue(read_until(b"[y/N]"), out)
        os.write(fd, b"n\n")  # No: the job goes on
        mark = len(out)
        self.assertTrue(read_until(b"%", mark), out[mark:])
        mark = len(out)
        os.kill(pid, signal.SIGINT)
        self.assertTrue(read_until(b"[y/N]", mark), out[mark:])
        os.kill(pid, signal.SIGINT)  # a second Ctrl-C while asked: cancel
        read_until(b"cancelled")
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 130, out)
        self.assertFalse(os.path.exists(archive))


if __name__ == "__main__":
    unittest.main()
