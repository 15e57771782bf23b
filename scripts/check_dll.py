#!/usr/bin/env python3
"""Checks a built Quenda.dll the way a driver and a vendor depend on it: export ordinals and names,
module name, the exact import list (each function with the code that calls it), the machine, the
file version, no DWARF left in the file, and a CodeView record that names the PDB beside it with
the PDB's own GUID and age. Reads the PE and PDB files itself: no tool knows every architecture.

    check_dll.py DLL ARCH [PDB [OBJDUMP]]

On ARM64 it also disassembles the DLL (OBJDUMP: llvm-objdump) and checks that no instruction writes
x18, which holds the thread's TEB in Windows user mode.
"""
import glob
import re
import subprocess
import struct
import sys

EXPORTS = {1: "OnKeyPressed", 2: "EndDlg", 3: "StartDlgEx", 4: "StartDlg"}
MACHINES = {"x86": 0x14C, "x64": 0x8664, "arm64": 0xAA64}

OWN = "the library's own code"
HOLD = "the library's hold on itself while a prompt is set up or a screen reader holds it (unload safety)"
LASTCHECK = "the unload's last check that no other thread still runs the library's code"
CRT = "mingw-w64 CRT start-up and exit (dllcrt2, onexit table)"
ALLOC = "operator new/delete, libstdc++ strings and exceptions"
PFORMAT = "mingw-w64 printf (mingw_pformat), which libstdc++'s headers select"
MBCS = "mingw-w64 mbrtowc/wcrtomb, used by its printf"
THREADS = "libstdc++/libgcc Win32 thread model: emutls and gthr-win32 (exception globals, static init)"
TLS = "mingw-w64 TLS callbacks (tlsthrd) and libstdc++'s Win32 thread model"
RELOC = "mingw-w64 pseudo-relocations (pseudo-reloc), which make the section writable for a moment"
TERMINATE = "libstdc++ verbose terminate handler"
RANDOM = "libstdc++ random_device (random.o: rand_s shim, /dev/urandom fallback), linked with std::string's member set"
LOCALE = "mingw-w64's code page lookup for the old 32-bit msvcrt (lc_locale_func), used by mbrtowc"
SEH = "libgcc's SEH unwinder: C++ exceptions on x64"

