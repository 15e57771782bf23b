// The prompt on today's desktops: scaled by the system on high-DPI monitors, announced to screen
// readers through UI Automation, and drawn in the user's colours under high contrast.
#pragma once

#include <windows.h>

#include <string>

namespace quenda {

// Load time: looks up the DPI function in user32 (absent before Windows 10 1607).
void InitAccessModule(HMODULE user32) noexcept;
// Unload time (also when the process exits): nothing is announced any more, and the UI
// Automation libraries are left loaded rather than freed under the loader lock.
void FinalizeAccessModule() noexcept;

// The calling thread runs DPI-unaware for the scope's life, so that the system scales what it
// creates then; the previous context comes back on destruction. Does nothing where the system
// lacks per-thread DPI contexts or refuses both.
class DpiUnawareScope {
public:
    DpiUnawareScope() noexcept;
    DpiUnawareScope(const DpiUnawareScope&) = delete;
    DpiUnawareScope& operator=(const DpiUnawareScope&) = delete;
    ~DpiUnawareScope();
    // The thread's context before the scope; null where nothing was changed.
    DPI_AWARENESS_CONTEXT Previous() const noexcept { return previous_; }

private:
    DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

// The calling thread runs in `context` for the scope's life (nothing changes for null).
class DpiContextScope {
public:
    explicit DpiContextScope(DPI_AWARENESS_CONTEXT context) noexcept;
    DpiContextScope(const DpiContextScope&) = delete;
    DpiContextScope& operator=(const DpiContextScope&) = delete;
    ~DpiContextScope();

private:
    DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

// The calling thread runs system-aware for the scope's life, where the system reports the dpi
// its stock objects were made at; the previous context comes back on destruction.
class SystemDpiScope {
public:
    SystemDpiScope() noexcept;
    SystemDpiScope(const SystemDpiScope&) = delete;
    SystemDpiScope& operator=(const SystemDpiScope&) = delete;
    ~SystemDpiScope();

private:
    DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

enum class Announcement { Prompt, Outcome };

// Loads UI Automation from system32 and resolves its functions, once per library life. Runs in
// the start call's thread before the prompt is shown: an unload holds the loader lock while the
// prompt's thread shows the cancel outcome, so nothing may be loaded or looked up later.
void PrepareAnnouncer() noexcept;
// The unload has begun: from here on nothing is announced, loaded or looked up.
void StopAnnouncing() noexcept;
// Raises a notification with `text` through the prompt's provider when a UI Automation client
// listens. Prompt thread only, never under the dialog lock; failures are ignored.
void Announce(HWND wnd, const std::string& text, Announcement kind) noexcept;

// The prompt as an element of its own (a server-side provider with the Window pattern), so that
// its notifications are raised the documented way. All four run on the prompt's thread.
// `closeMessage` is posted to the window when a client closes it through the pattern.
void AttachAccessible(HWND wnd, UINT closeMessage) noexcept;
// The element's name: what the prompt shows, as drawn.
void SetAccessibleName(HWND wnd, const std::string& text) noexcept;
// WM_GETOBJECT: true, with UI Automation's result, while the provider is live. Every object id is
// passed on unfiltered, as UiaReturnRawElementProvider asks.
bool AnswerGetObject(HWND wnd, WPARAM wParam, LPARAM lParam, LRESULT& result) noexcept;
// The window is gone: UI Automation lets go of the provider and every later call on it fails.
// Never inside a sent message (UiaDisconnectProvider refuses to run there).
void DetachAccessible() noexcept;
// Providers whose last reference has not been released. Their code is this library's: a client
// may hold one past the prompt (where no disconnect is possible, before Windows 8), so the
// library must stay loaded while this is not zero.
int LiveAccessibleCount() noexcept;

// The user's high-contrast setting is on.
bool IsHighContrastOn() noexcept;

}  // namespace quenda
