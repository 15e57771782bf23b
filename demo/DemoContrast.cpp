#include "DemoContrast.h"

#include <atomic>
#include <cstring>

namespace demo {

namespace {

using SystemParametersInfoFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT);
std::atomic<SystemParametersInfoFn> gRealSystemParametersInfo{nullptr};
std::atomic<bool> gOn{false};

BOOL WINAPI AnswerHighContrastOn(UINT action, UINT param, PVOID data, UINT winIni) {
    if (action == SPI_GETHIGHCONTRAST && data && gOn.load()) {
        auto* contrast = static_cast<HIGHCONTRASTA*>(data);
        contrast->dwFlags = HCF_HIGHCONTRASTON | HCF_AVAILABLE;
        contrast->lpszDefaultScheme = nullptr;
        return TRUE;
    }
    return gRealSystemParametersInfo.load()(action, param, data, winIni);
}

// The import address table entry of `function` from `dll` in `module`, or null.
void** ImportSlot(HMODULE module, const char* dll, const char* function) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return nullptr;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
         ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

bool WriteSlot(void** slot, void* value) {
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return false;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return true;
}

} // namespace

bool HighContrastLook::Apply(HMODULE quenda, std::vector<int> elements, const std::vector<COLORREF>& colours) {
    void** slot = ImportSlot(quenda, "user32.dll", "SystemParametersInfoA");
    if (!slot || elements.size() != colours.size()) return false;
    original_ = *slot;
    gRealSystemParametersInfo = reinterpret_cast<SystemParametersInfoFn>(original_);
    gOn = true;
    if (!WriteSlot(slot, reinterpret_cast<void*>(&AnswerHighContrastOn))) return false;
    slot_ = slot;
    elements_ = std::move(elements);
    for (int element : elements_) saved_.push_back(GetSysColor(element));
    if (SetSysColors(static_cast<int>(elements_.size()), elements_.data(), colours.data())) return true;
    saved_.clear();
    return false;
}

void HighContrastLook::SetOn(bool on) noexcept { gOn = on; }

void HighContrastLook::Restore() noexcept {
    if (!saved_.empty()) SetSysColors(static_cast<int>(elements_.size()), elements_.data(), saved_.data());
    saved_.clear();
    if (slot_) WriteSlot(slot_, original_);
    slot_ = nullptr;
}

} // namespace demo