# Every imported function by DLL, with who calls it. A new import fails the check until it is
# added here on purpose; one that disappears fails too, so the list stays the truth.
COMMON = {
    "advapi32.dll": {f: OWN for f in ("RegCloseKey", "RegOpenKeyExA", "RegQueryValueExA")},
    "gdi32.dll": {f: OWN for f in (
        "BitBlt", "CreateCompatibleDC", "CreateFontIndirectA", "DeleteDC", "DeleteObject", "GetDeviceCaps",
        "GetObjectA", "GetStockObject", "SelectObject", "SetBkColor", "SetBkMode", "SetTextColor", "StretchBlt")},
    "user32.dll": {f: OWN for f in (
        "AttachThreadInput", "BeginPaint", "BringWindowToTop", "CallWindowProcA", "CloseDesktop",
        "CloseWindowStation", "CreateWindowExA", "DefWindowProcA", "DestroyWindow", "DialogBoxParamA",
        "DispatchMessageA", "DrawFocusRect", "DrawFrameControl", "DrawTextA", "EnableWindow", "EndDialog",
        "EndPaint", "FillRect", "GetCursorPos", "GetDC", "GetForegroundWindow", "GetProcessWindowStation",
        "GetSysColor", "GetSysColorBrush", "GetSystemMetrics", "GetThreadDesktop", "GetUserObjectInformationA",
        "GetWindowRect", "GetWindowTextA", "GetWindowThreadProcessId", "InflateRect", "InvalidateRect",
        "IsIconic", "IsWindow", "IsWindowEnabled", "IsWindowVisible", "KillTimer", "LoadBitmapA",
        "MessageBeep", "MoveWindow", "MsgWaitForMultipleObjectsEx", "NotifyWinEvent", "OffsetRect",
        "OpenDesktopA", "OpenInputDesktop", "OpenWindowStationA", "PeekMessageA", "PostMessageA",
        "PostQuitMessage", "PtInRect", "RedrawWindow", "ReleaseDC", "ScreenToClient", "SendMessageA",
        "SendMessageTimeoutA", "SetForegroundWindow", "SetProcessWindowStation", "SetThreadDesktop",
        "SetTimer", "SetWindowLongA", "SetWindowPos", "SetWindowTextA", "ShowWindow",
        "SystemParametersInfoA", "TranslateMessage", "UpdateWindow", "WindowFromPoint")},
    "kernel32.dll": {
        **{f: OWN for f in (
            "CloseHandle", "CreateEventA", "FreeLibrary", "GetCurrentProcessId", "GetLastError",
            "GetModuleHandleExA", "GetTickCount", "GetTickCount64", "GetUserDefaultLangID", "GetVersionExA",
            "LoadLibraryA", "LoadLibraryExA", "OutputDebugStringA", "SetEvent", "SetHandleInformation", "SetLastError",
            "AcquireSRWLockExclusive", "ReleaseSRWLockExclusive")},
        **{f: HOLD for f in ("GetModuleHandleExW", "TrySubmitThreadpoolCallback", "FreeLibraryWhenCallbackReturns")},
        **{f: LASTCHECK for f in (
            "CreateToolhelp32Snapshot", "Thread32First", "Thread32Next", "OpenThread", "SuspendThread",
            "GetThreadContext", "ResumeThread")},
        # Our own code and a runtime piece both call these.
        "GetCurrentThreadId": OWN + "; " + THREADS,
        "GetProcAddress": OWN + "; " + RANDOM,
        "InitializeCriticalSection": OWN + "; " + TLS,
        "DeleteCriticalSection": OWN + "; " + TLS,
        "EnterCriticalSection": OWN + "; " + TLS,
        "LeaveCriticalSection": OWN + "; " + TLS,
        "MultiByteToWideChar": OWN + "; " + MBCS,
        "Sleep": OWN + "; " + THREADS,
        "TlsGetValue": TLS,
        "VirtualProtect": RELOC, "VirtualQuery": RELOC,
        "WideCharToMultiByte": MBCS,
    },
    "msvcrt.dll": {
        "_amsg_exit": CRT, "_initterm": CRT, "_lock": CRT, "_unlock": CRT, "abort": TERMINATE,
        "calloc": ALLOC, "free": ALLOC, "malloc": ALLOC, "realloc": ALLOC,
        "memchr": ALLOC, "memcmp": OWN + "; " + ALLOC, "memcpy": OWN + "; " + ALLOC,
        "memmove": ALLOC, "memset": OWN, "strcmp": ALLOC, "strlen": OWN + "; " + ALLOC, "strncmp": ALLOC,
        "_errno": PFORMAT, "fputc": PFORMAT, "localeconv": PFORMAT, "strerror": PFORMAT, "wcslen": PFORMAT,
        "fwrite": TERMINATE + "; " + RELOC, "vfprintf": RELOC,
    },
}
# GCC's runtime (x86 and x64).
LIBSTDCXX = {
    "kernel32.dll": {
        "TlsAlloc": TLS, "TlsFree": TLS, "TlsSetValue": TLS,
        "IsDBCSLeadByteEx": MBCS,
        "GetModuleHandleW": RANDOM, "LoadLibraryW": RANDOM,
    },
    "msvcrt.dll": {"fputs": TERMINATE, "_read": RANDOM},
}
# What differs by GCC version (Debian 12 has 12, Debian 13 has 14): GCC 13 rewrote the Win32 thread
# model on critical sections, reads GLIBCXX_TUNABLES for the exception pool and takes the system
# category's messages from Windows.
EH_POOL = "libstdc++'s emergency exception pool (eh_alloc.o), sized from GLIBCXX_TUNABLES"
SYSTEM_ERROR = "libstdc++'s system_category messages (system_error.o), linked with its exceptions"
LIBSTDCXX_BY_GCC = {
    12: {
        "kernel32.dll": {"CreateSemaphoreW": THREADS, "ReleaseSemaphore": THREADS, "WaitForSingleObject": THREADS},
        "msvcrt.dll": {"_close": RANDOM},
    },
    14: {
        "kernel32.dll": {"GetThreadId": THREADS, "TryEnterCriticalSection": THREADS,
                         "FormatMessageA": SYSTEM_ERROR, "LocalFree": SYSTEM_ERROR},
        "msvcrt.dll": {"getenv": EH_POOL, "strtoul": EH_POOL, "strchr": EH_POOL},
    },
}
TRIPLETS = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}


def gcc_major(arch):
    """The GCC whose runtime the build links: the newest installed, as cmake/mingw-common.cmake picks."""
    found = [int(m.group(1)) for d in glob.glob(f"/usr/lib/gcc/{TRIPLETS[arch]}/*-win32")
             if (m := re.search(r"/(\d+)-win32$", d))]
    return max(found) if found else None


