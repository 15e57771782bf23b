// The symbols a vendor's debugger loads for Quenda.dll. A unit of its own: dbghelp.h declares a
// CancelCallback of its own, which quenda.h also names.
#include <windows.h>

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <string>

#include "WinHandles.h"

namespace quenda::test {
namespace {

// Through dbghelp, as WinDbg and Visual Studio read a crash dump: the PDB beside the DLL resolves
// a routine the DLL does not export (the label's paint) to an address inside the loaded image,
// with a line in the unit that defines it.
TEST(DriverSymbols, PdbResolvesAnInternalPaintRoutineInsideTheImage) {
    char path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    std::string folder(path);
    folder.resize(folder.find_last_of("\\/"));
    const std::string dllPath = folder + "\\Quenda.dll";
    const UniqueModule dll(LoadLibraryA(dllPath.c_str()));
    ASSERT_TRUE(dll) << dllPath << ": " << GetLastError();
    const auto base = reinterpret_cast<const BYTE*>(dll.get());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imageSize = nt->OptionalHeader.SizeOfImage;

    const HANDLE process = GetCurrentProcess();
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS);
    ASSERT_TRUE(SymInitialize(process, folder.c_str(), FALSE)) << GetLastError();
    const ScopeExit cleanup([process] { SymCleanup(process); });
    ASSERT_EQ(SymLoadModuleEx(process, nullptr, dllPath.c_str(), nullptr, reinterpret_cast<DWORD64>(base), imageSize,
                              nullptr, 0),
              reinterpret_cast<DWORD64>(base))
        << GetLastError();
    IMAGEHLP_MODULE64 module{};
    module.SizeOfStruct = sizeof module;
    ASSERT_TRUE(SymGetModuleInfo64(process, reinterpret_cast<DWORD64>(base), &module));
    EXPECT_EQ(module.SymType, SymPdb) << "symbols came from " << module.LoadedImageName;

    EXPECT_EQ(GetProcAddress(dll.get(), "PaintInColor"), nullptr);
    alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + MAX_SYM_NAME] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = MAX_SYM_NAME;
    ASSERT_TRUE(SymFromName(process, "quenda::TApiLabel::PaintInColor", symbol)) << GetLastError();
    EXPECT_GE(symbol->Address, reinterpret_cast<DWORD64>(base));
    EXPECT_LT(symbol->Address, reinterpret_cast<DWORD64>(base) + imageSize);
    EXPECT_GT(symbol->Size, 0u);

    IMAGEHLP_LINE64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD displacement = 0;
    ASSERT_TRUE(SymGetLineFromAddr64(process, symbol->Address, &displacement, &line)) << GetLastError();
    const std::string file = line.FileName;
    EXPECT_NE(file.find("QuendaDlgControls.cpp"), std::string::npos) << file;
}

}  // namespace
}  // namespace quenda::test
