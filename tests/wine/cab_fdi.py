#!/usr/bin/env python3
"""Wine's own cabinet reader (its FDI, through extrac32) extracts cabinets
that the Windows arcwrite.exe writes under Wine: LZX (which Wine's cabinet
library cannot write, so the built-in library must have taken the run over)
and MSZIP (written by Wine's library). The folders' type words are checked
as well, so that a stored cabinet cannot pass for LZX.

  tests/wine/cab_fdi.py [--build build-win]

Exit status 0 when every cabinet was written as asked and extracted whole."""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "gui"))
from run_gui import winpath  # noqa: E402


def make_tree(src, build):
    """Text over several 32 KiB frames, incompressible bytes, an empty file
    and a slice of a Windows program (E8 calls for the LZX translation)."""
    rng = random.Random(19)
    words = [b"cabinet ", b"folder ", b"frame ", b"window ", b"\r\n", b"block "]
    files = {
        "text.txt": b"".join(rng.choice(words) for _ in range(12000)),
        os.path.join("sub", "noise.bin"): bytes(rng.getrandbits(8) for _ in range(40000)),
        os.path.join("sub", "empty"): b"",
    }
    with open(os.path.join(build, "tests", "arcwrite.exe"), "rb") as f:
        files["program.exe"] = f.read(100000)
    for name, data in files.items():
        path = os.path.join(src, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return files


def folder_types(cab):
    with open(cab, "rb") as f:
        head = f.read(4096)
    if head[:4] != b"MSCF" or struct.unpack_from("<H", head, 30)[0] != 0:
        raise AssertionError("%s: not a plain cabinet" % cab)
    count = struct.unpack_from("<H", head, 26)[0]
    return [struct.unpack_from("<H", head, 36 + 8 * i + 6)[0] for i in range(count)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(TOP, "build-win"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    arcwrite = os.path.join(build, "tests", "arcwrite.exe")
    work = tempfile.mkdtemp(prefix="cab-fdi-", dir=build)
    src = os.path.join(work, "src")
    files = make_tree(src, build)
    failed = 0
    cases = (("lzx", ["--method", "lzx", "--lzx-level", "21"], 0x1503),
             ("mszip", ["--method", "mszip"], 0x0001))
    for name, options, word in cases:
        label = "%s 0x%04X" % (name, word)
        cab = os.path.join(work, "%s-%04x.cab" % (name, word))
        out = os.path.join(work, "out-%04x" % word)
        os.makedirs(out)
        try:
            subprocess.run(["wine", arcwrite, "cab", winpath(cab)] + options +
                           ["--recurse", winpath(src) + "\\*.*"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            types = folder_types(cab)
            if not types or any(t != word for t in types):
                raise AssertionError("folder type words %s" % [hex(t) for t in types])
            subprocess.run(["wine", "extrac32", "/Y", "/E", "/L", winpath(out), winpath(cab)],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=120)
            for rel, data in files.items():
                path = os.path.join(out, rel)
                if not os.path.isfile(path):
                    raise AssertionError("extrac32 did not extract %s" % rel)
                with open(path, "rb") as f:
                    if f.read() != data:
                        raise AssertionError("%s differs after extraction" % rel)
            print("  ok   %s: written as asked, extrac32 extracts every file" % label)
        except Exception as e:  # noqa: BLE001 - every failure is reported
            failed += 1
            print("  FAIL %s: %s" % (label, e))
    print("wine cab reader: %d of %d cases passed" % (len(cases) - failed, len(cases)))
    if not failed:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
