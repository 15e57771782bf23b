// Window station and desktop switching, seen from a driver process: the test process plays a
// service by moving into a window station of its own, and thread A starts on a desktop there.
// Each case must create no window before its switch: once a process has made a window on the
// service station's desktop, later threads start there and nothing reaches the screen.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "ImportPatch.h"
#include "TestSupport.h"
#include "WinHandles.h"

namespace quenda::test {
namespace {

constexpr const char* kServiceStation = "Service-0x0-3e7$";
constexpr const char* kInteractiveStation = "WinSta0";
constexpr const char* kInputDesktop = "Default";
// Not "Default": the platform would take a desktop of that name for the station's input desktop.
constexpr const char* kServiceDesktop = "QuendaServiceDesk";
constexpr const char* kSideDesktop = "QuendaSideDesk";

std::string ObjectName(HANDLE object) {
    char name[256] = {};
    DWORD needed = 0;
    if (!object) return "<no handle>";
    if (!GetUserObjectInformationA(object, UOI_NAME, name, sizeof name - 1, &needed))
        return "<unreadable, error " + std::to_string(GetLastError()) + ">";
    return name;
}

std::string ProcessStationName() { return ObjectName(GetProcessWindowStation()); }
std::string ThreadDesktopName(DWORD threadId) { return ObjectName(GetThreadDesktop(threadId)); }

// A desktop handle of its own for a thread. Wine closes a thread's desktop handle when the thread
// ends, so a thread must not be given the test's own handle.
std::shared_ptr<UniqueDesktop> DesktopForThread(HDESK desktop) {
    HANDLE copy = nullptr;
    if (desktop)
        DuplicateHandle(GetCurrentProcess(), desktop, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return std::make_shared<UniqueDesktop>(static_cast<HDESK>(copy));
}

// Places the calling thread on `desktop`; once placed the thread holds the handle.
DWORD EnterDesktop(UniqueDesktop& desktop) {
    if (!desktop) return ERROR_INVALID_HANDLE;
    if (!SetThreadDesktop(desktop.get())) return GetLastError();
    (void)desktop.release();
    return 0;
}

// What thread A saw of itself around its start call; read after it has been joined.
struct ThreadAReport {
    DWORD setDesktopError = 0;
    std::string desktopBefore;
    std::string desktopAfter;
    std::string stationAfter;
};

// Finds thread A's prompt from a thread placed on a given desktop (the platform lists only the
// windows of the caller's desktop), and posts the close from there when told to.
class PromptScout {
public:
    PromptScout(HDESK desktop, DWORD promptThread) : state_(std::make_shared<State>()) {
        state_->found.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        state_->close.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::shared_ptr<State> state = state_;
        std::shared_ptr<UniqueDesktop> own = DesktopForThread(desktop);
        thread_ = std::make_unique<AsyncCall>([state, own, promptThread] { Run(*state, *own, promptThread); });
    }
    PromptScout(const PromptScout&) = delete;
    PromptScout& operator=(const PromptScout&) = delete;
    ~PromptScout() {
        if (state_->close) SetEvent(state_->close.get());
    }

    // The prompt, or null when none appeared in time (then `Error` says why).
    [[nodiscard]] HWND WaitForPrompt() {
        if (!state_->found || !WaitForHandle(state_->found.get(), kWindowTimeoutMs + 1000)) return nullptr;
        return state_->prompt;
    }
    [[nodiscard]] std::string Error() const { return state_->error; }
    // Posts WM_CLOSE to the prompt from the scout's desktop and waits for the scout to end.
    [[nodiscard]] bool Close() {
        SetEvent(state_->close.get());
        return thread_->Join(kJoinTimeoutMs);
    }

private:
    struct State {
        UniqueKernelHandle found;
        UniqueKernelHandle close;
        HWND prompt = nullptr;  // written before `found` is set
        std::string error;
    };

    static void Run(State& state, UniqueDesktop& desktop, DWORD promptThread) {
        const double deadline = NowMs() + kWindowTimeoutMs;
        // Thread A may have the process in another station for a moment, where this desktop is
        // out of reach (error 5).
        DWORD error = 0;
        while ((error = EnterDesktop(desktop)) != 0 && NowMs() < deadline) WaitForSingleObject(state.close.get(), 10);
        if (error) {
            state.error = "SetThreadDesktop for the scout failed, error " + std::to_string(error);
        } else {
            while (!(state.prompt = FindThreadDialog(promptThread)) && NowMs() < deadline)
                WaitForSingleObject(state.close.get(), 10);
            if (!state.prompt) state.error = "no prompt of thread A on " + ThreadDesktopName(GetCurrentThreadId());
        }
        SetEvent(state.found.get());
        if (!state.prompt) return;
        WaitForSingleObject(state.close.get(), kJoinTimeoutMs + kWindowTimeoutMs);
        PostMessageA(state.prompt, WM_CLOSE, 0, 0);
    }

    std::shared_ptr<State> state_;
    std::unique_ptr<AsyncCall> thread_;
};

class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        originalStation_ = GetProcessWindowStation();
        ASSERT_EQ(ObjectName(originalStation_), kInteractiveStation) << "the test must start in WinSta0";
        std::string error;
        module_ = QuendaModule::Load(error);
        ASSERT_TRUE(module_) << error;
        api_ = module_->Api();
    }