# lld links an archive member whole (no --gc-sections): thread_win32.cpp comes in for the mutex of
# libc++abi's fallback heap (exception allocation) and of its static-local guards, and brings its
# thread-local keys (FlsAlloc) and the rest of its imports along, unused.
LIBCXX_THREADS = ("libc++'s Win32 thread support (thread_win32.cpp), linked whole for the mutex of libc++abi's "
                  "fallback heap and static-local guards")
LIBCXX_CHRONO = "libc++ clocks (chrono.cpp), linked with its thread support"
LIBCXX_STRING = "libc++ number conversions (string.cpp), linked with std::string's member set"
LIBCXX_LOCALE = "libc++ Win32 locale support (locale_win32), used by its string conversions"
UNWIND = "libunwind's SEH unwinder: C++ exceptions on ARM64"
UNWIND_LOG = "libunwind's diagnostics: its log switches from the environment, its messages and asserts"
ALIGNED = "libc++ aligned operator new/delete and libc++abi's fallback heap"
MINGWEX = "mingw-w64's string-to-number and scanf helpers (mingwex), used by libc++'s conversions"
PER_ARCH = {
    "x86": {
        "msvcrt.dll": {"__mb_cur_max": MBCS, "_iob": PFORMAT, "atoi": LOCALE, "setlocale": LOCALE,
                       "strchr": LOCALE},
        # The 32-bit header maps GetWindowLongPtrA to GetWindowLongA.
        "user32.dll": {"GetWindowLongA": OWN},
        "kernel32.dll": {"GetModuleHandleA": "GCC's crtbegin.o: registers the DWARF unwind tables of "
                                             "C++ exceptions with libgcc, asking first for a shared one"},
    },
    "x64": {
        "kernel32.dll": {f: SEH for f in (
            "RaiseException", "RtlCaptureContext", "RtlLookupFunctionEntry", "RtlUnwindEx", "RtlVirtualUnwind")},
        "msvcrt.dll": {"___lc_codepage_func": MBCS, "___mb_cur_max_func": MBCS, "__iob_func": PFORMAT},
        # 64-bit SetWindowLongPtrA is a function of its own; the 32-bit header maps it to SetWindowLongA.
        "user32.dll": {"GetWindowLongPtrA": OWN, "SetWindowLongPtrA": OWN},
    },
    # libc++, libc++abi and libunwind from the sysroot scripts/setup-arm64.sh builds.
    "arm64": {
        "kernel32.dll": {
            **{f: LIBCXX_THREADS for f in (
                "FlsAlloc", "FlsGetValue", "FlsSetValue", "GetThreadId", "InitOnceExecuteOnce",
                "SleepConditionVariableSRW", "SwitchToThread", "TryAcquireSRWLockExclusive",
                "TryEnterCriticalSection", "WaitForSingleObjectEx", "WakeAllConditionVariable",
                "WakeConditionVariable")},
            **{f: LIBCXX_CHRONO for f in (
                "GetSystemTimeAsFileTime", "QueryPerformanceCounter", "QueryPerformanceFrequency")},
            "GetModuleHandleW": LIBCXX_CHRONO + ": looks GetSystemTimePreciseAsFileTime up as the library loads",
            **{f: UNWIND for f in (
                "RaiseException", "RtlLookupFunctionEntry", "RtlRestoreContext", "RtlUnwindEx", "RtlVirtualUnwind")},
            # LLVM 19's __unw_getcontext takes the context from Windows (libunwind.cpp).
            "RtlCaptureContext": UNWIND,
        },
        "msvcrt.dll": {
            "_beginthreadex": LIBCXX_THREADS,
            "_aligned_malloc": ALIGNED, "_aligned_free": ALIGNED,
            "_assert": UNWIND_LOG, "fflush": UNWIND_LOG, "getenv": UNWIND_LOG,
            "strtol": LIBCXX_STRING, "strtoul": LIBCXX_STRING, "wcstol": LIBCXX_STRING, "wcstoul": LIBCXX_STRING,
            "mbrtowc": LIBCXX_LOCALE, "wcrtomb": LIBCXX_LOCALE, "___mb_cur_max_func": LIBCXX_LOCALE,
            "___lc_codepage_func": MBCS, "__iob_func": PFORMAT, "fputwc": PFORMAT, "fwprintf": PFORMAT,
            # isxdigit came with mingw-w64's scanf, which LLVM 14's libc++ linked and 19's does not.
            "iswctype": MINGWEX,
        },
        "user32.dll": {"GetWindowLongPtrA": OWN, "SetWindowLongPtrA": OWN},
    },
}


