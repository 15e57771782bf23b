#include "QuendaMain.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "QuendaCallGate.h"
#include "QuendaDlg.h"
#include "QuendaRegistry.h"
#include "QuendaRules.h"
#include "QuendaTrace.h"
#include "QuendaUtil.h"
#include "WindowsVersions.h"

namespace quenda {

namespace {

constexpr uint32_t kOk = QUENDA_OK;
constexpr uint32_t kRefused = QUENDA_INVALID_PARAMETER;
constexpr uint32_t kOutcomeMillis = 2000;
constexpr const char* kServiceStation = "Service-0x0-3e7$";
constexpr const char* kInteractiveStation = "WinSta0";

std::atomic<uint32_t> gActiveMode{0};
std::atomic<CancelCallback> gActiveCallback{nullptr};
// The unload's own steps: the close, the calls' way out, and their last instructions. With the
// two seconds of the outcome before them, an unload ends within about eight seconds.
constexpr DWORD kUnloadCloseMillis = 2000;
constexpr DWORD kUnloadLeaveMillis = 3000;
constexpr DWORD kUnloadTailMillis = 1000;
// A start call that finds the previous prompt closed waits this long for its call to leave.
constexpr DWORD kPreviousCallMillis = 5000;

// Handles opened for a switch that were still current when the prompt was done with them:
// SetThreadDesktop fails for a thread that owns a window (a driver's callback may have made one
// on thread A), and a handle in use cannot be closed. Each is closed once it is no longer
// current, at a later start call or at the unload.
struct KeptDesktop {
    UniqueDesktop desktop;
    DWORD threadId = 0;
};
CriticalSection gKeptLock;
std::vector<KeptDesktop> gKeptDesktops;     // guarded by gKeptLock
std::vector<UniqueWinStation> gKeptStations;  // guarded by gKeptLock

// ActiveParams is read by driver threads (texts for key events and outcomes) while start calls
// and EndDlg write it; the generation tells EndDlg whether a newer start call owns it by now.
CriticalSection gParamsLock;
DlgParams gActiveParams;
uint64_t gParamsGeneration = 0;

struct Outcome {
    int textId;
    COLORREF color;
};

std::optional<Outcome> OutcomeOf(uint32_t endResult) {
    switch (endResult) {
        case QUENDA_END_CANCEL: return Outcome{QUENDA_TEXT_END_CANCEL, RGB(128, 0, 0)};
        case QUENDA_END_TIMEOUT: return Outcome{QUENDA_TEXT_END_TIMEOUT, RGB(128, 0, 0)};
        case QUENDA_END_PIN_OK: return Outcome{QUENDA_TEXT_PIN_OK, RGB(0, 0, 0)};
        case QUENDA_END_PIN_ERROR: return Outcome{QUENDA_TEXT_PIN_ERROR, RGB(128, 0, 0)};
        case QUENDA_END_NO_MATCH: return Outcome{QUENDA_TEXT_PIN_NO_MATCH, RGB(128, 0, 0)};
        default: return std::nullopt;
    }
}

int PromptTextOf(uint32_t mode) {
    switch (mode) {
        case QUENDA_MODE_ENTER_PIN: return QUENDA_TEXT_ENTER_PIN;
        case QUENDA_MODE_OLD_PIN: return QUENDA_TEXT_OLD_PIN;
        case QUENDA_MODE_NEW_PIN: return QUENDA_TEXT_NEW_PIN;
        default: return 0;
    }
}

uint32_t Refuse(const char* why) {
    QUENDA_TRACE("refused", "87: %s", why);
    return kRefused;
}

// Holds a line until the dialog lock taken after it is let go: no trace is written under it.
class LateTrace {
public:
    LateTrace() = default;
    LateTrace(const LateTrace&) = delete;
    LateTrace& operator=(const LateTrace&) = delete;
    ~LateTrace() {
        if (refusal_) Refuse(refusal_);
        if (keyNoted_) QUENDA_TRACE("key", "event %u handled, echo length %zu", event_, echoLength_);
    }
    uint32_t Refuse(const char* why) {
        refusal_ = why;
        return kRefused;
    }
    void NoteKey(uint32_t event, size_t echoLength) {
        keyNoted_ = true;
        event_ = event;
        echoLength_ = echoLength;
    }

private:
    const char* refusal_ = nullptr;
    bool keyNoted_ = false;
    uint32_t event_ = 0;
    size_t echoLength_ = 0;
};

// A start call's refusal, traced under the export's name.
uint32_t Refuse(const char* exportName, const char* why) {
    QUENDA_TRACE(exportName, "answer 87: %s", why);
    return kRefused;
}

const char* WhyRefused(ParamsResult taking) {
    return taking == ParamsResult::NegativeSize ? "negative Size" : "ExtraWidth overflows the band width";
}

void NotifyCancel() {
    const CancelCallback callback = gActiveCallback.load();
    QUENDA_TRACE("cancel", "button clicked, callback %p", reinterpret_cast<void*>(callback));
    if (!callback) return;
    HWND button = nullptr;
    {
        const OpenDialog dialog;
        button = dialog.Button();
    }
    if (button) EnableWindow(button, FALSE);
    callback(1);
}

void KeepWhileCurrent(UniqueDesktop desktop) noexcept {
    // Windows leaves a thread's desktop handle open when the thread ends; Wine closes it, after
    // which a close of ours could hit a handle that reuses the value. Protected, the handle
    // survives Wine's close too, and CloseKeptHandles lifts the protection before it closes.
    SetHandleInformation(desktop.get(), HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    try {
        std::lock_guard guard(gKeptLock);
        gKeptDesktops.push_back(KeptDesktop{std::move(desktop), GetCurrentThreadId()});
    } catch (...) {
        // No memory to remember it: the close fails while it is current, and the handle stays.
    }
}

void KeepWhileCurrent(UniqueWinStation station) noexcept {
    try {
        std::lock_guard guard(gKeptLock);
        gKeptStations.push_back(std::move(station));
    } catch (...) {
    }
}

}  // namespace

void CloseKeptHandles() noexcept {
    std::lock_guard guard(gKeptLock);
    // With nothing kept no station or desktop call is made: Flags bit 0 promises none.
    if (gKeptDesktops.empty() && gKeptStations.empty()) return;
    std::erase_if(gKeptDesktops, [](KeptDesktop& kept) {
        // A thread that has ended has no desktop any more, and its handle is still ours to close:
        // see KeepWhileCurrent.
        if (GetThreadDesktop(kept.threadId) == kept.desktop.get()) return false;
        SetHandleInformation(kept.desktop.get(), HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
        return true;
    });
    if (gKeptStations.empty()) return;
    const HWINSTA station = GetProcessWindowStation();
    std::erase_if(gKeptStations, [station](const UniqueWinStation& kept) { return kept.get() != station; });
}

namespace {

// At detach: a protected handle must never be closed (under a debugger that raises an exception),
// and a static destructor would close what is still kept. What CloseKeptHandles could not close,
// and at process exit everything, goes to the process.
void GiveUpKeptHandles() noexcept {
    std::lock_guard guard(gKeptLock);
    for (KeptDesktop& kept : gKeptDesktops) (void)kept.desktop.release();
    for (UniqueWinStation& kept : gKeptStations) (void)kept.release();
    gKeptDesktops.clear();
    gKeptStations.clear();
}

}  // namespace

std::string GetDialogText(int textId) {
    const char* driverText = nullptr;
    if (textId >= 1 && textId <= QUENDA_TEXT_COUNT) {
        std::lock_guard guard(gParamsLock);
        driverText = gActiveParams.Texts[textId - 1];
    }
    if (driverText) {
        QUENDA_TRACE("text", "%d from the driver, length %zu", textId, std::strlen(driverText));
        return std::string(driverText);
    }
    return GetCatalogueText(textId);
}

DlgParams ActiveParamsSnapshot() {
    std::lock_guard guard(gParamsLock);
    return gActiveParams;
}

uint32_t ActiveModeValue() { return gActiveMode.load(); }

namespace {

CallGate gGate;

// Runs on the dialog's thread when its prompt has closed.
void MarkPromptClosed() { gGate.PromptClosed(); }

// The hold of the accepted start call, dropped as soon as its prompt is up (or at its end).
std::atomic<HMODULE> gPromptHold{nullptr};

void DropPromptHold() noexcept { LetGoOfLibraryLater(gPromptHold.exchange(nullptr)); }

}  // namespace

bool StartCallRunning() { return gGate.StartCallInside(); }

void InitMainModule() noexcept {
    gGate.Reset();
    gActiveMode.store(0);
    gActiveCallback.store(nullptr);
    std::lock_guard guard(gParamsLock);
    ResetParams(gActiveParams);
}

// A start call traces its own answer: once it has signalled that it left, an unload may take
// the library's code away.
uint32_t StartDialog(HMODULE hold, const DlgParams* params, uint32_t mode, CancelCallback callback,
                     const char* exportName) {
    const ScopeExit dropHold([&hold] { LetGoOfLibraryLater(hold); });
    const int promptId = PromptTextOf(mode);
    if (promptId == 0) return Refuse(exportName, "invalid mode");
    switch (gGate.EnterStart(GetTickCount64() + kPreviousCallMillis)) {
        case Entry::Entered:
            break;
        case Entry::Unloading:
            QUENDA_TRACE(exportName, "answer 0 at once: unloading");
            return kOk;
        case Entry::PromptOpen:
            QUENDA_TRACE(exportName, "answer 0 at once: another start call runs");
            return kOk;
    }
    const char* refusal = nullptr;
    const ScopeExit endOfCall([exportName, &refusal] {
        if (refusal)
            QUENDA_TRACE(exportName, "answer 87: %s", refusal);
        else
            QUENDA_TRACE(exportName, "answer 0, leaving the library");
        DropPromptHold();
        gGate.LeaveStart();
    });

    DlgParams taken;
    ParamsResult taking = ParamsResult::Ok;
    {
        std::lock_guard guard(gParamsLock);
        taking = TakeDriverParams(params, gActiveParams);
        if (taking == ParamsResult::Ok) {
            ++gParamsGeneration;
            taken = gActiveParams;
        }
    }
    if (taking != ParamsResult::Ok) {
        refusal = WhyRefused(taking);
        return kRefused;
    }
    TraceTakenRecord(params, taken);
    gActiveMode.store(mode);
    gActiveCallback.store(callback);

    DesktopSwitch desktopSwitch;
    if ((taken.Flags & QUENDA_FLAG_KEEP_DESKTOP) == 0 && IsWinNT()) {
        // Only where a switch is made: Flags bit 0 promises no station or desktop call at all.
        CloseKeptHandles();
        desktopSwitch.SwitchToUserDesktop(taken.WinStation, taken.Desktop);
    } else
        QUENDA_TRACE("station", "no switch: %s", IsWinNT() ? "Flags keep the desktop" : "not Windows NT");

    DialogSetup setup;
    setup.MiddleWidth = taken.ExtraWidth;
    setup.PromptTop = taken.PromptTop;
    setup.EchoTop = taken.EchoTop;
    setup.ResultTop = taken.ResultTop;
    setup.PromptText = GetDialogText(promptId);
    SetCancelHandler(&NotifyCancel);
    setup.ButtonCaption = GetDialogText(QUENDA_TEXT_CANCEL);
    setup.OnShown = &DropPromptHold;
    setup.OnClosed = &MarkPromptClosed;
    gPromptHold.store(std::exchange(hold, nullptr));
    RunPinDialog(std::move(setup));
    MarkPromptClosed();
    return kOk;
}

uint32_t KeyPressed(uint32_t keyEvent) {
    if (!gGate.EnterOther()) return Refuse("the library is being unloaded");
    const ScopeExit leave([] { gGate.LeaveOther(); });
    if (!IsPinDialogOpen()) return Refuse("no prompt open");
    std::optional<std::string> prompt;
    if (keyEvent == QUENDA_KEY_NEW_PIN) prompt = GetDialogText(QUENDA_TEXT_NEW_PIN);
    if (keyEvent == QUENDA_KEY_CONFIRM_PIN) prompt = GetDialogText(QUENDA_TEXT_CONFIRM_PIN);

    LateTrace late;
    // Held across the read-modify-write of the echo so that concurrent digits are all counted.
    const OpenDialog dialog;
    if (!dialog.IsOpen()) return late.Refuse("no prompt open");
    switch (keyEvent) {
        case QUENDA_KEY_DIGIT:
            dialog.EchoLabel().SetText(EchoWithDigit(dialog.EchoLabel().Text()));
            break;
        case QUENDA_KEY_CLEAR:
            dialog.EchoLabel().SetText("");
            break;
        case QUENDA_KEY_BACKSPACE:
            dialog.EchoLabel().SetText(EchoWithBackspace(dialog.EchoLabel().Text()));
            break;
        case QUENDA_KEY_NEW_PIN:
        case QUENDA_KEY_CONFIRM_PIN:
            dialog.SetPromptText(*prompt);
            dialog.EchoLabel().SetText("");
            dialog.SetResultText("");
            break;
        default:
            break;
    }
    if (TraceOn()) late.NoteKey(keyEvent, dialog.EchoLabel().Text().size());
    return kOk;
}

namespace {

// Once the prompt is found, every step runs and the close is always reached: a failure on the
// way (no memory for the outcome text) costs that step only, never the close.
uint32_t EndDialogImpl(uint32_t endResult, bool unloading) {
    gActiveCallback.store(nullptr);
    HWND wnd = nullptr;
    HWND button = nullptr;
    uint64_t generation = 0;
    {
        LateTrace late;
        const OpenDialog dialog;
        if (!dialog.IsOpen()) return late.Refuse("no prompt open");
        wnd = dialog.Window();
        button = dialog.Button();
        // In the same step: a prompt closed and a new start call made meanwhile own newer params.
        {
            std::lock_guard guard(gParamsLock);
            generation = gParamsGeneration;
        }
        try {
            dialog.EchoLabel().SetText("");
        } catch (...) {
        }
    }
    if (button) {
        // Disabling a window of the dialog's thread waits for that thread; the unload may not.
        if (unloading)
            PostDisableButton(wnd);
        else
            EnableWindow(button, FALSE);
    }
    if (const auto outcome = OutcomeOf(endResult)) {
        std::optional<std::string> text;
        try {
            text = GetDialogText(outcome->textId);
        } catch (...) {
            QUENDA_TRACE("EndDlg", "text %d could not be had: the outcome is shown without it", outcome->textId);
        }
        const OpenDialog dialog;
        if (dialog.IsOpen() && dialog.Window() == wnd) {
            try {
                if (text) dialog.SetResultText(*text);
            } catch (...) {
            }
            dialog.SetResultColor(outcome->color);
        }
    }
    QUENDA_TRACE("close", "outcome %u on screen for %u ms, then EndDlg closes prompt %p", endResult,
                 kOutcomeMillis, static_cast<void*>(wnd));
    PumpMessagesFor(kOutcomeMillis);
    // Only the prompt this call showed the outcome on: one opened since is not ours to close.
    ClosePinDialog(wnd, unloading ? kUnloadCloseMillis : INFINITE);
    {
        std::lock_guard guard(gParamsLock);
        if (gParamsGeneration == generation) ResetParams(gActiveParams);
    }
    return kOk;
}

}  // namespace

uint32_t EndDialogWith(uint32_t endResult) {
    if (!gGate.EnterOther()) return Refuse("the library is being unloaded");
    const ScopeExit leave([] { gGate.LeaveOther(); });
    return EndDialogImpl(endResult, false);
}

namespace {

// A line that had begun when the unload switched the trace off can take this long to come back
// from a reader that stopped reading.
constexpr DWORD kTraceLineMillis = 10500;

bool InOwnImage(uintptr_t address) {
    const auto base = reinterpret_cast<uintptr_t>(ThisModule());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return address >= base && address - base < nt->OptionalHeader.SizeOfImage;
}

uintptr_t InstructionPointer(const CONTEXT& context) {
#if defined(__i386__)
    return context.Eip;
#elif defined(__x86_64__)
    return context.Rip;
#else
    return context.Pc;
#endif
}

// No other thread of the process executes the library's code. Each one is stopped only while
// its instruction pointer is read; nothing else runs meanwhile that could wait for it.
bool NoOtherThreadInImage() {
    const HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (taken == INVALID_HANDLE_VALUE) return true;
    const UniqueKernelHandle snapshot(taken);
    const DWORD process = GetCurrentProcessId();
    const DWORD self = GetCurrentThreadId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self) continue;
        const UniqueKernelHandle thread(
            OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID));
        if (!thread || SuspendThread(thread.get()) == static_cast<DWORD>(-1)) continue;
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        const BOOL read = GetThreadContext(thread.get(), &context);
        ResumeThread(thread.get());
        if (read && InOwnImage(InstructionPointer(context))) return false;
    }
    return true;
}

// Every call in from outside (the exports, every method of the screen-reader provider) lowers
// its count as its last statement, after which only its own return runs: once the count is zero
// and no thread's instruction pointer is in the image, no thread will return into it. The count
// gets what is left of the calls' bound; the instruction pointers a bound of their own.
void WaitForLastInstructions(ULONGLONG callsDeadline) {
    while (detail::gCallsIn.load(std::memory_order_acquire) != 0 && GetTickCount64() < callsDeadline)
        Sleep(1);
    const ULONGLONG deadline = GetTickCount64() + kUnloadTailMillis;
    while (detail::gCallsIn.load(std::memory_order_acquire) != 0 || !NoOtherThreadInImage()) {
        if (GetTickCount64() >= deadline) return;
        Sleep(1);
    }
}

}  // namespace