    void TearDown() override {
        // Back before the owners close the test's own station and desktops.
        if (GetProcessWindowStation() != originalStation_) SetProcessWindowStation(originalStation_);
    }

    // Moves the process into a new window station and makes a desktop there for thread A.
    ::testing::AssertionResult EnterStation(const char* name) {
        const ::testing::AssertionResult entered = EnterStationOnly(name);
        if (!entered) return entered;
        threadDesktop_.reset(CreateDesktopA(kServiceDesktop, nullptr, nullptr, 0, MAXIMUM_ALLOWED, nullptr));
        if (!threadDesktop_)
            return ::testing::AssertionFailure() << "CreateDesktopA in " << name << " failed, error " << GetLastError();
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult EnterStationOnly(const char* name) {
        station_.reset(CreateWindowStationA(name, 0, MAXIMUM_ALLOWED, nullptr));
        if (!station_)
            return ::testing::AssertionFailure() << "CreateWindowStationA(" << name << ") failed, error " << GetLastError();
        if (!SetProcessWindowStation(station_.get()))
            return ::testing::AssertionFailure() << "SetProcessWindowStation failed, error " << GetLastError();
        if (ProcessStationName() != name)
            return ::testing::AssertionFailure() << "the process is in " << ProcessStationName() << ", not " << name
                                                 << " (station names are found regardless of case)";
        return ::testing::AssertionSuccess();
    }

    // Thread A starts on a second desktop of WinSta0, so that a move to the input desktop shows.
    ::testing::AssertionResult UseSideDesktop() {
        threadDesktop_.reset(CreateDesktopA(kSideDesktop, nullptr, nullptr, 0, MAXIMUM_ALLOWED, nullptr));
        if (!threadDesktop_)
            return ::testing::AssertionFailure() << "CreateDesktopA(" << kSideDesktop << ") failed, error " << GetLastError();
        return ::testing::AssertionSuccess();
    }

    // Thread A starts explicitly on WinSta0's "Default", whatever earlier cases did to the process.
    ::testing::AssertionResult UseInputDesktop() {
        threadDesktop_.reset(OpenDesktopA(kInputDesktop, 0, FALSE, MAXIMUM_ALLOWED));
        if (!threadDesktop_)
            return ::testing::AssertionFailure() << "OpenDesktopA(Default) failed, error " << GetLastError();
        return ::testing::AssertionSuccess();
    }

    // Thread A: placed on the test's desktop, then the start call; `params` must outlive the run.
    std::unique_ptr<PromptRun> StartOnThreadDesktop(const DlgParams* params, std::shared_ptr<ThreadAReport> report) {
        std::shared_ptr<UniqueDesktop> desktop = DesktopForThread(threadDesktop_.get());
        const StartDlgExFn startEx = api_.StartDlgEx;
        return std::make_unique<PromptRun>(Module(), [desktop, startEx, params, report] {
            if (*desktop) report->setDesktopError = EnterDesktop(*desktop);
            report->desktopBefore = ThreadDesktopName(GetCurrentThreadId());
            const uint32_t result = startEx(params, QUENDA_MODE_ENTER_PIN, 0, nullptr);
            report->desktopAfter = ThreadDesktopName(GetCurrentThreadId());
            report->stationAfter = ProcessStationName();
            return result;
        });
    }

    HMODULE Module() const { return module_->Handle(); }

    HWINSTA originalStation_ = nullptr;  // borrowed: the process's own
    std::optional<QuendaModule> module_;
    QuendaApi api_;
    UniqueWinStation station_;
    UniqueDesktop threadDesktop_;
};

// The prompt of a switched start call is on WinSta0's input desktop and reaches the screen: the
// left picture of the DLL shows 1:1 left of the labels.
void ExpectPromptOnInputDesktop(HMODULE module, PromptRun& run, HWND dialog) {
    EXPECT_EQ(ProcessStationName(), kInteractiveStation) << "process station during the prompt";
    EXPECT_EQ(ThreadDesktopName(run.ThreadId()), kInputDesktop) << "thread A's desktop during the prompt";
    UniqueDesktop input(OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED));
    ASSERT_TRUE(input) << "OpenInputDesktop failed, error " << GetLastError();
    EXPECT_EQ(ObjectName(input.get()), ObjectName(GetThreadDesktop(run.ThreadId())));
    EXPECT_TRUE(IsWindowVisible(dialog));

