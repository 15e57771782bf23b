#!/usr/bin/env python3
"""scripts/check_dll.py's checks for the ARM64 DLL, read with llvm-readobj and llvm-objdump: binutils
cannot read ARM64 PE files. Usage: check_dll_arm64.py LLVM-READOBJ DLL"""
import os
import re
import struct
import subprocess
import sys

from check_dll import EXPORTS, SYSTEM_DLLS


def main():
    readobj, dll = sys.argv[1:3]
    objdump = os.path.join(os.path.dirname(readobj), os.path.basename(readobj).replace("readobj", "objdump"))
    dump = subprocess.run([readobj, "--file-headers", "--coff-exports", "--coff-imports", dll],
                          capture_output=True, text=True, check=True).stdout
    table = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(("ok   " if ok else "FAIL ") + name + (f": {detail}" if detail and not ok else ""))

    exports = re.findall(r"Export \{\s*Ordinal: (\d+)\s*Name: (\S*)\s*RVA: (0x[0-9A-Fa-f]+)", dump)
    named = {int(o): n for o, n, rva in exports if int(rva, 16) != 0}
    check("four exports by ordinal with undecorated names", named == EXPORTS, str(exports))
    # lld 14 always writes ordinal base 0; slot 0 must then be empty so that no ordinal but 1-4 resolves.
    base = re.search(r"Ordinal base: (\d+)", table)
    empty_slots = {int(o) for o, n, rva in exports if int(rva, 16) == 0}
    check("ordinal base 1, or 0 with slot 0 empty",
          base is not None and (base.group(1) == "1" or (base.group(1) == "0" and empty_slots <= {0})),
          f"base {base and base.group(1)}, empty slots {sorted(empty_slots)}")
    check("export directory names the module Quenda.dll",
          re.search(r"^\s*DLL name: Quenda\.dll$", table, re.M) is not None)
    imports = {m.lower() for m in re.findall(r"Import \{\s*Name: (\S+)", dump)}
    check("imports only system DLLs", bool(imports) and imports <= SYSTEM_DLLS, str(sorted(imports)))
    check("built for ARM64", "IMAGE_FILE_MACHINE_ARM64 (0xAA64)" in dump)

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
