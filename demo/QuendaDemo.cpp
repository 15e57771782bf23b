// A simulated smart-card reader driver: loads Quenda.dll the way a driver does, opens the PIN
// prompt in thread A and plays the reader's keypad from thread B (this program's main thread).
#include "DemoContrast.h"
#include "DemoLog.h"
#include "DemoOptions.h"
#include "DemoOwners.h"
#include "DemoRegistry.h"
#include "DemoShot.h"
#include "DemoTrace.h"

#include <windows.h>

#include "quenda.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace demo;

constexpr DWORD kKeyInterval = 400;    // between two keypad events, as a person types
constexpr DWORD kPaintSettle = 150;    // after a key, before its picture: thread A repaints
constexpr DWORD kOpenSettle = 300;     // after the window appears, before its first picture
constexpr DWORD kOutcomeShotAt = 1000; // into EndDlg's two-second outcome display
constexpr DWORD kPointerSettle = 20;   // after a pointer move, before checking where it is
constexpr int kCancelButtonId = 5;
constexpr DWORD kOpenTimeout = 10000;
constexpr DWORD kCloseTimeout = 10000;

struct Exports {
    OnKeyPressedFn onKeyPressed = nullptr;
    EndDlgFn endDlg = nullptr;
    StartDlgExFn startDlgEx = nullptr;
    StartDlgFn startDlg = nullptr;
};

const char* KeyName(uint32_t key) {
    switch (key) {
    case QUENDA_KEY_DIGIT: return "digit";
    case QUENDA_KEY_BACKSPACE: return "backspace";
    default: return "unknown key, ignored";
    }
}

const char* OutcomeName(uint32_t outcome) {
    switch (outcome) {
    case QUENDA_END_CANCEL: return "PIN entry cancelled";
    case QUENDA_END_TIMEOUT: return "timeout";
    case QUENDA_END_PIN_OK: return "PIN ok";
    case QUENDA_END_PIN_ERROR: return "PIN error";
    case QUENDA_END_NO_MATCH: return "PINs don't match";
    default: return "no outcome text";
    }
}

const char* ModeName(uint32_t mode) {
    switch (mode) {
    case QUENDA_MODE_ENTER_PIN: return "enter PIN";
    case QUENDA_MODE_OLD_PIN: return "enter old PIN";
    case QUENDA_MODE_NEW_PIN: return "enter new PIN";
    default: return "?";
    }
}

// The callback has no context argument, so the event it sets is process-wide.
std::atomic<HANDLE> gCancelEvent{nullptr};

void QUENDA_CALL OnCancel(int32_t reason) noexcept {
    Log("CancelCallback(%d): the user clicked Cancel", static_cast<int>(reason));
    if (HANDLE event = gCancelEvent.load()) SetEvent(event);
}

// What thread A needs; lives in main until thread A has been joined.
struct PromptRun {
    Exports fns;
    uint32_t mode = 1;
    bool useRecord = false;
    DlgParams params{};
    std::atomic<uint32_t> result{0xFFFFFFFFu};
};

DWORD WINAPI PromptThread(void* context) noexcept {
    SetThreadTag("A");
    auto* run = static_cast<PromptRun*>(context);
    uint32_t rc = 0;
    if (run->useRecord) {
        Log("StartDlgEx(&params, %u %s, 0, OnCancel): runs the prompt in this thread", run->mode, ModeName(run->mode));
        rc = run->fns.startDlgEx(&run->params, run->mode, 0, &OnCancel);
        Log("StartDlgEx returned %u (prompt closed)", rc);
    } else {
        Log("StartDlg(%u %s, 0, OnCancel): runs the prompt in this thread", run->mode, ModeName(run->mode));
        rc = run->fns.startDlg(run->mode, 0, &OnCancel);
        Log("StartDlg returned %u (prompt closed)", rc);
    }
    run->result = rc;
    return 0;
}

// Numbered pictures of the prompt window of one thread.
class Shots {
public:
    Shots(std::filesystem::path dir, DWORD threadId) : dir_(std::move(dir)), threadId_(threadId) {}

    [[nodiscard]] std::wstring NextPath(const char* label) {
        char name[64];
        std::snprintf(name, sizeof name, "%02u-%s.png", ++count_, label);
        return (dir_ / name).wstring();
    }

