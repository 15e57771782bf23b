#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "QuendaCallGate.h"
#include "QuendaTrace.h"
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

namespace {

std::string TraceLineOf(const char* step, const char* format, ...) {
    char out[kTraceLineMax];
    std::memset(out, 'X', sizeof out);
    va_list args;
    va_start(args, format);
    const size_t length = FormatTraceLine(out, sizeof out, 12, 34, step, format, args);
    va_end(args);
    EXPECT_EQ(out[length], '\0');
    return std::string(out, length);
}

}  // namespace

// A trace line must survive whatever text a driver or the registry hands over.
TEST(TraceLine, PrefixNumbersAndTextsThatCannotBreakIt) {
    EXPECT_EQ(TraceLineOf("EndDlg", "outcome %u, %d, 0x%04x, %lu, %zu, %c%%", 3u, -87, 0x2au, 4294967295ul,
                          static_cast<size_t>(17), 'k'),
              "Quenda 12 34 EndDlg: outcome 3, -87, 0x002a, 4294967295, 17, k%\n");
    EXPECT_EQ(TraceLineOf("station", "%s|%s", static_cast<const char*>(nullptr), "Wei\xDF\r\n\t."),
              "Quenda 12 34 station: (null)|Wei????.\n");
    EXPECT_EQ(TraceLineOf("record", "%p", reinterpret_cast<void*>(0xab0)), "Quenda 12 34 record: 0xab0\n");

    const std::string longText(5000, 'a');
    const std::string capped = TraceLineOf("text", "%s and more", longText.c_str());
    EXPECT_EQ(capped.size(), kTraceLineMax - 1);
    EXPECT_EQ(capped.substr(capped.size() - 4), "...\n");
}

// The unload's view of who is inside: once it has begun nothing enters, and a wait for the calls
// inside ends when the last one leaves, not at its deadline.
struct Leaver {
    CallGate* gate = nullptr;
    ULONGLONG leftAt = 0;
};

DWORD WINAPI LeaveAfterADelay(LPVOID parameter) {
    auto* leaver = static_cast<Leaver*>(parameter);
    Sleep(400);
    leaver->leftAt = GetTickCount64();
    leaver->gate->LeaveOther();
    return 0;
}

TEST(CallGateUnload, RefusesEntryAndWakesWhenTheLastCallLeaves) {
    CallGate gate;
    ASSERT_TRUE(gate.EnterOther());
    Leaver leaver{&gate};
    const HANDLE thread = CreateThread(nullptr, 0, LeaveAfterADelay, &leaver, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(gate.WaitUntilEmpty(start + 2000));
    const ULONGLONG woke = GetTickCount64();
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    ASSERT_NE(leaver.leftAt, 0u);
    EXPECT_GE(woke, leaver.leftAt) << "the wait ended before the call had left";
    EXPECT_LT(woke - leaver.leftAt, 100u) << "woken at the deadline, not when the call left";

    gate.BeginUnload();
    EXPECT_EQ(gate.EnterStart(GetTickCount64() + 100), Entry::Unloading);
    EXPECT_FALSE(gate.EnterOther());
    EXPECT_FALSE(gate.StartCallInside());
}