    std::optional<Picture> left = LoadResourcePicture(module, "BMP_BG_LEFT");
    ASSERT_TRUE(left) << "BMP_BG_LEFT cannot be read from Quenda.dll";
    ASSERT_EQ(left->Width(), kLeftWidth);
    std::optional<Picture> shot = SettledShot(dialog);
    ASSERT_TRUE(shot) << "the prompt did not settle on screen";
    ASSERT_GE(shot->Height(), kHeight);
    int differing = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kLabelLeft; ++x) differing += shot->Pixel(x, y) != left->Pixel(x, y);
    EXPECT_EQ(differing, 0) << "the background picture is not on screen: pixel (0,0) is "
                            << ColourText(shot->Pixel(0, 0)) << ", the picture's is " << ColourText(left->Pixel(0, 0));
}

// ---------------------------------------------------------------------------------------------
// A process already in WinSta0

using InteractiveStation = StationTest;

TEST_F(InteractiveStation, ThreadMovesToInputDesktopAndBack) {
    ASSERT_TRUE(UseSideDesktop());
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(nullptr, report);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt on the input desktop";
    ExpectPromptOnInputDesktop(Module(), *run, dialog);

    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->setDesktopError, 0u);
    EXPECT_EQ(report->desktopBefore, kSideDesktop);
    EXPECT_EQ(report->desktopAfter, kSideDesktop) << "thread A was not put back on its desktop";
    EXPECT_EQ(report->stationAfter, kInteractiveStation);
}

TEST_F(InteractiveStation, MissingDesktopShowsPromptOnCurrentDesktop) {
    ASSERT_TRUE(UseInputDesktop());
    DlgParams params = NewParams();
    params.Desktop = "QuendaNoSuchDesktop";
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(&params, report);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt on thread A's own desktop";
    ExpectPromptOnInputDesktop(Module(), *run, dialog);

    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->desktopAfter, kInputDesktop);
    EXPECT_EQ(report->stationAfter, kInteractiveStation);
}

// ---------------------------------------------------------------------------------------------
// A service in "Service-0x0-3e7$"

using ServiceStation = StationTest;

// Only the exact name leads to WinSta0; the process stays in its station, where the input desktop
// is not to be had, so thread A stays where it is. Thread A keeps the desktop it starts on,
// WinSta0's: a window on a desktop of this station would keep the station, whose name matches
// "Service-0x0-3e7$" regardless of case, alive for the later cases.
TEST_F(ServiceStation, NameDifferingInCaseIsNoService) {
    const char* lookalike = "service-0x0-3E7$";
    ASSERT_TRUE(EnterStationOnly(lookalike));
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(nullptr, report);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt on thread A's desktop";
    EXPECT_EQ(ProcessStationName(), lookalike) << "the process left its station";
    EXPECT_EQ(ThreadDesktopName(run->ThreadId()), kInputDesktop);

    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->setDesktopError, 0u);
    EXPECT_EQ(report->desktopAfter, kInputDesktop);
    EXPECT_EQ(report->stationAfter, lookalike);
}

