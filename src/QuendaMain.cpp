#include "QuendaMain.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

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
constexpr DWORD kUnloadCloseMillis = 5000;
constexpr DWORD kUnloadReturnMillis = 5000;
// A start call that finds the previous prompt closed waits this long for its call to leave.
constexpr DWORD kPreviousCallMillis = 5000;
// Waits on the wake-up event are cut into slices: the state word, not the event, is the truth.
constexpr DWORD kWaitSliceMillis = 20;

// The start calls in one word, so that every check and the step it allows are one atomic change.
constexpr uint32_t kCallInside = 1;   // an accepted start call is inside the library
constexpr uint32_t kCallLeaving = 2;  // ...and its prompt has closed: it is on its way out
constexpr uint32_t kUnloading = 4;    // the library is being unloaded: no call enters any more
std::atomic<uint32_t> gCallState{0};
// Set whenever a start call leaves; wakes the calls and the unload that wait for that.
UniqueKernelHandle gCallLeft;
// The thread of the call inside: a start call made from its own callback must not wait for it.
std::atomic<DWORD> gCallThread{0};

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

uint32_t StartRefused(const char* exportName, const char* why) {
    QUENDA_TRACE(exportName, "answer 87: %s", why);
    return kRefused;
}

const char* RefusalOf(ParamsResult taking) {
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
    std::erase_if(gKeptDesktops, [](KeptDesktop& kept) {
        const HDESK current = GetThreadDesktop(kept.threadId);
        if (current == kept.desktop.get()) return false;
        // No desktop: the thread has ended. Wine closes a thread's desktop handle then, and a
        // second close could hit a handle that reuses the value.
        if (!current) (void)kept.desktop.release();
        return true;
    });
    const HWINSTA station = GetProcessWindowStation();
    std::erase_if(gKeptStations, [station](const UniqueWinStation& kept) { return kept.get() != station; });
}

void InitMainModule() noexcept {
    gCallLeft.reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    gCallState.store(0);
    gActiveMode.store(0);
    gActiveCallback.store(nullptr);
    std::lock_guard guard(gParamsLock);
    ResetParams(gActiveParams);
}

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

enum class Entry { Entered, PromptOpen, Unloading };

// Sleeps on the wake-up event for at most one slice of what is left until `deadline`.
bool WaitSliceUntil(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kWaitSliceMillis));
    if (gCallLeft) WaitForSingleObject(gCallLeft.get(), slice);
    else Sleep(slice);
    return true;
}

// One accepted start call at a time. A call that comes while the previous prompt is open is
// answered at once; one that comes after that prompt closed waits (bounded) for its call to
// restore the desktop and leave, since the driver has every reason to think it done.
Entry EnterStartCall() {
    const ULONGLONG deadline = GetTickCount64() + kPreviousCallMillis;
    bool waited = false;
    for (;;) {
        uint32_t state = gCallState.load();
        if (state & kUnloading) return Entry::Unloading;
        if (state == 0) {
            if (gCallState.compare_exchange_weak(state, kCallInside)) {
                gCallThread.store(GetCurrentThreadId());
                if (gCallLeft) ResetEvent(gCallLeft.get());
                return Entry::Entered;
            }
            continue;
        }
        if (!(state & kCallLeaving) || gCallThread.load() == GetCurrentThreadId()) return Entry::PromptOpen;
        if (!waited) QUENDA_TRACE("start", "the previous prompt has closed: waiting for its call to leave");
        waited = true;
        if (!WaitSliceUntil(deadline)) return Entry::PromptOpen;
    }
}

void LeaveStartCall() {
    gCallThread.store(0);
    gCallState.fetch_and(kUnloading);
    if (gCallLeft) SetEvent(gCallLeft.get());
}

// Runs on the dialog's thread when its prompt has closed.
void MarkPromptClosed() { gCallState.fetch_or(kCallLeaving); }

}  // namespace

bool StartCallRunning() { return (gCallState.load() & kCallInside) != 0; }

// A start call traces its own answer: once it has signalled that it left, an unload may take
// the library's code away.
uint32_t StartDialog(const DlgParams* params, uint32_t mode, CancelCallback callback,
                     const char* exportName) {
    const int promptId = PromptTextOf(mode);
    if (promptId == 0) return StartRefused(exportName, "invalid mode");
    switch (EnterStartCall()) {
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
        LeaveStartCall();
    });
    CloseKeptHandles();

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
        refusal = RefusalOf(taking);
        return kRefused;
    }
    TraceTakenRecord(params, taken);
    gActiveMode.store(mode);
    gActiveCallback.store(callback);

    DesktopSwitch desktopSwitch;
    if ((taken.Flags & QUENDA_FLAG_KEEP_DESKTOP) == 0 && IsWinNT())
        desktopSwitch.SwitchToUserDesktop(taken.WinStation, taken.Desktop);
    else
        QUENDA_TRACE("station", "no switch: %s", IsWinNT() ? "Flags keep the desktop" : "not Windows NT");

    DialogSetup setup;
    setup.MiddleWidth = taken.ExtraWidth;
    setup.PromptTop = taken.PromptTop;
    setup.EchoTop = taken.EchoTop;
    setup.ResultTop = taken.ResultTop;
    setup.PromptText = GetDialogText(promptId);
    SetCancelHandler(&NotifyCancel);
    setup.ButtonCaption = GetDialogText(QUENDA_TEXT_CANCEL);
    setup.OnClosed = &MarkPromptClosed;
    if (!(gCallState.load() & kUnloading)) RunPinDialog(std::move(setup));
    MarkPromptClosed();
    return kOk;
}

uint32_t KeyPressed(uint32_t keyEvent) {
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
            dialog.PromptLabel().SetText(*prompt);
            dialog.EchoLabel().SetText("");
            dialog.ResultLabel().SetText("");
            PostPromptTextChanged(dialog.Window());
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
                if (text) dialog.ResultLabel().SetText(*text);
            } catch (...) {
            }
            dialog.ResultLabel().SetColor(outcome->color);
            PostPromptTextChanged(wnd);
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

uint32_t EndDialogWith(uint32_t endResult) { return EndDialogImpl(endResult, false); }

// The unload runs under the loader lock while the dialog's thread may still be inside a start
// call. From its first step no call enters and no prompt appears; it shows the cancel outcome,
// closes the prompt with a bounded send, and waits (also bounded) for the start call to leave
// the library, whose code is about to go away. Nothing on the dialog thread's way out takes the
// loader lock. When the process is exiting the other threads are already gone: nothing is
// pumped, sent or awaited then.
void FinalizeMainModule(bool processExiting) noexcept {
    if (processExiting) return;
    QUENDA_TRACE("unload", "library detaching from the process; a prompt still open is closed first");
    gCallState.fetch_or(kUnloading);
    BeginDialogUnload();
    try {
        EndDialogImpl(QUENDA_END_CANCEL, true);
    } catch (...) {
    }
    const ULONGLONG deadline = GetTickCount64() + kUnloadReturnMillis;
    while ((gCallState.load() & kCallInside) && WaitSliceUntil(deadline)) {
    }
    // A start call still inside after the wait may yet signal the event: it must stay valid.
    if (gCallState.load() & kCallInside) (void)gCallLeft.release();
    else CloseKeptHandles();
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