// The unload runs under the loader lock. A start call holds the library from its first statement
// until its prompt has been painted and shown and its opening announced, so an unload finds thread
// A either outside the library, with its prompt up, or on its way out after the prompt closed.
// Tracing stops first: a debug-output reader that stopped reading would hold each line for ten
// seconds. No call enters from here on; a prompt still open shows the cancel outcome and is closed,
// and the unload waits, each step bounded, until every call has left and run its last instructions.
// When the process is exiting the other threads are already gone: nothing is pumped, sent or
// awaited then.
//
// What thread A does from here until it leaves, and what Microsoft documents of it:
// - The outcome's repaint (WM_PAINT, the button's WM_DRAWITEM after the posted disable):
//   BeginPaint/EndPaint, CreateCompatibleDC, SelectObject, BitBlt, StretchBlt, FillRect,
//   CreateFontIndirectA and DrawTextA, EnableWindow. Their pages say nothing of the loader lock.
//   Resource loading is taken off the way: a resource may come from "an accompanying MUI file"
//   of the module (FindResourceEx), a module of its own, so the bitmaps are loaded with the prompt, while the
//   library is held, and freed at its close. Wine's first DrawText loads; it is made before the
//   prompt can be found (PrimeTextDrawing).
// - The text change (the posted WM_APP+1): nothing once the unload has begun. SetWindowTextA and
//   NotifyWinEvent raise WinEvents, and an in-context hook (SetWinEventHook with
//   WINEVENT_INCONTEXT) is a DLL that the system maps into the process raising the event; UI
//   Automation events and the provider's name change are left out with them.
// - The close (WM_CLOSE, sent with a 2 s bound): KillTimer, DestroyWindow of the button,
//   EndDialog; DialogBoxParamA then destroys the window. The pages say nothing of the loader lock;
//   the WinEvents the system raises for a destroyed window reach hooks that are loaded already.
// - The UI Automation disconnect (UiaReturnRawElementProvider with a null provider, then
//   UiaDisconnectProvider), after the window is gone: their pages say nothing of the loader
//   lock; the module is loaded and resolved before the prompt opens, and the provider answers
//   UIA_E_ELEMENTNOTAVAILABLE from the unload on. A client reference that outlives the unload
//   cannot be helped (docs/INTEGRATION.md).
// - The way out: SetThreadDpiAwarenessContext, SetProcessWindowStation, SetThreadDesktop,
//   GetThreadDesktop, SetHandleInformation; no trace line (the trace is off).
void FinalizeMainModule(bool processExiting) noexcept {
    if (processExiting) {
        GiveUpKeptHandles();
        return;
    }
    StopTracing();
    gGate.BeginUnload();
    BeginDialogUnload();
    try {
        EndDialogImpl(QUENDA_END_CANCEL, true);
    } catch (...) {
    }
    const ULONGLONG callsDeadline = GetTickCount64() + kUnloadLeaveMillis;
    bool left = gGate.WaitUntilEmpty(callsDeadline);
    if (!left && TraceLineInFlight()) left = gGate.WaitUntilEmpty(GetTickCount64() + kTraceLineMillis);
    WaitForLastInstructions(callsDeadline);
    if (left) CloseKeptHandles();
    GiveUpKeptHandles();
}