TEST_F(ServiceStation, PromptMovesToInteractiveStationAndBack) {
    ASSERT_TRUE(EnterStation(kServiceStation));
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(nullptr, report);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt on WinSta0's desktop; process station " << ProcessStationName();
    ExpectPromptOnInputDesktop(Module(), *run, dialog);

    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->setDesktopError, 0u);
    EXPECT_EQ(report->desktopBefore, kServiceDesktop);
    EXPECT_EQ(report->desktopAfter, kServiceDesktop) << "thread A's desktop after the start call";
    EXPECT_EQ(report->stationAfter, kServiceStation) << "process station after the start call";
    EXPECT_EQ(ProcessStationName(), kServiceStation);
}

// Closed by EndDlg, which resets the stored record with its names: the way back must not depend
// on them.
TEST_F(ServiceStation, NamedStationAndDesktopUntilEndDlg) {
    ASSERT_TRUE(EnterStation(kServiceStation));
    DlgParams params = NewParams();
    params.WinStation = kInteractiveStation;
    params.Desktop = kInputDesktop;
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(&params, report);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt on WinSta0's desktop; process station " << ProcessStationName();
    ExpectPromptOnInputDesktop(Module(), *run, dialog);

    EXPECT_EQ(api_.EndDlg(QUENDA_END_PIN_OK), QUENDA_OK);
    ASSERT_TRUE(run->Join()) << "the start call did not return after EndDlg";
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->desktopBefore, kServiceDesktop);
    EXPECT_EQ(report->desktopAfter, kServiceDesktop);
    EXPECT_EQ(report->stationAfter, kServiceStation);
}

// ---------------------------------------------------------------------------------------------
// Handles

// Kernel handles of this process. Wine's GetProcessHandleCount answers 0, so every handle value
// of the table's low range is asked for its flags instead; the platform hands out the lowest free
// value, so a process with few handles keeps them all in that range.
class HandleCounter {
public:
    [[nodiscard]] static DWORD Count() {
        DWORD count = 0;
        for (uintptr_t value = 4; value < kProbeEnd; value += 4) {
            DWORD flags = 0;
            count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
        }
        return count;
    }

    // The counter must see ten events and a desktop come and go, or a leak check with it proves
    // nothing.
    [[nodiscard]] static ::testing::AssertionResult Works() {
        const DWORD before = Count();
        DWORD during = 0;
        {
            UniqueKernelHandle events[10];
            for (auto& event : events) event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
            const UniqueDesktop desktop(OpenDesktopA(kInputDesktop, 0, FALSE, MAXIMUM_ALLOWED));
            if (!desktop) return ::testing::AssertionFailure() << "OpenDesktopA failed, error " << GetLastError();
            during = Count();
        }
        const DWORD after = Count();
        if (before == 0 || during != before + 11 || after != before)
            return ::testing::AssertionFailure() << "the handle count does not follow: " << before << " -> "
                                                 << during << " with 11 more -> " << after;
        return ::testing::AssertionSuccess();
    }

private:
    static constexpr uintptr_t kProbeEnd = 0x4000;
};

// One thread A runs all the prompts: a thread's own handles (and Wine's closing of its desktop
// handle when it ends) stay out of the count.
constexpr int kCountedPrompts = 100;

struct PromptLoop {
    UniqueKernelHandle next;  // auto-reset: one start call per signal, then one to end
    std::atomic<int> returned{0};
    std::atomic<bool> failed{false};
    std::string failure;  // written before `returned` counts the call
};