    // Logs the outcome; false when no picture was written.
    [[nodiscard]] bool Take(const std::wstring& path) const {
        HWND wnd = FindPromptWindow(threadId_);
        if (!wnd) {
            Log("picture FAILED: no visible prompt window of thread A for %s", ToUtf8(path).c_str());
            return false;
        }
        std::string error;
        if (!SaveWindowPng(wnd, path, error)) {
            Log("picture FAILED: %s: %s", ToUtf8(path).c_str(), error.c_str());
            return false;
        }
        Log("picture %s", DescribePath(path).c_str());
        return true;
    }

    [[nodiscard]] unsigned Count() const { return count_; }

private:
    std::filesystem::path dir_;
    DWORD threadId_;
    unsigned count_ = 0;
};

struct OutcomeShot {
    const Shots* shots = nullptr;
    std::wstring path;
    HANDLE promptThread = nullptr;
    std::atomic<bool> written{false};
};

DWORD WINAPI OutcomeShotThread(void* context) noexcept {
    SetThreadTag("shot");
    auto* shot = static_cast<OutcomeShot*>(context);
    // EndDlg blocks thread B for two seconds; the outcome is on screen in the middle of them.
    if (WaitForSingleObject(shot->promptThread, kOutcomeShotAt) == WAIT_OBJECT_0) {
        Log("picture FAILED: the prompt closed before the outcome picture");
        return 0;
    }
    try {
        shot->written = shot->shots->Take(shot->path);
    } catch (...) {
        Log("picture FAILED: out of memory");
    }
    return 0;
}

// Waits, but comes back at once when thread A's start call returns; false in that case.
bool PauseWhileOpen(HANDLE promptThread, DWORD ms) { return WaitForSingleObject(promptThread, ms) == WAIT_TIMEOUT; }

// Under Wine a pointer event of an earlier move, handled late by the prompt's thread, can put the
// pointer back; the move is repeated until the position holds.
bool MovePointer(POINT to) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!SetCursorPos(to.x, to.y)) return false;
        Sleep(kPointerSettle);
        POINT now{};
        if (GetCursorPos(&now) && now.x == to.x && now.y == to.y) return true;
    }
    return false;
}

bool SendLeftButton(DWORD flag) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flag;
    return SendInput(1, &input, sizeof input) == 1;
}

std::filesystem::path OwnDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return std::filesystem::path(path).parent_path();
}

