#include <windows.h>

#include <gtest/gtest.h>

#include "QuendaUtil.h"

using namespace quenda;

namespace {

int gDispatched = 0;
LRESULT CALLBACK CountingProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP) ++gDispatched;
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

DWORD WINAPI PostAfterADelay(LPVOID wnd) {
    Sleep(100);
    PostMessageA(static_cast<HWND>(wnd), WM_APP, 0, 0);
    return 0;
}

struct MessageWindow {
    MessageWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = CountingProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "QuendaUtilTestWindow";
        RegisterClassA(&wc);
        wnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    }
    ~MessageWindow() { DestroyWindow(wnd); }
    HWND wnd;
};

}  // namespace

TEST(PumpMessagesFor, WaitsTheTimeAndDispatchesThisThreadsMessages) {
    MessageWindow window;
    ASSERT_NE(window.wnd, nullptr);
    gDispatched = 0;
    PostMessageA(window.wnd, WM_APP, 0, 0);
    PostMessageA(window.wnd, WM_APP, 0, 0);
    const DWORD start = GetTickCount();
    PumpMessagesFor(300);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 1500u);
    EXPECT_EQ(gDispatched, 2);
}

TEST(PumpMessagesFor, MessagesPostedDuringTheWaitAreHandledThen) {
    MessageWindow window;
    gDispatched = 0;
    HANDLE thread = CreateThread(nullptr, 0, PostAfterADelay, window.wnd, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    PumpMessagesFor(400);
    EXPECT_EQ(gDispatched, 1) << "a blocking wait must still wake for a posted message";
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
}

TEST(PumpMessagesFor, AQuitTakenDuringTheWaitIsPostedAgain) {
    PostQuitMessage(42);
    PumpMessagesFor(50);
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "WM_QUIT must survive the wait";
    EXPECT_EQ(msg.wParam, 42u);
}

TEST(PumpMessagesFor, ZeroReturnsAfterEmptyingTheQueue) {
    MessageWindow window;
    gDispatched = 0;
    PostMessageA(window.wnd, WM_APP, 0, 0);
    PumpMessagesFor(0);
    EXPECT_EQ(gDispatched, 1);
}

TEST(GetUserObjectName, NamesTheInteractiveStationAndMarksFailures) {
    EXPECT_EQ(GetUserObjectName(GetProcessWindowStation()), "WinSta0");
    EXPECT_EQ(GetUserObjectName(GetThreadDesktop(GetCurrentThreadId())), "Default");
    EXPECT_EQ(GetUserObjectName(nullptr), "???");
    EXPECT_EQ(GetUserObjectName(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7FFC))), "???");
}

TEST(MakeRect, KeepsItsArgumentsUnnormalised) {
    const RECT r = MakeRect(10, 20, 5, 1);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right, 5);
    EXPECT_EQ(r.bottom, 1);
    const POINT p = MakePoint(-3, 7);
    EXPECT_EQ(p.x, -3);
    EXPECT_EQ(p.y, 7);
}
