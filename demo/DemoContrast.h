// The prompt's high-contrast look where the system cannot switch high contrast on (Wine): the
// SystemParametersInfoA import of Quenda.dll answers SPI_GETHIGHCONTRAST itself, and the run gets
// its own colours. The demo and the tests use it.
#ifndef QUENDA_DEMO_CONTRAST_H
#define QUENDA_DEMO_CONTRAST_H

#include <windows.h>

#include <memory>
#include <vector>

#include "ImportPatch.h"

namespace demo {

class HighContrastLook {
public:
    HighContrastLook() = default;
    HighContrastLook(const HighContrastLook&) = delete;
    HighContrastLook& operator=(const HighContrastLook&) = delete;
    ~HighContrastLook() { Restore(); }

    // Patches the import of `quenda` and sets `colours` for `elements`; high contrast is on.
    [[nodiscard]] bool Apply(HMODULE quenda, std::vector<int> elements, const std::vector<COLORREF>& colours);
    // What the library's query answers from now on.
    void SetOn(bool on) noexcept;
    // Before the library is unloaded: its import table goes with it.
    void Restore() noexcept;

private:
    std::unique_ptr<ImportPatch> patch_;
    std::vector<int> elements_;
    std::vector<COLORREF> saved_;
};

// Windows' "High Contrast Black" scheme, as far as the prompt uses it.
inline const std::vector<int> kHighContrastElements = {COLOR_WINDOW,       COLOR_WINDOWTEXT, COLOR_BTNFACE,
                                                       COLOR_BTNTEXT,      COLOR_GRAYTEXT,   COLOR_3DLIGHT,
                                                       COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW,  COLOR_3DDKSHADOW};
inline const std::vector<COLORREF> kHighContrastBlack = {
    RGB(0, 0, 0),       RGB(255, 255, 255), RGB(0, 0, 0),       RGB(255, 255, 255), RGB(63, 242, 63),
    RGB(255, 255, 255), RGB(255, 255, 255), RGB(255, 255, 255), RGB(128, 128, 128)};

} // namespace demo

#endif