void DesktopSwitch::SwitchToUserDesktop(const char* winStation, const char* desktop) {
    savedStation_ = GetProcessWindowStation();
    const std::string currentName = GetUserObjectName(savedStation_);
    savedDesktop_ = GetThreadDesktop(GetCurrentThreadId());

    const char* target = nullptr;
    if (currentName == (winStation ? winStation : "")) {
        savedStation_ = nullptr;
    } else if (winStation) {
        target = winStation;
    } else if (currentName == kServiceStation) {
        target = kInteractiveStation;
    } else {
        savedStation_ = nullptr;
    }
    QUENDA_TRACE("station", "current %s, asked %s, target %s, desktop %s", currentName.c_str(),
                 winStation ? winStation : "(none)", target ? target : "(stay)", desktop ? desktop : "(input)");
    if (target) {
        openedStation_.reset(OpenWindowStationA(target, FALSE, MAXIMUM_ALLOWED));
        if (!openedStation_)
            QUENDA_TRACE("station", "OpenWindowStationA(%s) failed, error %lu", target, GetLastError());
        else if (!SetProcessWindowStation(openedStation_.get()))
            QUENDA_TRACE("station", "SetProcessWindowStation(%s) failed, error %lu", target, GetLastError());
    }

    openedDesktop_.reset(desktop ? OpenDesktopA(desktop, 0, FALSE, MAXIMUM_ALLOWED)
                                 : OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED));
    if (!openedDesktop_ || !SetThreadDesktop(openedDesktop_.get())) {
        QUENDA_TRACE("station", "%s(%s) failed, error %lu; putting both back now",
                     openedDesktop_ ? "SetThreadDesktop" : desktop ? "OpenDesktopA" : "OpenInputDesktop",
                     desktop ? desktop : "", GetLastError());
        RestoreStationAndDesktop();
        return;
    }
    switched_ = true;
    QUENDA_TRACE("station", "switched: thread on desktop %s until the prompt closes", desktop ? desktop : "(input)");
}

void DesktopSwitch::Restore() {
    if (!switched_) return;
    switched_ = false;
    RestoreStationAndDesktop();
}

void DesktopSwitch::RestoreStationAndDesktop() {
    if (savedStation_ && !SetProcessWindowStation(savedStation_))
        QUENDA_TRACE("station", "restore: SetProcessWindowStation failed, error %lu", GetLastError());
    if (savedDesktop_ && !SetThreadDesktop(savedDesktop_))
        QUENDA_TRACE("station", "restore: SetThreadDesktop failed, error %lu", GetLastError());
    QUENDA_TRACE("station", "restored %s", savedStation_ ? "window station and desktop" : "desktop");
    // A handle still current cannot be closed now; one that is not is done with.
    if (openedDesktop_ && GetThreadDesktop(GetCurrentThreadId()) == openedDesktop_.get()) {
        QUENDA_TRACE("station", "the opened desktop is still thread A's: kept until it is not");
        KeepWhileCurrent(std::move(openedDesktop_));
    }
    openedDesktop_.reset();
    if (openedStation_ && GetProcessWindowStation() == openedStation_.get())
        KeepWhileCurrent(std::move(openedStation_));
    openedStation_.reset();
}

}  // namespace quenda