TEST_F(ServiceStation, HundredSwitchedPromptsLeaveNoHandles) {
    ASSERT_TRUE(HandleCounter::Works());
    ASSERT_TRUE(EnterStation(kServiceStation));
    auto loop = std::make_shared<PromptLoop>();
    loop->next.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(loop->next);
    std::shared_ptr<UniqueDesktop> desktop = DesktopForThread(threadDesktop_.get());
    const StartDlgFn startDlg = api_.StartDlg;
    AsyncCall threadA([loop, desktop, startDlg] {
        const DWORD error = EnterDesktop(*desktop);
        for (int i = 0; i <= kCountedPrompts; ++i) {
            if (WaitForSingleObject(loop->next.get(), kJoinTimeoutMs) != WAIT_OBJECT_0) return;
            const uint32_t result = startDlg(QUENDA_MODE_ENTER_PIN, 0, nullptr);
            const std::string desktopAfter = ThreadDesktopName(GetCurrentThreadId());
            const std::string stationAfter = ProcessStationName();
            if (!loop->failed && (error || result != QUENDA_OK || desktopAfter != kServiceDesktop ||
                                  stationAfter != kServiceStation)) {
                loop->failure = "prompt " + std::to_string(i) + ": result " + std::to_string(result) +
                                ", thread A on " + desktopAfter + " in " + stationAfter +
                                ", SetThreadDesktop error " + std::to_string(error);
                loop->failed = true;
            }
            ++loop->returned;
        }
        // Alive until the count is taken: the thread's end closes its desktop handle.
        WaitForSingleObject(loop->next.get(), kJoinTimeoutMs);
    });
    ASSERT_TRUE(threadA.Started());
    const DWORD threadId = threadA.ThreadId();
    auto onePrompt = [&loop, threadId](int index, DWORD openMs) -> ::testing::AssertionResult {
        SetEvent(loop->next.get());
        HWND dialog = nullptr;
        (void)WaitUntil([&] { return (dialog = FindThreadDialog(threadId)) || loop->returned > index; },
                        kWindowTimeoutMs);
        if (!dialog) return ::testing::AssertionFailure() << "prompt " << index << " did not appear";
        PumpFor(openMs);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        if (!WaitUntil([&] { return loop->returned > index; }, kJoinTimeoutMs))
            return ::testing::AssertionFailure() << "prompt " << index << " did not close";
        if (loop->failed) return ::testing::AssertionFailure() << loop->failure;
        return ::testing::AssertionSuccess();
    };
    // Warm-up, open past a foreground tick: a thread's first wait for messages makes a handle that
    // lasts as long as the thread (Wine: its queue's), and a prompt closed at once may never wait.
    ASSERT_TRUE(onePrompt(0, 400));
    const DWORD before = HandleCounter::Count();
    for (int i = 1; i <= kCountedPrompts; ++i) ASSERT_TRUE(onePrompt(i, 0));
    EXPECT_EQ(HandleCounter::Count(), before) << "handles before and after " << kCountedPrompts << " prompts";
    SetEvent(loop->next.get());
    EXPECT_TRUE(threadA.Join(kJoinTimeoutMs));
}

// The library's window-station and desktop calls made on one thread while it is counted.
struct StationCalls {
    static inline std::atomic<DWORD> thread{0};
    static inline std::atomic<int> count{0};
    static inline HWINSTA(WINAPI* station)() = nullptr;
    static inline HDESK(WINAPI* desktop)(DWORD) = nullptr;
    static inline BOOL(WINAPI* close)(HDESK) = nullptr;
    static void Note() {
        if (GetCurrentThreadId() == thread.load()) ++count;
    }
    static HWINSTA WINAPI Station() {
        Note();
        return station();
    }
    static HDESK WINAPI Desktop(DWORD id) {
        Note();
        return desktop(id);
    }
    static BOOL WINAPI Close(HDESK handle) {
        Note();
        return close(handle);
    }
};