# The ARM64 sysroot's CRT is the installed mingw-w64's version (Debian 12 has 10, Debian 13 has 12):
# 12's msvcrt import library turns strtoll/strtoull into msvcrt's own _strtoi64/_strtoui64.
ARM64_BY_MINGW = {
    10: {"msvcrt.dll": {f: MINGWEX for f in ("islower", "isspace", "isupper")}},
    12: {"msvcrt.dll": {"_strtoi64": LIBCXX_STRING, "_strtoui64": LIBCXX_STRING}},
}


def mingw_major():
    """The installed mingw-w64's major version, which scripts/setup-arm64.sh builds the sysroot from."""
    try:
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "mingw-w64-common"],
                                 capture_output=True, text=True, check=True).stdout
        return int(version.split(".")[0].split(":")[-1])
    except (OSError, subprocess.CalledProcessError, ValueError):
        return None


def allowed_imports(arch):
    allowed = {}
    runtime, by_gcc = {}, {}
    if arch == "arm64":
        # Another mingw-w64 fails the check, showing what it imports, until its list is added.
        by_gcc = ARM64_BY_MINGW.get(mingw_major(), {})
    else:
        runtime, major = LIBSTDCXX, gcc_major(arch)
        # Another GCC fails the check, showing what it imports, until its list is added.
        by_gcc = LIBSTDCXX_BY_GCC.get(major, {})
    for table in (COMMON, runtime, by_gcc, PER_ARCH.get(arch, {})):
        for dll, functions in table.items():
            allowed.setdefault(dll, {}).update(functions)
    return allowed


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        self.machine, nsections, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.pe32plus = struct.unpack_from("<H", data, opt)[0] == 0x20B
        dirs = opt + (112 if self.pe32plus else 96)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsections):
            at = opt + optsize + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((name, va, max(vsize, rawsize), raw))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError(f"RVA {rva:#x} is in no section")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def cstr(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def exports(self):
        rva, _ = self.directories[0]
        name = self.cstr(self.u32(rva + 12))
        base, nfunctions, nnames, functions, names, ordinals = struct.unpack_from(
            "<IIIIII", self.data, self.offset(rva) + 16)
        self.unnamed_slots = {base + i for i in range(nfunctions) if self.u32(functions + 4 * i) == 0}
        self.ordinal_base = base
        self.function_count = nfunctions
        table = {}
        for i in range(nnames):
            index = struct.unpack_from("<H", self.data, self.offset(ordinals + 2 * i))[0]
            table[base + index] = self.cstr(self.u32(names + 4 * i))
        return name, table

    def imports(self):
        rva, _ = self.directories[1]
        result = {}
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                return result
            functions = result.setdefault(self.cstr(name).lower(), set())
            entry, width = lookup or thunks, 8 if self.pe32plus else 4
            while True:
                value = struct.unpack_from("<Q" if self.pe32plus else "<I", self.data, self.offset(entry))[0]
                if value == 0:
                    break
                by_ordinal = value >> (63 if self.pe32plus else 31)
                functions.add(f"#{value & 0xFFFF}" if by_ordinal else self.cstr((value & 0x7FFFFFFF) + 2))
                entry += width
            rva += 20

    def codeview(self):
        rva, size = self.directories[6]
        if rva == 0:
            return None
        for at in range(self.offset(rva), self.offset(rva) + size, 28):
            kind, raw = struct.unpack_from("<I", self.data, at + 12)[0], struct.unpack_from("<I", self.data, at + 24)[0]
            if kind == 2 and self.data[raw:raw + 4] == b"RSDS":
                guid, age = self.data[raw + 4:raw + 20], struct.unpack_from("<I", self.data, raw + 20)[0]
                return guid, age, self.data[raw + 24:self.data.index(b"\0", raw + 24)].decode("latin-1")
        return None


NOT_WRITING_FIRST = ("cmp", "cmn", "tst", "ccmp", "ccmn", "fcmp", "cbz", "cbnz", "tbz", "tbnz", "br", "blr",
                     "ret", "msr", "prfm")


def x18_writes(objdump, dll):
    """Instructions of an ARM64 image that write x18: as a destination or as a written-back base."""
    listing = subprocess.run([objdump, "-d", dll], capture_output=True, text=True, check=True).stdout
    found = []
    for line in listing.splitlines():
        parts = line.split("\t")
        if len(parts) < 3:
            continue
        mnemonic, operands = parts[1].strip(), parts[2].strip()
        regs = [op.strip() for op in operands.split(",")]
        stores = mnemonic.startswith("st")
        dests = [] if stores or mnemonic in NOT_WRITING_FIRST else regs[:1]
        if mnemonic in ("ldp", "ldnp", "ldxp", "ldaxp", "ldpsw"):
            dests = regs[:2]
        if re.match(r"stl?x[rp]", mnemonic):
            dests = regs[:1]  # the status register of a store-exclusive
        writeback = re.search(r"\[x18(, [^\]]*)?\]!|\[x18\], ", operands)
        if any(d in ("x18", "w18") for d in dests) or writeback:
            found.append(line.strip())
    return found


def pdb_identity(path):
    """GUID and age from the PDB information stream (stream 1 of the MSF file)."""
    data = open(path, "rb").read()
    assert data.startswith(b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"), "not an MSF 7 PDB"
    block, _, _, dir_bytes, _, dir_map = struct.unpack_from("<IIIIII", data, 32)
    count = (dir_bytes + block - 1) // block
    directory = b"".join(data[b * block:(b + 1) * block]
                         for b in struct.unpack_from(f"<{count}I", data, dir_map * block))
    nstreams = struct.unpack_from("<I", directory, 0)[0]
    sizes = struct.unpack_from(f"<{nstreams}I", directory, 4)
    first = struct.unpack_from("<I", directory, 4 + 4 * nstreams)[0]  # stream 0's blocks come first
    skip = (sizes[0] + block - 1) // block if sizes[0] != 0xFFFFFFFF else 0
    info_block = struct.unpack_from("<I", directory, 4 + 4 * nstreams + 4 * skip)[0] if skip else first
    _, _, age = struct.unpack_from("<III", data, info_block * block)
    return data[info_block * block + 12:info_block * block + 28], age


def main():
    dll, arch = sys.argv[1:3]
    pdb = sys.argv[3] if len(sys.argv) > 3 else None
    objdump = sys.argv[4] if len(sys.argv) > 4 else None
    data = open(dll, "rb").read()
    image = Image(data)
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(("ok   " if ok else "FAIL ") + name + (f": {detail}" if detail and not ok else ""))

    module, names = image.exports()
    check("four exports by ordinal with undecorated names", names == EXPORTS, str(names))
    check("export directory names the module Quenda.dll", module == "Quenda.dll", module)
    # The .def numbers the exports 1-4; lld 16 and later write exactly that table (lld 14 started it
    # at 0 with an empty slot 0).
    check("ordinal base 1, ordinals 1-4 and no empty slot",
          image.ordinal_base == 1 and image.function_count == 4 and not image.unnamed_slots,
          f"base {image.ordinal_base}, {image.function_count} slots, empty {sorted(image.unnamed_slots)}")
    check(f"built for {arch}", image.machine == MACHINES[arch], hex(image.machine))

    imports, allowed = image.imports(), allowed_imports(arch)
    check("imports only system DLLs", set(imports) <= set(allowed), str(sorted(set(imports) - set(allowed))))
    for library in sorted(set(imports) | set(allowed)):
        got, want = imports.get(library, set()), set(allowed.get(library, {}))
        check(f"imports from {library} are the listed ones", got == want,
              f"not listed: {sorted(got - want)}; listed but not imported: {sorted(want - got)}")

    debug = [name for name, *_ in image.sections if name.startswith((".debug", "/"))]
    check("no DWARF or other debug sections", not debug, str(debug))
    record = image.codeview()
    check("CodeView record names Quenda.pdb without a build path",
          record is not None and record[2] == "Quenda.pdb", str(record and record[2]))
    if pdb and record:
        check("the PDB's GUID and age are the DLL's", pdb_identity(pdb) == record[:2],
              f"PDB {pdb_identity(pdb)} vs DLL {record[:2]}")

    at = data.find(struct.pack("<I", 0xFEEF04BD))
    version = None
    if at >= 0:
        ms, ls = struct.unpack_from("<II", data, at + 8)
        version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check("file version 1.1.1.2", version == (1, 1, 1, 2), str(version))

    if arch == "arm64":
        # Runtime code built for another ARM64 ABI may use it as a scratch register; on Windows
        # that corrupts the TEB pointer of whatever thread runs it.
        writes = x18_writes(objdump, dll) if objdump else ["no disassembler given"]
        check("no instruction writes x18 (the TEB register)", not writes, "; ".join(writes[:5]))

    passed = sum(results)
    print(f"{passed} passed, {len(results) - passed} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
