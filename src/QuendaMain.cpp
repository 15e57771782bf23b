#include "QuendaMain.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>

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

// Set for the whole of an accepted start call: a second one must not disturb the running prompt.
std::atomic<bool> gStartCallRunning{false};
// Signalled while no start call is inside the library; the unload waits for it.
UniqueKernelHandle gNoStartCall;
std::atomic<bool> gUnloading{false};

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

}  // namespace

void InitMainModule() noexcept {
    gNoStartCall.reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    gUnloading.store(false);
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

bool StartCallRunning() { return gStartCallRunning.load(); }

// A start call traces its own answer: once it has signalled that it left, an unload may take
// the library's code away.
uint32_t StartDialog(const DlgParams* params, uint32_t mode, CancelCallback callback,
                     const char* exportName) {
    const int promptId = PromptTextOf(mode);
    if (promptId == 0) return StartRefused(exportName, "invalid mode");
    if (gUnloading.load() || gStartCallRunning.exchange(true)) {
        QUENDA_TRACE(exportName, "answer 0 at once: %s",
                     gUnloading.load() ? "unloading" : "another start call runs");
        return kOk;
    }
    if (gNoStartCall) ResetEvent(gNoStartCall.get());
    const char* refusal = nullptr;
    const ScopeExit endOfCall([exportName, &refusal] {
        if (refusal)
            QUENDA_TRACE(exportName, "answer 87: %s", refusal);
        else
            QUENDA_TRACE(exportName, "answer 0, leaving the library");
        gStartCallRunning.store(false);
        if (gNoStartCall) SetEvent(gNoStartCall.get());
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
    if (!gUnloading.load()) RunPinDialog(std::move(setup));
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

uint32_t EndDialogImpl(uint32_t endResult, DWORD closeTimeout) {
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
        dialog.EchoLabel().SetText("");
    }
    {
        std::lock_guard guard(gParamsLock);
        generation = gParamsGeneration;
    }
    // Outside the lock: disabling a window of the dialog's thread waits for that thread.
    if (button) EnableWindow(button, FALSE);
    if (const auto outcome = OutcomeOf(endResult)) {
        const std::string text = GetDialogText(outcome->textId);
        const OpenDialog dialog;
        if (dialog.IsOpen() && dialog.Window() == wnd) {
            dialog.ResultLabel().SetText(text);
            dialog.ResultLabel().SetColor(outcome->color);
            PostPromptTextChanged(wnd);
        }
    }
    QUENDA_TRACE("close", "outcome %u on screen for %u ms, then EndDlg closes prompt %p", endResult,
                 kOutcomeMillis, static_cast<void*>(wnd));
    PumpMessagesFor(kOutcomeMillis);
    // Only the prompt this call showed the outcome on: one opened since is not ours to close.
    ClosePinDialog(wnd, closeTimeout);
    {
        std::lock_guard guard(gParamsLock);
        if (gParamsGeneration == generation) ResetParams(gActiveParams);
    }
    return kOk;
}

}  // namespace

uint32_t EndDialogWith(uint32_t endResult) { return EndDialogImpl(endResult, INFINITE); }

// The unload runs under the loader lock while the dialog's thread may still be inside a start
// call. It shows the cancel outcome, closes the prompt with a bounded send, and then waits (also
// bounded) for the start call to leave the library, whose code is about to go away. Nothing on
// the dialog thread's way out takes the loader lock. When the process is exiting the other
// threads are already gone: nothing is pumped, sent or awaited then.
void FinalizeMainModule(bool processExiting) noexcept {
    if (processExiting) return;
    QUENDA_TRACE("unload", "library detaching from the process; a prompt still open is closed first");
    gUnloading.store(true);
    try {
        EndDialogImpl(QUENDA_END_CANCEL, kUnloadCloseMillis);
    } catch (...) {
    }
    // A start call still inside after the wait may yet signal the event: it must stay valid.
    if (gNoStartCall && WaitForSingleObject(gNoStartCall.get(), kUnloadReturnMillis) != WAIT_OBJECT_0)
        (void)gNoStartCall.release();
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
    // Closing fails harmlessly for a handle that is still current; the others are done with.
    openedDesktop_.reset();
    openedStation_.reset();
}

}  // namespace quenda