// A driver whose callback made a window on thread A keeps that thread on the prompt's desktop
// (SetThreadDesktop fails for a thread with windows), so the handle opened for the prompt is
// still in use after it. Once the thread has left that desktop, the next start call closes the
// handle: none is lost, cycle after cycle.
TEST_F(InteractiveStation, DesktopHeldByADriverWindowIsClosedOnceLeft) {
    ASSERT_TRUE(HandleCounter::Works());
    ASSERT_TRUE(UseSideDesktop());
    struct Cycle {
        UniqueKernelHandle parked;  // auto-reset: thread A has finished one cycle
        UniqueKernelHandle go;      // auto-reset: thread A may start the next
        HWND driverWindow = nullptr;  // thread A only
        std::string desktopAfterPrompt;
        DWORD leaveError = 0;
        int stationCalls = -1;
    };
    auto cycle = std::make_shared<Cycle>();
    cycle->parked.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    cycle->go.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(cycle->parked && cycle->go);
    CancelRecorder& recorder = CancelRecorder::First();
    recorder.Reset();
    recorder.SetAction([cycle] {
        cycle->driverWindow = CreateWindowExA(0, "STATIC", "driver", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                              nullptr, nullptr);
    });
    demo::ImportPatch stationPatch(Module(), "user32.dll", "GetProcessWindowStation",
                                   reinterpret_cast<void*>(&StationCalls::Station));
    demo::ImportPatch desktopPatch(Module(), "user32.dll", "GetThreadDesktop",
                                   reinterpret_cast<void*>(&StationCalls::Desktop));
    demo::ImportPatch closePatch(Module(), "user32.dll", "CloseDesktop",
                                 reinterpret_cast<void*>(&StationCalls::Close));
    ASSERT_TRUE(stationPatch.Applied() && desktopPatch.Applied() && closePatch.Applied());
    StationCalls::station = stationPatch.Original<HWINSTA(WINAPI*)()>();
    StationCalls::desktop = desktopPatch.Original<HDESK(WINAPI*)(DWORD)>();
    StationCalls::close = closePatch.Original<BOOL(WINAPI*)(HDESK)>();
    std::shared_ptr<UniqueDesktop> desktop = DesktopForThread(threadDesktop_.get());
    const StartDlgFn startDlg = api_.StartDlg;
    const StartDlgExFn startDlgEx = api_.StartDlgEx;
    const CancelCallback callback = recorder.Callback();
    AsyncCall threadA([cycle, desktop, startDlg, startDlgEx, callback] {
        if (EnterDesktop(*desktop) != 0) return;
        const HDESK side = GetThreadDesktop(GetCurrentThreadId());
        for (int i = 0; i < 2; ++i) {
            (void)startDlg(QUENDA_MODE_ENTER_PIN, 0, callback);
            // A start call while the prompt's desktop is still this thread's: the kept handle
            // stays open, and a call that makes no switch (refused for its record) makes no
            // station or desktop call at all.
            DlgParams negative{};
            negative.Size = -1;
            negative.Flags = QUENDA_FLAG_KEEP_DESKTOP;
            StationCalls::count = 0;
            StationCalls::thread = GetCurrentThreadId();
            (void)startDlgEx(&negative, QUENDA_MODE_ENTER_PIN, 0, nullptr);
            StationCalls::thread = 0;
            cycle->stationCalls = StationCalls::count.load();
            cycle->desktopAfterPrompt = ThreadDesktopName(GetCurrentThreadId());
            DestroyWindow(cycle->driverWindow);
            cycle->leaveError = SetThreadDesktop(side) ? 0 : GetLastError();
            (void)startDlg(QUENDA_MODE_ENTER_PIN, 0, nullptr);
            SetEvent(cycle->parked.get());
            if (WaitForSingleObject(cycle->go.get(), kJoinTimeoutMs) != WAIT_OBJECT_0) return;
        }
    });
    ASSERT_TRUE(threadA.Started());
    const DWORD threadId = threadA.ThreadId();
    DWORD counts[2] = {};
    for (int i = 0; i < 2; ++i) {
        HWND dialog = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (dialog = FindThreadDialog(threadId)) != nullptr; }, kWindowTimeoutMs))
            << "cycle " << i << ": no prompt";
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(recorder.WaitForCount(i + 1, kWindowTimeoutMs)) << "cycle " << i << ": no cancel";
        ASSERT_EQ(api_.EndDlg(QUENDA_END_CANCEL), QUENDA_OK);
        HWND next = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (next = FindThreadDialog(threadId)) != nullptr && next != dialog; },
                              kWindowTimeoutMs))
            << "cycle " << i << ": no second prompt";
        PostMessageA(next, WM_CLOSE, 0, 0);
        ASSERT_TRUE(WaitForHandle(cycle->parked.get(), kJoinTimeoutMs)) << "cycle " << i << ": thread A stuck";
        EXPECT_EQ(cycle->desktopAfterPrompt, kInputDesktop) << "the driver's window no longer keeps thread A there";
        EXPECT_EQ(cycle->leaveError, 0u);
        EXPECT_EQ(cycle->stationCalls, 0) << "a call without a switch made station or desktop calls";
        counts[i] = HandleCounter::Count();
        SetEvent(cycle->go.get());
    }
    EXPECT_TRUE(threadA.Join(kJoinTimeoutMs));
    EXPECT_EQ(counts[1], counts[0]) << "handles after one cycle and after the next";
    recorder.SetAction(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Prompts that stay in the service station, where no one can see them: found and closed from a
// thread on the service desktop. Last in the program: under Wine, once this process has made a
// window on a desktop of another station, its input desktop is that one and that station stays,
// so later cases in the same process would fail (ctest runs each case in a process of its own).

// Wine makes a new desktop's own window at its first use; two threads making that first use at
// once (thread A creating its prompt, the scout searching for it) can fail the prompt's creation
// with error 1400. The desktop is put to use once before thread A starts.
class ServicePromptOffScreen : public StationTest {
protected:
    ::testing::AssertionResult EnterServiceStationWithDesktopInUse() {
        const ::testing::AssertionResult entered = EnterStation(kServiceStation);
        if (!entered) return entered;
        std::shared_ptr<UniqueDesktop> own = DesktopForThread(threadDesktop_.get());
        auto used = std::make_shared<std::atomic<bool>>(false);
        AsyncCall user([own, used] { *used = EnterDesktop(*own) == 0 && GetDesktopWindow() != nullptr; });
        if (!user.Join(kJoinTimeoutMs) || !*used)
            return ::testing::AssertionFailure() << "the service desktop could not be put to use";
        return ::testing::AssertionSuccess();
    }
};

TEST_F(ServicePromptOffScreen, KeepDesktopFlagMakesNoSwitch) {
    ASSERT_TRUE(EnterServiceStationWithDesktopInUse());
    DlgParams params = NewParams();
    params.Flags = QUENDA_FLAG_KEEP_DESKTOP;
    params.WinStation = kInteractiveStation;  // ignored under the flag
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(&params, report);
    PromptScout scout(threadDesktop_.get(), run->ThreadId());
    ASSERT_NE(scout.WaitForPrompt(), nullptr) << scout.Error() << "; process station " << ProcessStationName();
    EXPECT_EQ(ProcessStationName(), kServiceStation) << "the flag must keep the process's station";
    EXPECT_EQ(ThreadDesktopName(run->ThreadId()), kServiceDesktop) << "the flag must keep thread A's desktop";

    ASSERT_TRUE(scout.Close());
    ASSERT_TRUE(run->Join()) << "the start call did not return after WM_CLOSE";
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->desktopAfter, kServiceDesktop);
    EXPECT_EQ(report->stationAfter, kServiceStation);
}

// The station was changed for the desktop step; a desktop that cannot be opened puts it back
// before the prompt is made.
TEST_F(ServicePromptOffScreen, MissingDesktopUndoesStationAtOnce) {
    ASSERT_TRUE(EnterServiceStationWithDesktopInUse());
    DlgParams params = NewParams();
    params.Desktop = "QuendaNoSuchDesktop";
    auto report = std::make_shared<ThreadAReport>();
    auto run = StartOnThreadDesktop(&params, report);
    PromptScout scout(threadDesktop_.get(), run->ThreadId());
    ASSERT_NE(scout.WaitForPrompt(), nullptr) << scout.Error() << "; process station " << ProcessStationName();
    EXPECT_EQ(ProcessStationName(), kServiceStation) << "the station was not put back at once";
    EXPECT_EQ(ThreadDesktopName(run->ThreadId()), kServiceDesktop);

    ASSERT_TRUE(scout.Close());
    ASSERT_TRUE(run->Join());
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(report->desktopAfter, kServiceDesktop);
    EXPECT_EQ(report->stationAfter, kServiceStation);
}

}  // namespace
}  // namespace quenda::test
