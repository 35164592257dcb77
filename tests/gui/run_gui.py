#!/usr/bin/env python3
"""The Windows program's tests: PLM_VIX.exe under Wine on a private Xvfb
screen, worked by tests/gui/gui_driver.exe inside one Wine virtual desktop,
the archives checked by independent readers (unzip, 7z, lhasa, cabextract,
tar) and by Python's zipfile/tarfile.

  tests/gui/run_gui.py [--build build-win] [--shots DIR]

Environment as scripts/test sets it (WINEPREFIX inside the build tree). Exit
status 0 when every case passed, 77 when Xvfb is missing (skipped)."""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import xwd2png  # noqa: E402


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def zip_names(z):
    """Member names as a reader shows them: UTF-8 when flagged, the OEM code
    page (932) otherwise."""
    names = []
    for info in z.infolist():
        name = info.filename
        if not info.flag_bits & 0x800:
            name = name.encode("cp437").decode("cp932")
        names.append(name)
    return names


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Screen:
    """A private Xvfb display and the screenshots the driver asks for."""

    def __init__(self):
        self.proc = None
        for n in range(90, 140):
            if os.path.exists("/tmp/.X%d-lock" % n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            time.sleep(1.0)
            if proc.poll() is None:
                self.proc, self.display = proc, ":%d" % n
                return
        raise SystemExit("gui: no free X display")

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()


class ShotServer(threading.Thread):
    """Answers the driver's NAME.req files with a PNG of the window."""

    def __init__(self, folder, out, display):
        super().__init__(daemon=True)
        self.folder, self.out, self.display = folder, out, display
        self.stop = False
        self.taken = []

    def run(self):
        while not self.stop:
            for name in os.listdir(self.folder):
                if not name.endswith(".req"):
                    continue
                req = os.path.join(self.folder, name)
                with open(req) as f:
                    box = [int(v) for v in f.read().split()]
                base = name[:-4]
                dump = os.path.join(self.folder, base + ".xwd")
                subprocess.run(["xwd", "-root", "-silent", "-display", self.display, "-out", dump],
                               check=False)
                png = os.path.join(self.out, base + ".png")
                xwd2png.convert(dump, png, box)
                os.remove(dump)
                os.remove(req)
                open(os.path.join(self.folder, base + ".done"), "w").close()
                self.taken.append(png)
            time.sleep(0.1)


class Runner:
    def __init__(self, build, shots):
        self.build = os.path.abspath(build)
        self.exe = os.path.join(self.build, "src", "PLM_VIX.exe")
        self.driver = os.path.join(self.build, "tests", "gui_driver.exe")
        self.work = tempfile.mkdtemp(prefix="gui-", dir=self.build)
        self.shots = shots
        self.passed, self.failed = [], []
        self.run_no = 0

    # --- running the program ------------------------------------------------

    def program(self, settings=None):
        """A fresh copy of the program in its own folder, with its own
        settings file (named after the program, beside it)."""
        self.run_no += 1
        folder = os.path.join(self.work, "run%02d" % self.run_no)
        os.makedirs(folder)
        exe = os.path.join(folder, "PLM_VIX.exe")
        shutil.copyfile(self.exe, exe)
        if settings:
            with open(os.path.join(folder, "PLM_VIX.INI"), "w", newline="\r\n") as f:
                f.write(settings)
        return exe

    def drive(self, exe, options, args=None, shots=False):
        cmd = ["wine", "explorer", "/desktop=vix,1024x768", winpath(self.driver)]
        cmd += options
        if shots and self.shots:
            cmd += ["--shots", winpath(self.shot_dir)]
        cmd.append(winpath(exe))
        if args is not None:
            cmd += ["--"] + args
        try:
            result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    timeout=150)
            out = result.stdout.decode("utf-8", "replace")
        except subprocess.TimeoutExpired as e:
            out = (e.stdout or b"").decode("utf-8", "replace") + "\nFAIL timeout"
        lines = [l for l in out.splitlines() if l.strip()]
        if not lines or lines[-1] != "PASS":
            raise AssertionError("driver: " + " | ".join(lines[-6:]))
        return lines

    def settings(self, exe):
        ini = os.path.join(os.path.dirname(exe), "PLM_VIX.INI")
        values, section = {}, ""
        with open(ini, encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines():
                line = line.strip().lstrip("\ufeff")
                if line.startswith("["):
                    section = line.strip("[]")
                elif "=" in line:
                    k, v = line.split("=", 1)
                    values[section + "." + k] = v
        return values

    def case(self, name, fn):
        start = time.time()
        try:
            fn()
            self.passed.append(name)
            print("  ok   %-48s %4.1fs" % (name, time.time() - start), flush=True)
        except Exception as e:  # noqa: BLE001 - every failure is reported
            self.failed.append(name)
            print("  FAIL %-48s %s" % (name, e), flush=True)

    # --- inputs ---------------------------------------------------------------

    def make_inputs(self):
        src = os.path.join(self.work, "src")
        os.makedirs(os.path.join(src, "sub"))
        rnd = random.Random(16)
        self.files = {
            "readme.txt": b"Pelmoran Vix\r\n" * 200,
            "data.bin": bytes(rnd.getrandbits(8) for _ in range(50000)),
            "日本語.txt": "日本語の本文\n".encode("utf-8") * 300,
            "sub/inner.txt": b"inner " * 1000,
        }
        for rel, data in self.files.items():
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
        self.src = src

    # --- checks by independent readers ----------------------------------------

    def extract(self, archive, kind, password=None):
        dest = tempfile.mkdtemp(prefix="x-", dir=self.work)
        if kind == "zip":
            subprocess.run(["unzip", "-tqq"] + (["-P", password] if password else []) + [archive],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["7z", "x", "-y", "-o" + dest] + (["-p" + password] if password else [])
                           + [archive], check=True, stdout=subprocess.DEVNULL)
        elif kind == "lzh":
            subprocess.run(["lhasa", "-xqw=" + dest, archive], check=True,
                           stdout=subprocess.DEVNULL)
        elif kind == "cab":
            subprocess.run(["cabextract", "-q", "-d", dest, archive], check=True,
                           stdout=subprocess.DEVNULL)
        elif kind in ("tar", "tgz"):
            subprocess.run(["tar", "-x" + ("z" if kind == "tgz" else "") + "f", archive, "-C",
                            dest], check=True)
        return dest

    @staticmethod
    def extracted(dest):
        """The extracted files by name: stored names in the OEM code page
        (932) or UTF-8 are decoded, and a "\\" kept in a name counts as a
        folder delimiter."""
        found = {}
        for folder, _, names in os.walk(os.fsencode(dest)):
            for name in names:
                path = os.path.join(folder, name)
                raw = os.path.relpath(path, os.fsencode(dest))
                try:
                    rel = raw.decode("utf-8")
                except UnicodeDecodeError:
                    rel = raw.decode("cp932")
                with open(path, "rb") as f:
                    found[rel.replace("\\", "/")] = f.read()
        return found

    def check_tree(self, dest, prefix, files=None):
        files = files or self.files
        want = {(prefix + "/" if prefix else "") + rel: data for rel, data in files.items()}
        got = self.extracted(dest)
        if got != want:
            raise AssertionError("extracted %s, expected %s" % (sorted(got), sorted(want)))

    # --- the cases ---------------------------------------------------------------

    def pages_and_methods(self):
        # page, method, path mode, the extension, the reader.
        runs = [(0, 0, 0, ".lzh", "lzh"), (0, 1, 0, ".lzh", "lzh"), (0, 2, 2, ".lzh", "lzh"),
                (1, 0, 0, ".zip", "zip"), (1, 1, 1, ".zip", "zip"), (1, 2, 0, ".zip", "zip"),
                (1, 3, 0, ".zip", "zip"), (2, 0, 0, ".cab", "cab"), (2, 1, 0, ".cab", "cab"),
                (2, 2, 0, ".cab", "cab"), (3, 0, 0, ".tar", "tar"), (3, 1, 0, ".tgz", "tgz")]
        keys = {0: "LZH.CompressMethod", 1: "ZIP.DeflateType", 2: "CAB.CompressType"}
        shot_pages = set()
        for page, method, paths, ext, kind in runs:
            def run(page=page, method=method, paths=paths, ext=ext, kind=kind):
                out = os.path.join(self.work, "out-%d-%d" % (page, method))
                os.makedirs(out)
                # The TAR page has no tab: the settings file restores it.
                exe = self.program("[Common]\nActivePage=3\n" if page == 3 else None)
                options = ["--expect-name", "src", "--method", str(method), "--paths", str(paths),
                           "--name", winpath(os.path.join(out, "a"))]
                # The first LZH run ticks the verify box (and its screenshot shows it).
                verify = page == 0 and method == 0
                options += ["--verify"] if verify else []
                options += ["--expect-page", "3"] if page == 3 else ["--page", str(page)]
                self.drive(exe, options, [winpath(self.src)], shots=page not in shot_pages)
                shot_pages.add(page)
                archive = os.path.join(out, "a" + ext)
                if not os.path.exists(archive):
                    raise AssertionError("no archive %s (%s)" % (archive, os.listdir(out)))
                dest = self.extract(archive, kind)
                if paths == 2:  # no path names: the files alone
                    flat = {r.split("/")[-1]: d for r, d in self.files.items()}
                    self.check_tree(dest, "", flat)
                elif paths == 1:  # absolute without drive
                    self.check_tree(dest, self.src.lstrip("/"))
                else:
                    self.check_tree(dest, "src")
                s = self.settings(exe)
                if s.get("Common.ActivePage") != str(page) or \
                        s.get("Common.StoredDirNames") != str(paths) or \
                        s.get("Common.Verify") != ("1" if verify else "0") or \
                        (page in keys and s.get(keys[page]) != str(method)):
                    raise AssertionError("settings file holds %s" % s)
            names = ["LZH", "ZIP", "CAB", "TAR"]
            self.case("%s method %d (paths %d), read by %s" % (names[page], method, paths, kind),
                      run)

    def zip_password(self):
        out = os.path.join(self.work, "out-pw")
        os.makedirs(out)
        exe = self.program()
        self.drive(exe, ["--page", "1", "--method", "2", "--password", "秘密pw",
                         "--name", winpath(os.path.join(out, "secret"))], [winpath(self.src)])
        archive = os.path.join(out, "secret.zip")
        with zipfile.ZipFile(archive) as z:
            if not all(i.flag_bits & 1 for i in z.infolist() if not i.is_dir()):
                raise AssertionError("not encrypted")
        self.check_tree(self.extract(archive, "zip", "秘密pw"), "src")

    def list_files(self):
        names = [os.path.join(self.src, "readme.txt"), os.path.join(self.src, "日本語.txt")]
        for label, encoding, bom in (("UTF-8 BOM", "utf-8", b"\xef\xbb\xbf"),
                                     ("cp932", "cp932", b"")):
            def run(encoding=encoding, bom=bom, label=label):
                tmp = os.path.join(self.work, "__%06d.TMP" % (1 if bom else 2))
                with open(tmp, "wb") as f:
                    f.write(bom + "\r\n".join(winpath(n) for n in names).encode(encoding) + b"\r\n")
                out = os.path.join(self.work, "out-list-" + encoding)
                os.makedirs(out)
                exe = self.program()
                self.drive(exe, ["--page", "1", "--expect-name", "readme",
                                 "--name", winpath(os.path.join(out, "list"))],
                           [winpath(os.path.join(self.src, "dropped-before.txt")), "/SE",
                            winpath(tmp)])
                if os.path.exists(tmp):
                    raise AssertionError("the list file was not deleted")
                with zipfile.ZipFile(os.path.join(out, "list.zip")) as z:
                    got = sorted(zip_names(z))
                if got != sorted(["readme.txt", "日本語.txt"]):
                    raise AssertionError("archive holds %s" % got)
            self.case("/SE list file (%s) read and deleted" % label, run)

        def bad():
            exe = self.program()
            self.drive(exe, ["--expect-quit"], ["/SE"])
            if not os.path.exists(os.path.join(os.path.dirname(exe), "PLM_VIX.INI")):
                raise AssertionError("settings not written")
        self.case("/SE alone ends the run without a window", bad)

    def chooser(self):
        """The archive-file chooser: a name confirmed there is the archive."""
        out = os.path.join(self.work, "out-open")
        os.makedirs(out)
        exe = self.program()
        self.drive(exe, ["--page", "1", "--open", winpath(os.path.join(out, "chosen.zip"))],
                   [winpath(os.path.join(self.src, "readme.txt"))])
        with zipfile.ZipFile(os.path.join(out, "chosen.zip")) as z:
            if z.namelist() != ["readme.txt"]:
                raise AssertionError("archive holds %s" % z.namelist())

    def fatal(self):
        """An archive in a folder that does not exist: the job reports the
        error, the writer's fatal error reaches the top-level handler, which
        shows it in a message box, and the run ends."""
        exe = self.program()
        lines = self.drive(exe, ["--page", "1", "--expect-exit", "1", "--name",
                                 winpath(os.path.join(self.work, "no-such", "folder", "a"))],
                           [winpath(os.path.join(self.src, "readme.txt"))])
        boxes = [l for l in lines if l.startswith("message ")]
        if len(boxes) != 2 or "Error writing to file" not in boxes[-1]:
            raise AssertionError("message boxes: %s" % boxes)
        if self.settings(exe).get("Common.ActivePage") != "1":
            raise AssertionError("settings not saved on the way out")

    def drops(self):
        # A name longer than the 254 characters a fixed buffer keeps, and one
        # the system code page (932) cannot hold.
        deep = os.path.join(self.work, "drop")
        long_dir = os.path.join(deep, "d" * 120, "e" * 120)
        os.makedirs(long_dir)
        long_file = os.path.join(long_dir, "long-name-file.txt")
        wide_file = os.path.join(deep, "한국어-ñ.txt")
        plain = os.path.join(deep, "first.txt")
        for path, data in ((plain, b"first"), (long_file, b"long" * 99), (wide_file, b"wide" * 77)):
            with open(path, "wb") as f:
                f.write(data)
        if len(winpath(long_file)) <= 254:
            raise AssertionError("the long name is too short for the case")

        def run():
            out = os.path.join(self.work, "out-drop")
            os.makedirs(out)
            exe = self.program()
            self.drive(exe, ["--drop", winpath(plain), "--drop", winpath(long_file),
                             "--drop", winpath(wide_file), "--expect-name", "first",
                             "--page", "1", "--paths", "2", "--names", "yes",
                             "--expect-named", "한국어-ñ.txt: UTF-8 で格納します",
                             "--name", winpath(os.path.join(out, "dropped"))], shots=True)
            with zipfile.ZipFile(os.path.join(out, "dropped.zip")) as z:
                got = {n: z.read(i) for n, i in zip(zip_names(z), z.infolist())}
            want = {"first.txt": b"first", "long-name-file.txt": b"long" * 99,
                    "한국어-ñ.txt": b"wide" * 77}
            if got != want:
                raise AssertionError("archive holds %s" % sorted(got))
            s = self.settings(exe)
            if "Common.DragDropFormPosition" not in s:
                raise AssertionError("drop window position not saved")
        self.case("drop: long and non-932 names arrive whole", run)

        def argv():
            out = os.path.join(self.work, "out-argv")
            os.makedirs(out)
            old = os.path.join(out, "argv.zip")
            with zipfile.ZipFile(old, "w") as z:
                z.writestr("old.txt", "an archive the user had\n")
            before = digest(old)
            exe = self.program()
            # The name reaches the job whole: the name question shows it.
            self.drive(exe, ["--page", "1", "--paths", "2", "--expect-name", "한국어-ñ",
                             "--names", "no", "--expect-named", "한국어-ñ.txt: UTF-8 で格納します",
                             "--name", winpath(old)], [winpath(wide_file)])
            if digest(old) != before or os.listdir(out) != ["argv.zip"]:
                raise AssertionError("いいえ changed the folder: %s" % os.listdir(out))
        self.case("command line: a non-932 name reaches the name question; いいえ writes nothing",
                  argv)

        def esc():
            exe = self.program()
            self.drive(exe, ["--esc"], shots=False)
            s = self.settings(exe)
            if "Common.DragDropFormPosition" not in s:
                raise AssertionError("drop window position not saved")
        self.case("drop window: options button stays, Esc ends", esc)

    def cancel(self):
        big = os.path.join(self.work, "big")
        os.makedirs(big)
        rnd = random.Random(7)
        words = [bytes(rnd.choice(b"abcdefghij") for _ in range(rnd.randint(2, 9)))
                 for _ in range(4000)]
        chunk = b" ".join(rnd.choice(words) for _ in range(200000))
        with open(os.path.join(big, "large.txt"), "wb") as f:
            for _ in range(48):
                f.write(chunk)

        def existing():
            out = os.path.join(self.work, "out-cancel-old")
            os.makedirs(out)
            archive = os.path.join(out, "old.zip")
            with zipfile.ZipFile(archive, "w") as z:
                z.writestr("old.txt", "an archive the user had\n")
            before = digest(archive)
            exe = self.program()
            self.drive(exe, ["--page", "1", "--method", "3", "--cancel",
                             "--name", winpath(archive)], [winpath(big)], shots=True)
            if digest(archive) != before:
                raise AssertionError("the old archive changed")
            if os.listdir(out) != ["old.zip"]:
                raise AssertionError("left behind: %s" % os.listdir(out))
        self.case("cancel: No goes on, Yes keeps an old archive whole", existing)

        def new():
            out = os.path.join(self.work, "out-cancel-new")
            os.makedirs(out)
            exe = self.program()
            self.drive(exe, ["--page", "1", "--method", "3", "--cancel",
                             "--name", winpath(os.path.join(out, "new"))], [winpath(big)])
            if os.listdir(out):
                raise AssertionError("left behind: %s" % os.listdir(out))
        self.case("cancel: a new archive is not left", new)


def open_session(runner, shots):
    """A private screen and Wine's environment for the runs; with `shots`, the
    server that turns the driver's screenshots into PNG files there (the
    runner's shot_dir is where the driver writes them)."""
    screen = Screen()
    os.environ["DISPLAY"] = screen.display
    os.environ["LC_ALL"] = "ja_JP.UTF-8"
    os.environ.setdefault("WINEPREFIX", os.path.join(runner.build, "wineprefix"))
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    server = None
    if shots:
        os.makedirs(shots, exist_ok=True)
        runner.shot_dir = os.path.join(runner.work, "shots")
        os.makedirs(runner.shot_dir)
        server = ShotServer(runner.shot_dir, os.path.abspath(shots), screen.display)
        server.start()
    return screen, server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(TOP, "build-win"))
    parser.add_argument("--shots", help="folder for the screenshots (PNG)")
    args = parser.parse_args()
    if not shutil.which("Xvfb"):
        print("gui: SKIPPED, Xvfb is not installed")
        return 77
    runner = Runner(args.build, args.shots)
    screen, server = open_session(runner, args.shots)
    try:
        # One wine server for all runs.
        subprocess.run(["wineserver", "-p"], check=False)
        runner.make_inputs()
        only = os.environ.get("VIX_GUI_ONLY", "")
        for name in ("pages_and_methods", "zip_password", "chooser", "fatal", "list_files", "drops",
                     "cancel"):
            if only and name not in only.split(","):
                continue
            if name == "zip_password":
                runner.case("ZIP password: encrypted, read by unzip and 7z", runner.zip_password)
            elif name == "chooser":
                runner.case("archive-file chooser: its name is the archive", runner.chooser)
            elif name == "fatal":
                runner.case("fatal error: top-level message box, the run ends", runner.fatal)
            else:
                getattr(runner, name)()
    finally:
        if server:
            server.stop = True
        subprocess.run(["wineserver", "-k"], check=False)
        screen.close()
    total = len(runner.passed) + len(runner.failed)
    print("gui: %d of %d cases passed" % (len(runner.passed), total))
    if not runner.failed:
        shutil.rmtree(runner.work, ignore_errors=True)
    return 1 if runner.failed else 0


if __name__ == "__main__":
    sys.exit(main())
