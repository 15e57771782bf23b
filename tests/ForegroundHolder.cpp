// Another application for the foreground tests: a topmost window over the middle of the screen
// that takes the foreground at start and again whenever it is told to, or only moves in front.
//   QuendaForegroundHolder <event-name-prefix>
// Named events <prefix>take, took, raise, raised, quit: "took" is set each time the window holds
// the foreground after a take, "raised" after it was put in front without activation.
#include <windows.h>

#include <string>

#include "WinHandles.h"

namespace {

using quenda::UniqueHandle;
using UniqueEvent = UniqueHandle<HANDLE, CloseHandle>;
using UniqueWindow = UniqueHandle<HWND, DestroyWindow>;

// Ends the program even if the test that started it never says so.
constexpr DWORD kLifetimeMs = 60000;

void TakeForeground(HWND wnd, HANDLE took) {
    SetWindowPos(wnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(wnd);
    if (GetForegroundWindow() == wnd) SetEvent(took);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string prefix = argv[1];
    const auto open = [&](const char* name) {
        return UniqueEvent(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (prefix + name).c_str()));
    };
    const UniqueEvent take = open("take");
    const UniqueEvent took = open("took");
    const UniqueEvent raise = open("raise");
    const UniqueEvent raised = open("raised");
    const UniqueEvent quit = open("quit");
    if (!take || !took || !raise || !raised || !quit) return 3;

    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = "QuendaForegroundHolder";
    if (!RegisterClassA(&wc)) return 4;
    // Larger than the smallest prompt and centred like it, so it covers the prompt when on top.
    constexpr int kWidth = 400;
    constexpr int kHeight = 240;
    const UniqueWindow wnd(CreateWindowExA(WS_EX_TOPMOST, wc.lpszClassName, "Foreground holder", WS_POPUP | WS_VISIBLE,
                                           (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2,
                                           (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2, kWidth, kHeight, nullptr,
                                           nullptr, wc.hInstance, nullptr));
    if (!wnd) return 5;
    UpdateWindow(wnd.get());
    TakeForeground(wnd.get(), took.get());

    const DWORD start = GetTickCount();
    const HANDLE events[] = {take.get(), raise.get(), quit.get()};
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= kLifetimeMs) return 6;
        const DWORD rc = MsgWaitForMultipleObjects(3, events, FALSE, kLifetimeMs - spent, QS_ALLINPUT);
        if (rc == WAIT_OBJECT_0) {
            TakeForeground(wnd.get(), took.get());
        } else if (rc == WAIT_OBJECT_0 + 1) {
            SetWindowPos(wnd.get(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            SetEvent(raised.get());
        } else if (rc == WAIT_OBJECT_0 + 2) {
            return 0;
        } else if (rc == WAIT_OBJECT_0 + 3) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        } else {
            return 7;
        }
    }
}
