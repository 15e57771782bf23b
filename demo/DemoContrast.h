// Shows the prompt's high-contrast look where the system cannot switch high contrast on (Wine):
// the library's own query is answered "on" and a high-contrast palette is set for the run.
#ifndef QUENDA_DEMO_CONTRAST_H
#define QUENDA_DEMO_CONTRAST_H

#include <windows.h>

#include <vector>

namespace demo {

// Puts back the import and the system colours it changed when destroyed.
class HighContrastLook {
public:
    HighContrastLook() = default;
    HighContrastLook(const HighContrastLook&) = delete;
    HighContrastLook& operator=(const HighContrastLook&) = delete;
    ~HighContrastLook();

    // Patches SystemParametersInfoA in the import table of `quenda`; sets the palette.
    [[nodiscard]] bool Apply(HMODULE quenda);
    // Before the library is unloaded: its import table goes with it.
    void Restore() noexcept;

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
    std::vector<int> elements_;
    std::vector<COLORREF> saved_;
};

} // namespace demo

#endif