template <typename Fn>
Fn Resolve(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

class Verdict {
public:
    void Expect(bool ok, const char* what) {
        if (!ok && std::find(failures_.begin(), failures_.end(), what) == failures_.end()) failures_.push_back(what);
    }
    [[nodiscard]] bool Ok() const { return failures_.empty(); }
    [[nodiscard]] const std::vector<std::string>& Failures() const { return failures_; }

private:
    std::vector<std::string> failures_;
};

int RunDemo(const Options& options) {
    SetThreadTag("B");
    Verdict verdict;

    // A driver loads the library from a known place and links nothing of it.
    const std::filesystem::path dllPath = OwnDirectory() / L"Quenda.dll";
    Log("loading %s", ToUtf8(dllPath.wstring()).c_str());
    UniqueModule dll(LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!dll) {
        Log("LoadLibrary FAILED: error %lu", GetLastError());
        return 1;
    }
    Exports fns;
    fns.onKeyPressed = Resolve<OnKeyPressedFn>(dll.get(), "OnKeyPressed");
    fns.endDlg = Resolve<EndDlgFn>(dll.get(), "EndDlg");
    fns.startDlgEx = Resolve<StartDlgExFn>(dll.get(), "StartDlgEx");
    fns.startDlg = Resolve<StartDlgFn>(dll.get(), "StartDlg");
    const struct {
        const char* name;
        void* byName;
    } exports[] = {{"OnKeyPressed", reinterpret_cast<void*>(fns.onKeyPressed)},
                   {"EndDlg", reinterpret_cast<void*>(fns.endDlg)},
                   {"StartDlgEx", reinterpret_cast<void*>(fns.startDlgEx)},
                   {"StartDlg", reinterpret_cast<void*>(fns.startDlg)}};
    bool allResolved = true;
    for (unsigned i = 0; i < 4; ++i) {
        void* byOrdinal = reinterpret_cast<void*>(GetProcAddress(dll.get(), MAKEINTRESOURCEA(i + 1)));
        const bool same = exports[i].byName && byOrdinal == exports[i].byName;
        Log("export %-12s at %p; ordinal %u at %p: %s", exports[i].name, exports[i].byName, i + 1, byOrdinal,
            same ? "same address" : "MISMATCH");
        verdict.Expect(same, "every export resolves by name and by its ordinal to one address");
        allResolved = allResolved && exports[i].byName;
    }
    if (!allResolved) {
        Log("an export is missing; stopping");
        return 1;
    }

    std::filesystem::path shotsDir;
    if (options.shotsDir) {
        shotsDir = Widen(*options.shotsDir);
        std::error_code ec;
        std::filesystem::create_directories(shotsDir, ec);
        if (ec) {
            Log("cannot create the picture directory %s: %s", options.shotsDir->c_str(), ec.message().c_str());
            return 1;
        }
        Log("pictures go to %s", DescribePath(shotsDir.wstring()).c_str());
    }

    // For this run only: the owner puts the old state back on every way out.
    DwordOverride fixedLng("FixedLng");
    if (options.lang && !fixedLng.Apply(*options.lang)) return 1;
    HighContrastLook highContrast;
    if (options.highContrast) {
        if (!highContrast.Apply(dll.get(), kHighContrastElements, kHighContrastBlack)) {
            Log("cannot show the high-contrast look: no SystemParametersInfoA import or SetSysColors failed");
            return 1;
        }
        Log("high contrast: the library's SPI_GETHIGHCONTRAST answers on; High Contrast Black colours set");
    }

    UniqueHandle cancelEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!cancelEvent) {
        Log("CreateEvent FAILED: error %lu", GetLastError());
        return 1;
    }
    gCancelEvent = cancelEvent.get();

    // StartDlg unless an option can only travel in a record.
    PromptRun run;
    run.fns = fns;
    run.mode = options.mode;
    run.useRecord = options.NeedsRecord();
    if (run.useRecord) {
        run.params.Size = sizeof(DlgParams);
        run.params.Flags = options.keepDesktop ? QUENDA_FLAG_KEEP_DESKTOP : 0;
        if (options.promptText) {
            // Entries 0..2 are the prompts of modes 1, 2 and 5; the strings outlive EndDlg.
            for (int i = 0; i < 3; ++i) run.params.Texts[i] = options.promptText->c_str();
        }
        run.params.ExtraWidth = options.extraWidth.value_or(0);
        Log("DlgParams: Size %d, Flags %u, prompt texts %s, ExtraWidth %u", static_cast<int>(run.params.Size),
            run.params.Flags, options.promptText ? ("\"" + *options.promptText + "\"").c_str() : "none",
            run.params.ExtraWidth);
    }
    DWORD promptThreadId = 0;
    UniqueHandle promptThread(CreateThread(nullptr, 0, PromptThread, &run, 0, &promptThreadId));
    if (!promptThread) {
        Log("CreateThread FAILED: error %lu", GetLastError());
        return 1;
    }

    // An unknown key code is ignored by an open prompt (0) and refused while none is open (87),
    // so it tells when the prompt is ready without changing it.
    const ULONGLONG waitStart = GetTickCount64();
    unsigned refusals = 0;
    bool open = false;
    for (;;) {
        const uint32_t rc = fns.onKeyPressed(0, 0);
        if (rc == QUENDA_OK) {
            open = true;
            break;
        }
        if (rc != QUENDA_INVALID_PARAMETER) {
            Log("OnKeyPressed(0, 0) -> %u: neither 0 nor 87", rc);
            verdict.Expect(false, "OnKeyPressed answers only 0 or 87");
        }
        ++refusals;
        if (!PauseWhileOpen(promptThread.get(), 20) || GetTickCount64() - waitStart > kOpenTimeout) break;
    }
    if (!open) {
        Log("the prompt did not open: OnKeyPressed(0, 0) -> 87 %u times in %llu ms", refusals,
            GetTickCount64() - waitStart);
        verdict.Expect(false, "the prompt opens");
    } else {
        Log("OnKeyPressed(0, 0) -> 87 %u times while the prompt was opening, then 0: the prompt is open after %llu ms",
            refusals, GetTickCount64() - waitStart);
    }

    std::optional<Shots> shots;
    if (options.shotsDir) shots.emplace(shotsDir, promptThreadId);
    auto takeShot = [&](const char* label) {
        if (shots) verdict.Expect(shots->Take(shots->NextPath(label)), "every picture is written");
    };

    bool closedEarly = !open;
    if (open) {
        // The window is shown after its initialisation; wait until it is on screen.
        HWND wnd = nullptr;
        const ULONGLONG visibleStart = GetTickCount64();
        while (!(wnd = FindPromptWindow(promptThreadId)) && GetTickCount64() - visibleStart < kOpenTimeout) {
            if (!PauseWhileOpen(promptThread.get(), 20)) break;
        }
        if (wnd) {
            RECT rect{};
            GetWindowRect(wnd, &rect);
            char cls[64] = "";
            GetClassNameA(wnd, cls, sizeof cls);
            Log("prompt window %p (class %s) at (%ld, %ld), %ld x %ld pixels", static_cast<void*>(wnd), cls, rect.left,
                rect.top, rect.right - rect.left, rect.bottom - rect.top);
        } else {
            Log("no visible window of thread A found");
            verdict.Expect(false, "the prompt window becomes visible");
        }
        closedEarly = !PauseWhileOpen(promptThread.get(), kOpenSettle);
        if (!closedEarly) takeShot("opened");
    }

    auto press = [&](uint32_t key, const char* label) {
        const uint32_t rc = fns.onKeyPressed(key, 0);
        Log("OnKeyPressed(%u %s, 0) -> %u", key, KeyName(key), rc);
        verdict.Expect(rc == QUENDA_OK, "OnKeyPressed answers 0 while the prompt is open");
        if (!PauseWhileOpen(promptThread.get(), kPaintSettle)) return false;
        takeShot(label);
        return true;
    };
    ULONGLONG nextKey = GetTickCount64();
    auto waitForNextKey = [&]() {
        const ULONGLONG now = GetTickCount64();
        nextKey += kKeyInterval;
        return PauseWhileOpen(promptThread.get(), nextKey > now ? static_cast<DWORD>(nextKey - now) : 0);
    };
    for (uint32_t i = 1; i <= options.digits && !closedEarly; ++i) {
        const std::string label = "digit" + std::to_string(i);
        closedEarly = !waitForNextKey() || !press(QUENDA_KEY_DIGIT, label.c_str());
    }
    if (!closedEarly) closedEarly = !waitForNextKey() || !press(QUENDA_KEY_BACKSPACE, "backspace");

    // The Cancel button's looks, as a user's pointer brings them: over the button, then held down
    // on it. The press is released away from the button, which is no click; the outcome picture
    // then shows the button disabled. Only with pictures, and never on a screen someone uses.
    if (!closedEarly && shots && !options.interactive) {
        const HWND wnd = FindPromptWindow(promptThreadId);
        const HWND button = wnd ? GetDlgItem(wnd, kCancelButtonId) : nullptr;
        RECT buttonRect{};
        RECT promptRect{};
        if (!button || !GetWindowRect(button, &buttonRect) || !GetWindowRect(wnd, &promptRect)) {
            Log("no Cancel button (control %d) on the prompt", kCancelButtonId);
            verdict.Expect(false, "the prompt has its Cancel button");
        } else {
            const POINT over{(buttonRect.left + buttonRect.right) / 2, (buttonRect.top + buttonRect.bottom) / 2};
            // On the reader picture at the prompt's left: inside the prompt, away from the button.
            const POINT away{promptRect.left + 40, promptRect.top + 40};
            const bool moved = MovePointer(over);
            Log("pointer over Cancel at (%ld, %ld): %s", over.x, over.y, moved ? "hover look" : "FAILED to move");
            verdict.Expect(moved, "the pointer moves over the Cancel button");
            closedEarly = !PauseWhileOpen(promptThread.get(), kPaintSettle);
            if (!closedEarly) takeShot("hover");
            if (!closedEarly) {
                const bool down = SendLeftButton(MOUSEEVENTF_LEFTDOWN);
                Log("left mouse button down on Cancel: %s", down ? "pressed look" : "SendInput FAILED");
                verdict.Expect(down, "the left mouse button goes down on Cancel");
                closedEarly = !PauseWhileOpen(promptThread.get(), kPaintSettle);
                if (!closedEarly) takeShot("pressed");
                // Released in every case, so that no button stays held after the demo.
                const bool left = MovePointer(away);
                const bool up = SendLeftButton(MOUSEEVENTF_LEFTUP);
                Log("pointer moved off Cancel to (%ld, %ld), left mouse button released there: %s", away.x, away.y,
                    left && up ? "no click" : "FAILED");
                verdict.Expect(left && up, "the press is released away from Cancel");
                if (!closedEarly) closedEarly = !PauseWhileOpen(promptThread.get(), kPaintSettle);
                const bool cancelled = WaitForSingleObject(cancelEvent.get(), 0) == WAIT_OBJECT_0;
                if (cancelled) Log("the release away from Cancel was taken for a click");
                verdict.Expect(!cancelled, "a press released away from Cancel cancels nothing");
            }
        }
    }

    if (!closedEarly && options.interactive) {
        Log("waiting for a click on Cancel in the prompt (or the prompt closing itself)...");
        const HANDLE waits[] = {cancelEvent.get(), promptThread.get()};
        closedEarly = WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0;
    } else if (!closedEarly) {
        closedEarly = !waitForNextKey();
    }

    if (closedEarly) {
        if (open) Log("the prompt closed before EndDlg was called");
        // Escape on the focused button may close it; nothing else should in an unattended run.
        verdict.Expect(options.interactive && open, "the prompt stays open until EndDlg");
    } else {
        OutcomeShot outcomeShot;
        UniqueHandle shotThread;
        if (shots) {
            outcomeShot.shots = &*shots;
            outcomeShot.path = shots->NextPath("outcome");
            outcomeShot.promptThread = promptThread.get();
            shotThread.reset(CreateThread(nullptr, 0, OutcomeShotThread, &outcomeShot, 0, nullptr));
            verdict.Expect(static_cast<bool>(shotThread), "the outcome picture thread starts");
        }
        Log("EndDlg(%u %s): shows the outcome for two seconds, then closes the prompt", options.outcome,
            OutcomeName(options.outcome));
        const ULONGLONG endStart = GetTickCount64();
        const uint32_t rc = fns.endDlg(options.outcome);
        Log("EndDlg(%u) -> %u after %llu ms", options.outcome, rc, GetTickCount64() - endStart);
        verdict.Expect(rc == QUENDA_OK, "EndDlg answers 0 while the prompt is open");
        if (shotThread) {
            const bool joined = WaitForSingleObject(shotThread.get(), kCloseTimeout) == WAIT_OBJECT_0;
            verdict.Expect(joined && outcomeShot.written, "every picture is written");
            // The thread reads outcomeShot; it must not outlive it.
            if (!joined) {
                Log("the picture thread hangs; giving up");
                fixedLng.Restore();
                highContrast.Restore();
                TerminateProcess(GetCurrentProcess(), 1);
            }
        }
    }

    if (WaitForSingleObject(promptThread.get(), kCloseTimeout) != WAIT_OBJECT_0) {
        Log("FAILED: the start call has not returned %lu ms after the end; giving up", kCloseTimeout);
        // Thread A still runs inside the library: neither the library nor `run` may go away.
        fixedLng.Restore();
        highContrast.Restore();
        TerminateProcess(GetCurrentProcess(), 1);
    }
    verdict.Expect(run.result == QUENDA_OK, "the start call answers 0");
    const uint32_t after = fns.onKeyPressed(0, 0);
    Log("OnKeyPressed(0, 0) -> %u now that the prompt is closed", after);
    verdict.Expect(after == QUENDA_INVALID_PARAMETER, "OnKeyPressed answers 87 once the prompt has closed");
    gCancelEvent = nullptr;

    fixedLng.Restore();
    highContrast.Restore();
    Log("FreeLibrary(Quenda.dll)");
    dll.reset();

    if (shots && shots->Count() > 0) {
        Log("%u pictures in %s", shots->Count(), DescribePath(shotsDir.wstring()).c_str());
    }
    if (verdict.Ok()) {
        Log("result: every call answered as the calling order promises");
        return 0;
    }
    for (const std::string& failure : verdict.Failures()) Log("NOT MET: %s", failure.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        const ParseResult parsed = ParseOptions(args);
        if (!parsed.options) {
            std::fprintf(stderr, "QuendaDemo: %s\n\n%s", parsed.error.c_str(), UsageText());
            return 2;
        }
        if (parsed.options->help) {
            std::fputs(UsageText(), stdout);
            return 0;
        }
        if (parsed.options->trace) {
            std::vector<std::string> childArgs;
            for (const std::string& arg : args)
                if (arg != "--trace") childArgs.push_back(arg);
            return RunTraced(childArgs);
        }
        return RunDemo(*parsed.options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "QuendaDemo: %s\n", e.what());
        return 1;
    }
}
