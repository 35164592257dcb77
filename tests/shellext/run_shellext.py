#!/usr/bin/env python3
"""The context-menu handler's tests: VIXSHEXT.dll loaded by our host program
(tests/shellext/shext_host.cpp) under Wine on a private Xvfb screen, beside a
stand-in PLM_VIX.EXE that records how it was started, then beside the real
PLM_VIX.exe, whose compress dialog tests/gui's driver works.

  tests/shellext/run_shellext.py [--build build-win] [--shots DIR]
  tests/shellext/run_shellext.py --build build-win64 --dll-only   (64-bit, wine64)

The options dialog's cases open it from the drop window with the same driver
and read the registry and the shortcut files back.

Exit status 0 when every case passed, 77 when Xvfb is missing (skipped)."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "gui"))
from run_gui import open_session, winpath, zip_names  # noqa: E402

CLSID = "{3519710A-E0D7-40A6-B068-715E6DB7EF1C}"
MENU_TEXT = "Pelmoran Vix 圧縮"
E_FAIL, E_INVALIDARG = "80004005", "80070057"


class Runner:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.dll = os.path.join(self.build, "src", "VIXSHEXT.dll")
        self.host = os.path.join(self.build, "tests", "shext_host.exe")
        self.standin = os.path.join(self.build, "tests", "shext_standin.exe")
        self.plm = os.path.join(self.build, "src", "PLM_VIX.exe")
        self.driver = os.path.join(self.build, "tests", "gui_driver.exe")
        self.work = tempfile.mkdtemp(prefix="shellext-", dir=self.build)
        self.passed, self.failed = [], []
        self.folders = 0

    def case(self, name, fn):
        start = time.time()
        try:
            fn()
            self.passed.append(name)
            print("  ok   %-56s %4.1fs" % (name, time.time() - start), flush=True)
        except Exception as e:  # noqa: BLE001 - every failure is reported
            self.failed.append(name)
            print("  FAIL %-56s %s" % (name, e), flush=True)

    def folder(self, label):
        """A fresh folder whose name holds a blank."""
        self.folders += 1
        path = os.path.join(self.work, "%s %02d" % (label, self.folders))
        os.makedirs(path)
        return path

    def program_dir(self, main):
        """The DLL beside MAIN (the stand-in, the real program or None)."""
        d = self.folder("prog")
        shutil.copyfile(self.dll, os.path.join(d, "VIXSHEXT.dll"))
        if main:
            shutil.copyfile(main, os.path.join(d, "PLM_VIX.EXE"))
        return d

    def run_host(self, dll_dir, action, args=(), temp=None):
        cmd = ["wine", self.host]
        if temp:
            cmd += ["--temp", winpath(temp)]
        cmd += [winpath(os.path.join(dll_dir, "VIXSHEXT.dll")), action] + list(args)
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=120).stdout.decode("utf-8", "replace")
        facts = {}
        for line in out.splitlines():
            key, _, value = line.partition(" ")
            facts.setdefault(key, []).append(value)
        return facts

    @staticmethod
    def one(facts, key):
        if key not in facts:
            raise AssertionError("host printed no %r: %s" % (key, facts))
        return facts[key][0]

    @staticmethod
    def started(prog, wait=20.0):
        path = os.path.join(prog, "started.txt")
        end = time.time() + wait
        while time.time() < end and not os.path.exists(path):
            time.sleep(0.2)
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        return {"cmdline": [l[8:] for l in lines if l.startswith("cmdline ")][0],
                "args": [l[4:] for l in lines if l.startswith("arg ")]}

    def make_inputs(self):
        src = self.folder("src")
        self.names = []
        for name, data in (("日本語の文書.txt", "日本語\n".encode() * 50),
                           ("with blanks in name.txt", b"blank " * 300),
                           ("한국어 파일.txt", "한국어\n".encode() * 80)):
            path = os.path.join(src, name)
            with open(path, "wb") as f:
                f.write(data)
            self.names.append(path)
        self.win_names = [winpath(n) for n in self.names]

    # --- cases ----------------------------------------------------------------

    def menu(self):
        prog = self.program_dir(self.standin)
        facts = self.run_host(prog, "menu", self.win_names)
        if self.one(facts, "init") != "00000000" or self.one(facts, "query") != "00000001":
            raise AssertionError(facts)
        items = facts["item"]
        want = ["0 1 before", "1 separator", "2 100 " + MENU_TEXT]
        if items != want:
            raise AssertionError("menu %s, want %s" % (items, want))
        if self.one(facts, "other-class") != "80040111":  # CLASS_E_CLASSNOTAVAILABLE
            raise AssertionError(facts)
        if self.one(facts, "unload-end") != "00000000":
            raise AssertionError("an object outlived its release: %s" % facts)

    def invoke(self):
        prog = self.program_dir(self.standin)
        temp = self.folder("temp")
        facts = self.run_host(prog, "invoke", ["0"] + self.win_names, temp)
        if self.one(facts, "invoke") != "00000000" or "messagebox" in facts:
            raise AssertionError(facts)
        run = self.started(prog)
        if run is None:
            raise AssertionError("the program was not started")
        list_file = os.path.join(temp, "__000000.TMP")
        want_args = ["/SE", winpath(list_file)]
        if run["args"] != want_args:
            raise AssertionError("arguments %s, want %s" % (run["args"], want_args))
        want_cmd = '"%s" /SE "%s"' % (winpath(os.path.join(prog, "PLM_VIX.EXE")),
                                      winpath(list_file))
        if run["cmdline"] != want_cmd:
            raise AssertionError("command line %r, want %r" % (run["cmdline"], want_cmd))
        with open(list_file, "rb") as f:
            data = f.read()
        want = b"\xef\xbb\xbf" + b"".join(n.encode("utf-8") + b"\r\n" for n in self.win_names)
        if data != want:
            raise AssertionError("list file %r, want %r" % (data, want))
        self.list_copy = os.path.join(self.work, "list-from-handler.TMP")
        shutil.copyfile(list_file, self.list_copy)
        # The next list file takes the next free number.
        os.remove(os.path.join(prog, "started.txt"))
        self.run_host(prog, "invoke", ["0"] + self.win_names[:1], temp)
        run = self.started(prog)
        if not run or run["args"] != ["/SE", winpath(os.path.join(temp, "__000001.TMP"))]:
            raise AssertionError("second run %s" % run)

    def refused_verbs(self):
        prog = self.program_dir(self.standin)
        temp = self.folder("temp")
        for verb, code in (("1", E_INVALIDARG), ("text:open", E_FAIL)):
            facts = self.run_host(prog, "invoke", [verb] + self.win_names, temp)
            if self.one(facts, "invoke") != code:
                raise AssertionError("verb %s: %s" % (verb, facts))
        time.sleep(2)
        if os.listdir(temp) or os.path.exists(os.path.join(prog, "started.txt")):
            raise AssertionError("something was written or started: %s" % os.listdir(temp))

    def missing_program(self):
        prog = self.program_dir(None)
        temp = self.folder("temp")
        facts = self.run_host(prog, "invoke", ["0"] + self.win_names, temp)
        box = facts.get("messagebox", [])
        want = "Pelmoran ShellExtention | Pelmoran Vix の起動に失敗しました(2)"
        if box != [want]:
            raise AssertionError("message boxes %s" % box)
        if os.listdir(temp):
            raise AssertionError("list file left behind: %s" % os.listdir(temp))

    def unwritable_list(self):
        prog = self.program_dir(self.standin)
        temp = os.path.join(self.work, "no such temp")
        facts = self.run_host(prog, "invoke", ["0"] + self.win_names, temp)
        box = facts.get("messagebox", [])
        if len(box) != 1 or not box[0].startswith("Pelmoran ShellExtention | ") or \
                winpath(os.path.join(temp, "__000000.TMP")) not in box[0]:
            raise AssertionError("message boxes %s" % box)
        if self.one(facts, "invoke") != "00000000":
            raise AssertionError(facts)
        time.sleep(2)
        if os.path.exists(os.path.join(prog, "started.txt")):
            raise AssertionError("the program was started without its list")

    def errors(self):
        prog = self.program_dir(self.standin)
        facts = self.run_host(prog, "errors")
        if self.one(facts, "init-null") != E_FAIL or \
                self.one(facts, "init-nohdrop") != "80040064" or \
                self.one(facts, "getcmd") != "00000000" or \
                self.one(facts, "getcmd-verb") != "00000000 untouched":
            raise AssertionError(facts)

    def unload(self):
        facts = self.run_host(self.program_dir(self.standin), "unload")
        if [self.one(facts, k) for k in ("unload-with-objects", "unload-locked", "unload-free")] \
                != ["00000001", "00000001", "00000000"]:
            raise AssertionError(facts)

    def imports(self):
        """The DLL's imports as {library: [names]}, read by the mingw objdump."""
        tool = next((t for t in ("x86_64-w64-mingw32-objdump", "i686-w64-mingw32-objdump",
                                 "objdump") if shutil.which(t)), None)
        if not tool:
            raise AssertionError("no objdump to read the import table")
        out = subprocess.run([tool, "-p", self.dll], stdout=subprocess.PIPE, check=True,
                             stderr=subprocess.DEVNULL).stdout.decode("latin-1")
        table, current = {}, None
        for line in out.splitlines():
            line = line.strip()
            if line.startswith("DLL Name:"):
                current = table.setdefault(line.split(":", 1)[1].strip().lower(), [])
            elif not line:
                current = None
            elif current is not None and not line.startswith("vma:"):
                current.append(line.split()[-1])
        return table

    def no_com_initialisation(self):
        """COM is never initialised by the handler (not in DllMain under the
        loader lock, nor anywhere else: the host owns its apartment). Neither
        imported nor looked up by name."""
        table = self.imports()
        if "RegCreateKeyExW" not in table.get("advapi32.dll", []) or \
                "StringFromGUID2" not in table.get("ole32.dll", []):
            raise AssertionError("the import table was not read: %s" % sorted(table))
        banned = ("CoInitialize", "CoInitializeEx", "OleInitialize")
        found = [n for names in table.values() for n in names if n in banned]
        with open(self.dll, "rb") as f:
            data = f.read()
        found += [n for n in banned if n.encode() + b"\0" in data]
        if found:
            raise AssertionError("the handler refers to %s" % sorted(set(found)))

    def dll_is_64bit(self):
        with open(self.dll, "rb") as f:
            data = f.read(4096)
        pe = int.from_bytes(data[0x3C:0x40], "little")
        return int.from_bytes(data[pe + 4:pe + 6], "little") == 0x8664

    def reg(self, *args):
        # A 64-bit handler registers itself in the 64-bit view.
        view = ["/reg:64"] if self.dll_is_64bit() else []
        r = subprocess.run(["wine", "reg"] + list(args) + view, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
        return r.returncode, r.stdout.decode("utf-8", "replace")

    def registry(self):
        other = r"HKCR\*\shellex\ContextMenuHandlers\Other Handler"
        self.reg("add", other, "/ve", "/d", "{00000000-1111-2222-3333-444444444444}", "/f")
        prog = self.program_dir(self.standin)
        key = "HKCR\\CLSID\\" + CLSID
        try:
            if self.one(self.run_host(prog, "register"), "register") != "00000000":
                raise AssertionError("DllRegisterServer failed")
            rc, out = self.reg("query", key, "/s")
            if rc != 0 or "Pelmoran Vix ShellExtention" not in out:
                raise AssertionError("class key: %s" % out)
            rc, out = self.reg("query", key + "\\InprocServer32", "/ve")
            server = out.strip().splitlines()[-1].split("REG_SZ")[-1].strip()
            long_path = winpath(os.path.join(prog, "VIXSHEXT.dll"))
            if server != long_path and (" " in server or not server.upper().endswith("VIXSHEXT.DLL")):
                raise AssertionError("InprocServer32 %r" % server)
            if self.one(self.run_host(prog, "unregister"), "unregister") != "00000000":
                raise AssertionError("DllUnregisterServer failed")
            if self.reg("query", key)[0] == 0:
                raise AssertionError("class key still there")
            rc, out = self.reg("query", other, "/ve")
            if rc != 0 or "{00000000-1111-2222-3333-444444444444}" not in out:
                raise AssertionError("another handler's key was touched: %s" % out)
        finally:
            self.reg("delete", other, "/f")

    def real_program(self):
        """The list the handler wrote, handed to PLM_VIX.exe as the handler
        starts it; its compress dialog makes a ZIP of the three files."""
        if not getattr(self, "list_copy", None):
            raise AssertionError("no list file from the invoke case")
        prog = self.program_dir(self.plm)
        temp = self.folder("temp")
        list_file = os.path.join(temp, "__000000.TMP")
        shutil.copyfile(self.list_copy, list_file)
        out = self.folder("out")
        cmd = ["wine", "explorer", "/desktop=vix,1024x768", winpath(self.driver), "--page", "1",
               "--name", winpath(os.path.join(out, "sel")), "--names", "yes",
               winpath(os.path.join(prog, "PLM_VIX.EXE")), "--", "/SE", winpath(list_file)]
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=150)
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        if not lines or lines[-1] != "PASS":
            raise AssertionError("driver: " + " | ".join(lines[-6:]))
        archive = os.path.join(out, "sel.zip")
        subprocess.run(["unzip", "-tqq", archive], check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(archive) as z:
            got = sorted(n.split("/")[-1] for n in zip_names(z))
            for info in z.infolist():
                base = info.filename.split("/")[-1]
                src = [n for n in self.names if os.path.basename(n) == base]
                if src and z.read(info) != open(src[0], "rb").read():
                    raise AssertionError("content of %s differs" % base)
        want = sorted(os.path.basename(n) for n in self.names)
        if got != want:
            raise AssertionError("archive holds %s, want %s" % (got, want))
        if os.path.exists(list_file):
            raise AssertionError("PLM_VIX left the list file")


    # --- the options dialog -----------------------------------------------------

    def options_run(self, prog, options, shots=False):
        cmd = ["wine", "explorer", "/desktop=vix,1024x768", winpath(self.driver)] + options
        if shots and getattr(self, "shot_dir", None):
            cmd += ["--shots", winpath(self.shot_dir)]
        cmd.append(winpath(os.path.join(prog, "PLM_VIX.EXE")))
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=150)
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        if not lines or lines[-1] != "PASS":
            raise AssertionError("driver: " + " | ".join(lines[-6:]))

    @staticmethod
    def shortcuts():
        """The folders (Desktop, SendTo) that hold "Pelmoran Vix.lnk"."""
        found = set()
        for d, _, files in os.walk(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users")):
            if "Pelmoran Vix.lnk" in files:
                found.add(os.path.basename(d))
        return found

    @staticmethod
    def private_desktop():
        """Wine links the prefix's Desktop to the user's home; a folder of
        the prefix takes its place, so that no shortcut lands there."""
        users = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users")
        for user in os.listdir(users):
            desktop = os.path.join(users, user, "Desktop")
            if os.path.islink(desktop):
                os.unlink(desktop)
                os.makedirs(desktop)

    def options(self):
        key = "HKCR\\CLSID\\" + CLSID
        handlers = [r"HKCR\*\shellex\ContextMenuHandlers\Pelmoran Vix",
                    r"HKCR\Folder\shellex\ContextMenuHandlers\Pelmoran Vix"]
        other = r"HKCR\*\shellex\ContextMenuHandlers\Other Handler"
        self.reg("add", other, "/ve", "/d", "{00000000-1111-2222-3333-444444444444}", "/f")
        try:
            self.private_desktop()
            prog = self.program_dir(self.plm)
            self.options_run(prog, ["--options", "000"])
            self.options_run(prog, ["--expect-options", "000"], shots=True)
            self.options_run(prog, ["--options", "111"])
            rc, out = self.reg("query", key, "/s")
            dll = winpath(prog) + "\\VIXSHEXT.DLL"
            for want in ("Pelmoran Vix ContextMenu Handler", dll, "ThreadingModel", "Apartment"):
                if want not in out:
                    raise AssertionError("no %r in %s" % (want, out))
            for h in handlers:
                rc, out = self.reg("query", h, "/ve")
                if CLSID not in out:
                    raise AssertionError("%s: %s" % (h, out))
            if self.shortcuts() != {"Desktop", "SendTo"}:
                raise AssertionError("shortcuts in %s" % self.shortcuts())
            # Cancel changes nothing; the state reads back as it was left.
            self.options_run(prog, ["--expect-options", "111", "--options", "000",
                                    "--options-cancel"])
            if self.reg("query", key)[0] != 0 or self.shortcuts() != {"Desktop", "SendTo"}:
                raise AssertionError("キャンセル changed the system")
            # The program moved: OK again repairs the library's path.
            moved = self.program_dir(self.plm)
            self.options_run(moved, ["--expect-options", "111", "--options", "110"])
            rc, out = self.reg("query", key + "\\InProcServer32", "/ve")
            if winpath(moved) + "\\VIXSHEXT.DLL" not in out:
                raise AssertionError("InProcServer32 after the move: %s" % out)
            if self.shortcuts() != {"Desktop"}:
                raise AssertionError("shortcuts in %s" % self.shortcuts())
            self.options_run(moved, ["--expect-options", "110", "--options", "000"])
            for k in [key] + handlers:
                if self.reg("query", k)[0] == 0:
                    raise AssertionError("%s is still there" % k)
            if self.shortcuts():
                raise AssertionError("shortcuts left in %s" % self.shortcuts())
            rc, out = self.reg("query", other, "/ve")
            if rc != 0 or "{00000000-1111-2222-3333-444444444444}" not in out:
                raise AssertionError("another handler's key was touched: %s" % out)
        finally:
            self.reg("delete", other, "/f")

    def options_both_views(self, build32):
        """On 64-bit Windows (a wine64 prefix) the 32-bit options dialog
        registers VIXSHEXT.DLL in the 32-bit view and VIXSHEXT64.DLL, found
        beside the program, in the 64-bit view; clearing the box removes both."""
        b32 = os.path.abspath(build32)
        prog = self.folder("prog64")
        shutil.copyfile(os.path.join(b32, "src", "PLM_VIX.exe"), os.path.join(prog, "PLM_VIX.EXE"))
        shutil.copyfile(os.path.join(b32, "src", "VIXSHEXT.dll"), os.path.join(prog, "VIXSHEXT.DLL"))
        shutil.copyfile(self.dll, os.path.join(prog, "VIXSHEXT64.DLL"))
        self.driver = os.path.join(b32, "tests", "gui_driver.exe")
        key = "HKLM\\Software\\Classes\\CLSID\\%s\\InProcServer32" % CLSID

        def server(view):
            r = subprocess.run(["wine", "reg", "query", key, "/ve", "/reg:" + view],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            return r.stdout.decode("utf-8", "replace") if r.returncode == 0 else None

        self.private_desktop()
        self.options_run(prog, ["--options", "100"])
        for view, name in (("32", "VIXSHEXT.DLL"), ("64", "VIXSHEXT64.DLL")):
            out = server(view)
            if out is None or winpath(prog) + "\\" + name not in out:
                raise AssertionError("%s-bit view: %s" % (view, out))
        self.options_run(prog, ["--expect-options", "100", "--options", "000"])
        if server("32") is not None or server("64") is not None:
            raise AssertionError("a view still holds the class")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(TOP, "build-win"))
    parser.add_argument("--shots", help="folder for the options dialog's screenshots (PNG)")
    parser.add_argument("--dll-only", action="store_true",
                        help="only the handler's own cases (a build of the 64-bit DLL and host)")
    parser.add_argument("--with-32", metavar="BUILD",
                        help="with --dll-only in a 64-bit prefix: the 32-bit build whose options "
                             "dialog registers this 64-bit DLL beside its own")
    args = parser.parse_args()
    if not shutil.which("Xvfb"):
        print("shell: SKIPPED, Xvfb is not installed")
        return 77
    runner = Runner(args.build)
    screen, server = open_session(runner, args.shots)
    try:
        subprocess.run(["wineserver", "-p"], check=False)
        runner.make_inputs()
        runner.case("menu: separator, then the command", runner.menu)
        runner.case("invoke: UTF-8 list file, quoted paths with blanks", runner.invoke)
        runner.case("offset 1 and a text verb: refused, nothing started", runner.refused_verbs)
        runner.case("main program missing: message, no list file left", runner.missing_program)
        runner.case("list file not writable: message, nothing started", runner.unwritable_list)
        runner.case("no data object, no CF_HDROP; GetCommandString", runner.errors)
        runner.case("DllCanUnloadNow follows objects and locks", runner.unload)
        runner.case("register and unregister; other handlers untouched", runner.registry)
        runner.case("no COM initialisation imported or looked up", runner.no_com_initialisation)
        if args.with_32:
            runner.case("options on 64-bit Windows: both views, then neither",
                        lambda: runner.options_both_views(args.with_32))
        if not args.dll_only:
            runner.case("PLM_VIX.exe compresses the handler's list", runner.real_program)
            runner.case("options: register, shortcuts, cancel, move, clear", runner.options)
    finally:
        if server:
            server.stop = True
        subprocess.run(["wineserver", "-k"], check=False)
        screen.close()
    total = len(runner.passed) + len(runner.failed)
    print("shell: %d of %d cases passed" % (len(runner.passed), total))
    if not runner.failed:
        shutil.rmtree(runner.work, ignore_errors=True)
    return 1 if runner.failed else 0


if __name__ == "__main__":
    sys.exit(main())
