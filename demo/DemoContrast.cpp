#include "DemoContrast.h"

#include <atomic>

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

} // namespace

bool HighContrastLook::Apply(HMODULE quenda, std::vector<int> elements, const std::vector<COLORREF>& colours) {
    if (elements.size() != colours.size()) return false;
    patch_ = std::make_unique<ImportPatch>(quenda, "user32.dll", "SystemParametersInfoA",
                                           reinterpret_cast<void*>(&AnswerHighContrastOn));
    if (!patch_->Applied()) return false;
    gRealSystemParametersInfo = patch_->Original<SystemParametersInfoFn>();
    gOn = true;
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
    patch_.reset();
}

} // namespace demo
