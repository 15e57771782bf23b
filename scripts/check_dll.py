#!/usr/bin/env python3
"""Checks a built Quenda.dll the way a driver depends on it: export ordinals and names, module
name, imports (system DLLs only, so it loads on a bare machine) and the file version."""
import re
import struct
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}
EXPORTS = {1: "OnKeyPressed", 2: "EndDlg", 3: "StartDlgEx", 4: "StartDlg"}


def main():
    objdump, dll, arch = sys.argv[1:4]
    dump = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(("ok   " if ok else "FAIL ") + name + (f": {detail}" if detail and not ok else ""))

    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    names = {}
    for index, name in re.findall(r"^\s+\[\s*(\d+)\]\s+(\S+)\s*$", table, re.M):
        names[int(index) + base] = name
    check("four exports by ordinal with undecorated names", names == EXPORTS, str(names))
    check("export directory names the module Quenda.dll",
          re.search(r"^Name\s+[0-9a-f]+\s+Quenda\.dll$", dump, re.M) is not None)
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
    check("imports only system DLLs", bool(imports) and imports <= SYSTEM_DLLS, str(sorted(imports)))
    machine = "i386" if arch == "x86" else "x86-64"
    check(f"built for {machine}", re.search(r"file format pei-" + machine.replace("-", "[-]"), dump) is not None)

    data = open(dll, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    version = None
    if at >= 0:
        ms, ls = struct.unpack_from("<II", data, at + 8)
        version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check("file version 1.1.1.2", version == (1, 1, 1, 2), str(version))

    passed = sum(results)
    print(f"{passed} passed, {len(results) - passed} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
