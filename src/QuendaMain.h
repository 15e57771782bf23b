// The driver-facing side: module state, text lookup, the start/key/end operations behind the
// exports, and the move to the user's window station and desktop.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "WinHandles.h"
#include "quenda.h"

namespace quenda {

// Load-time reset of the module state.
void InitMainModule() noexcept;
// Unload-time close of a prompt that is still open; `processExiting` when the process is ending.
void FinalizeMainModule(bool processExiting) noexcept;

// `exportName` names the call in the trace, which includes its answer. `hold` is the export's
// reference on the library (HoldLibrary, its first statement), which the call lets go of once its
// prompt is up, or at its end.
uint32_t StartDialog(HMODULE hold, const DlgParams* params, uint32_t mode, CancelCallback callback,
                     const char* exportName);
uint32_t KeyPressed(uint32_t keyEvent);
uint32_t EndDialogWith(uint32_t endResult);

// The driver's text for a TextId when it gave one (even empty), else the catalogue's.
std::string GetDialogText(int textId);

// Closes the desktop and window-station handles kept from earlier switches that are no longer
// current.
void CloseKeptHandles() noexcept;

// Copy of the module state, for tests and diagnostics.
DlgParams ActiveParamsSnapshot();
uint32_t ActiveModeValue();
// True while an accepted start call is inside the library.
bool StartCallRunning();

// One switch of window station and desktop, undone by Restore (and by the destructor).
class DesktopSwitch {
public:
    DesktopSwitch() = default;
    DesktopSwitch(const DesktopSwitch&) = delete;
    DesktopSwitch& operator=(const DesktopSwitch&) = delete;
    ~DesktopSwitch() { Restore(); }

    // Moves the process to the chosen window station and the calling thread to the chosen
    // desktop; on a failed desktop step puts both back at once.
    void SwitchToUserDesktop(const char* winStation, const char* desktop);
    // Puts back what the switch changed; does nothing when it did not switch.
    void Restore();
    bool Switched() const noexcept { return switched_; }

private:
    void RestoreStationAndDesktop();

    HWINSTA savedStation_ = nullptr;  // borrowed: the process's station before the switch
    HDESK savedDesktop_ = nullptr;    // borrowed: the thread's desktop before the switch
    UniqueWinStation openedStation_;
    UniqueDesktop openedDesktop_;
    bool switched_ = false;
};

}  // namespace quenda
