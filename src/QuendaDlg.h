// The prompt window: its state, creation, painting, closing, timers and the button's subclass.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "QuendaDlgControls.h"
#include "WinHandles.h"

namespace quenda {

struct DialogSetup {
    uint32_t MiddleWidth = 135;
    uint32_t PromptTop = 25;
    uint32_t EchoTop = 50;
    uint32_t ResultTop = 100;
    std::string PromptText;
    std::string EchoText;
    std::string ResultText;
    std::string ButtonCaption;
    // Run on the dialog's thread once the prompt is shown, painted and announced: its first-use
    // work, which may need the loader lock, is done by then.
    void (*OnShown)() = nullptr;
    // Run on the dialog's thread once the prompt is closed and no longer found from outside.
    void (*OnClosed)() = nullptr;
};

using CancelHandlerFn = void (*)();

// Load-time and unload-time work of the unit.
void InitDialogModule() noexcept;
// Also run when the process is exiting, where it only lets go of what must not be freed then.
void FinalizeDialogModule(bool processExiting) noexcept;

// Runs the prompt modally in the calling thread; returns at once when one is already running.
void RunPinDialog(DialogSetup setup);
bool IsPinDialogOpen();
// Sends the close to the open prompt and returns once its thread has handled it (or the timeout
// has passed). With `onlyWindow` set, closes only that prompt (a later one is left alone).
void ClosePinDialog(HWND onlyWindow = nullptr, DWORD timeoutMillis = INFINITE);
void SetCancelHandler(CancelHandlerFn handler) noexcept;
// From now on no prompt opens: one being created ends before it is shown. A start call holds the
// library while it sets its prompt up, so an unload normally never meets one being created; this
// covers a start call that could not take that hold.
void BeginDialogUnload() noexcept;
// Disables the button on the prompt's own thread, for a caller that must not wait for it.
void PostDisableButton(HWND wnd) noexcept;

// Access to the open prompt's labels and button from any thread. Holding it keeps the labels
// alive: the close releases them under the same lock, and painting reads them under it too.
class OpenDialog {
public:
    OpenDialog();
    OpenDialog(const OpenDialog&) = delete;
    OpenDialog& operator=(const OpenDialog&) = delete;
    ~OpenDialog();
    [[nodiscard]] bool IsOpen() const;
    HWND Window() const;
    HWND Button() const;
    TApiLabelEx& EchoLabel() const;
    // The prompt and the outcome are what the window's text and screen readers follow: set here,
    // the change is handed to the prompt's thread when the access ends (a post; nothing waits).
    void SetPromptText(const std::string& text) const;
    void SetResultText(const std::string& text) const;
    void SetResultColor(COLORREF color) const;

private:
    std::unique_lock<CriticalSection> lock_;
    mutable bool shownTextChanged_ = false;
};

// Leave tracking for the button's hover look; the emulation stands in where the system lacks
// TrackMouseEvent.
using TrackMouseEventFn = BOOL(WINAPI*)(LPTRACKMOUSEEVENT);
BOOL WINAPI EmulatedTrackMouseEvent(LPTRACKMOUSEEVENT request);
TrackMouseEventFn TrackMouseLeave() noexcept;
void SetTrackMouseLeaveForTesting(TrackMouseEventFn tracker) noexcept;

void ForceForeground(HWND wnd);

}  // namespace quenda
