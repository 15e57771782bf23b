// A driver process for the unload tests. Loads Quenda.dll from its own directory, runs a prompt
// in thread A and unloads the library or ends the process from thread B (the main thread).
//
//   QuendaUnloadChild.exe MODE REPORT-FILE
//
//   free-while-open      unload once the prompt has painted and the start call has let go of
//                        its hold; counts the library's resource loads during the unload
//   free-at-first-paint  unload while thread A is held at its first WM_PAINT
//   free-at-registry     unload while thread A is held in its set-up: at the start call's first
//                        registry read
//   free-at-create       ... at the prompt's creation
//   free-at-button       ... at the Cancel button's WM_CREATE
//   free-while-creating  ... at the prompt's WM_INITDIALOG
//   free-at-show         ... after the set-up, at the prompt's first show
//   free-during-end      unload while EndDlg shows its outcome in thread B
//   free-while-waiting   unload while a second start call waits for a closed prompt's call
//   free-while-keys      unload while thread B's OnKeyPressed is held in a registry read
//   free-kept-desktop    unload while thread A is still on the desktop opened for its prompt (its
//                        callback made a window there); counts closes of protected handles
//   client-call          unload while a UI Automation client is inside the provider's
//                        WaitForInputIdle
//   client-release       a client holds the provider past the prompt and lets go of it after the
//                        driver's FreeLibrary, with the library's release of itself slowed
//   free-hung-reader     unload with a debug-output reader in the process that has stopped reading
//   wait-cpu             a start call waits 3 s for a closed prompt's call, after the interleaving
//                        that once left the wake-up signalled for good; reports its CPU time
//   exit-while-open      ExitProcess once the prompt has painted
//   free-idle            unload with no prompt open, before and after one prompt
//   announce             one prompt through its open, the switch to the confirm prompt (made at
//                        the first message thread A takes, before the opening is announced), a
//                        client's WM_GETOBJECT and an outcome
//   announce-setup       the same with the switch made at the library's first WM_SETTEXT to the
//                        prompt, while the prompt is being set up
//   automation-close     a prompt without a callback closed through its Window pattern
//   label-font           the stock font as this system-aware thread reads it, and the height of
//                        the prompt's label font (a test runs it at LogPixels 144)
//   trace-sequence       a refused mode, a refused key, a refused record, a prompt asked for on a missing desktop,
//                        a second start call, two digits and EndDlg, then the unload (run under a
//                        debugger by tests)
//
// Writes what it saw to REPORT-FILE as "key=value" lines, each as soon as it is known, so that a
// crash or hang still leaves the lines before it. Exit code: 0 once the flow has run to its end,
// kExitCode for exit-while-open, kSetupFailed when the flow could not be set up.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "../src/WinHandles.h"
#include "ImportPatch.h"
#include "quenda.h"

namespace {

using quenda::SelectedObject;
using quenda::UniqueBitmap;
using quenda::UniqueKernelHandle;
using quenda::UniqueMemDc;
using quenda::UniqueModule;
using quenda::WindowDc;
using UniqueHook = quenda::UniqueHandle<HHOOK, UnhookWindowsHookEx>;

constexpr int kSetupFailed = 2;
constexpr UINT kCrashed = 3;
constexpr UINT kExitCode = 42;
constexpr DWORD kWindowTimeoutMs = 5000;
constexpr DWORD kReturnTimeoutMs = 8000;
constexpr DWORD kShotDelayMs = 1000;
// Long enough for the unloading thread to be inside FreeLibrary when thread A goes on.
constexpr DWORD kFirstPaintHoldMs = 300;
// The labels over the middle band, where the background picture is blue: x from the band's start
// at 167 to the labels' end at 165 + 121. The prompt label's rows above the echo label (25..49)
// can only turn white through the prompt text, the result label's rows above the button
// (100..139) only dark red through the outcome text.
constexpr RECT kPromptArea{167, 25, 286, 50};
constexpr RECT kResultArea{167, 100, 286, 140};
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kDarkRed = RGB(128, 0, 0);

class Report {
public:
    explicit Report(const char* path) {
        HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        file_.reset(file == INVALID_HANDLE_VALUE ? nullptr : file);
    }
    [[nodiscard]] bool Ok() const { return static_cast<bool>(file_); }
    void Line(const char* key, long long value) {
        char text[160];
        const int length = std::snprintf(text, sizeof text, "%s=%lld\n", key, value);
        DWORD written = 0;
        if (file_ && length > 0) WriteFile(file_.get(), text, static_cast<DWORD>(length), &written, nullptr);
    }

private:
    UniqueKernelHandle file_;
};

std::string OwnDirectory() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string result(path, length);
    const size_t slash = result.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : result.substr(0, slash + 1);
}

struct Library {
    UniqueModule module;
    StartDlgFn startDlg = nullptr;
    StartDlgExFn startDlgEx = nullptr;
    OnKeyPressedFn onKeyPressed = nullptr;
    EndDlgFn endDlg = nullptr;
};

template <typename Fn>
Fn ExportOf(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The library lets go of a hold of its own through the thread pool, with its module as the
// callback's context. Where the driver's own reference stands, so that the release is never the
// last, the pool runs a callback of this program's instead, which lets go of that reference and
// counts it: the moment the library counts its prompt as up is then known. Cases whose unload
// comes with the hold's release keep the library's own callback.
std::atomic<long> gHoldsReleased{0};
UniqueKernelHandle gHoldReleased;  // auto-reset: one more hold released
void CALLBACK ReleaseAndCount(PTP_CALLBACK_INSTANCE, PVOID module) {
    FreeLibrary(static_cast<HMODULE>(module));
    ++gHoldsReleased;
    SetEvent(gHoldReleased.get());
}
using SubmitFn = BOOL(WINAPI*)(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON);
SubmitFn gSubmit = nullptr;
BOOL WINAPI CountedSubmit(PTP_SIMPLE_CALLBACK, PVOID module, PTP_CALLBACK_ENVIRON environment) {
    return gSubmit(&ReleaseAndCount, module, environment);
}

template <typename Fn>
Fn PatchForGood(HMODULE module, const char* dll, const char* function, Fn replacement);

bool Load(Library& library, bool observeHolds = true) {
    library.module.reset(LoadLibraryA((OwnDirectory() + "Quenda.dll").c_str()));
    if (!library.module) return false;
    if (observeHolds) {
        gHoldReleased.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        gSubmit =
            PatchForGood(library.module.get(), "kernel32.dll", "TrySubmitThreadpoolCallback", &CountedSubmit);
        if (!gHoldReleased || !gSubmit) return false;
    }
    library.startDlg = ExportOf<StartDlgFn>(library.module.get(), "StartDlg");
    library.startDlgEx = ExportOf<StartDlgExFn>(library.module.get(), "StartDlgEx");
    library.onKeyPressed = ExportOf<OnKeyPressedFn>(library.module.get(), "OnKeyPressed");
    library.endDlg = ExportOf<EndDlgFn>(library.module.get(), "EndDlg");
    return library.startDlg && library.startDlgEx && library.onKeyPressed && library.endDlg;
}

// An import of the library pointed at `replacement` for the rest of the process: the library may
// be gone before the patch could be undone. The original, or null when the patch failed.
template <typename Fn>
Fn PatchForGood(HMODULE module, const char* dll, const char* function, Fn replacement) {
    auto* patch = new demo::ImportPatch(module, dll, function, reinterpret_cast<void*>(replacement));
    return patch->Applied() ? patch->Original<Fn>() : nullptr;
}

// Thread A: the start call, and what it returned. With `params` set it is StartDlgEx.
struct PromptCall {
    StartDlgFn startDlg = nullptr;
    StartDlgExFn startDlgEx = nullptr;
    const DlgParams* params = nullptr;
    uint32_t result = 0xFFFFFFFFu;
};

DWORD WINAPI PromptThread(void* parameter) {
    auto* call = static_cast<PromptCall*>(parameter);
    call->result = call->params ? call->startDlgEx(call->params, QUENDA_MODE_ENTER_PIN, 0, nullptr)
                                : call->startDlg(QUENDA_MODE_ENTER_PIN, 0, nullptr);
    return 0;
}

BOOL CALLBACK FindPromptProc(HWND window, LPARAM parameter) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND*>(parameter) = window;
    return FALSE;
}

// Thread A's prompt once it is visible, or null when thread A ended or the time ran out.
HWND WaitForPrompt(HANDLE thread, DWORD threadId) {
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    for (;;) {
        HWND prompt = nullptr;
        EnumThreadWindows(threadId, FindPromptProc, reinterpret_cast<LPARAM>(&prompt));
        if (prompt) return prompt;
        if (GetTickCount64() >= deadline) return nullptr;
        if (WaitForSingleObject(thread, 10) == WAIT_OBJECT_0) return nullptr;
    }
}

// Pixels of `colour` in `area` (window coordinates) of the prompt at `window` (its screen
// rectangle), read from the screen; -1 when the screen cannot be read.
int CountOnScreen(const RECT& window, const RECT& area, COLORREF colour) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const WindowDc screen(nullptr);
    if (!screen) return -1;
    const UniqueMemDc memory(CreateCompatibleDC(screen.get()));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const UniqueBitmap dib(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!memory || !dib || !bits) return -1;
    {
        const SelectedObject selected(memory.get(), dib.get());
        if (!BitBlt(memory.get(), 0, 0, width, height, screen.get(), window.left + area.left,
                    window.top + area.top, SRCCOPY))
            return -1;
    }
    GdiFlush();
    // 32-bit DIB pixels are 0x00RRGGBB.
    const uint32_t wanted = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    int count = 0;
    const auto* pixels = static_cast<const uint32_t*>(bits);
    for (int i = 0; i < width * height; ++i) count += (pixels[i] & 0xFFFFFF) == wanted ? 1 : 0;
    return count;
}

int DarkRedInResultArea(const RECT& window) { return CountOnScreen(window, kResultArea, kDarkRed); }

// The prompt text has reached the screen, i.e. the prompt has been painted.
bool WaitForPromptText(HWND prompt) {
    RECT window{};
    if (!GetWindowRect(prompt, &window)) return false;
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    UniqueKernelHandle never(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    while (CountOnScreen(window, kPromptArea, kWhite) <= 5) {
        if (!never || GetTickCount64() >= deadline) return false;
        WaitForSingleObject(never.get(), 20);
    }
    return true;
}

// Holds thread A at its first WM_PAINT, before anything of the prompt is drawn, until the unload
// has begun.
struct FirstPaintGate {
    UniqueKernelHandle reached;
    UniqueKernelHandle unloadStarting;
    UniqueKernelHandle never;
    bool fired = false;  // thread A only
};
FirstPaintGate* gFirstPaintGate = nullptr;

// Holds thread A the first time it is called, until the unload has begun and a little longer.
void HoldForTheUnload() {
    if (!gFirstPaintGate || gFirstPaintGate->fired) return;
    gFirstPaintGate->fired = true;
    SetEvent(gFirstPaintGate->reached.get());
    if (WaitForSingleObject(gFirstPaintGate->unloadStarting.get(), kWindowTimeoutMs) == WAIT_OBJECT_0)
        WaitForSingleObject(gFirstPaintGate->never.get(), kFirstPaintHoldMs);
}

LRESULT CALLBACK FirstPaintHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && reinterpret_cast<const MSG*>(lParam)->message == WM_PAINT) HoldForTheUnload();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Where thread A is held in its prompt's set-up until the unload has begun.
enum class SetupStage { Registry, Create, Button, InitDialog, Show };
SetupStage gSetupStage = SetupStage::InitDialog;

bool IsClass(HWND window, const char* name) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    return lstrcmpiA(className, name) == 0;
}

LRESULT CALLBACK SetupMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        const bool button = sent->message == WM_CREATE && IsClass(sent->hwnd, "Button");
        const bool shown = sent->message == WM_SHOWWINDOW && sent->wParam && IsClass(sent->hwnd, "#32770");
        const bool stop = (gSetupStage == SetupStage::Button && button) ||
                          (gSetupStage == SetupStage::InitDialog && sent->message == WM_INITDIALOG) ||
                          (gSetupStage == SetupStage::Show && shown);
        if (stop) HoldForTheUnload();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The start call's first registry read, on thread A.
DWORD gSetupThread = 0;
using RegOpenKeyExFn = LSTATUS(WINAPI*)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
RegOpenKeyExFn gRegOpenKey = nullptr;
LSTATUS WINAPI SetupRegOpenKey(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (GetCurrentThreadId() == gSetupThread) HoldForTheUnload();
    return gRegOpenKey(key, subKey, options, access, result);
}

// The prompt's window is being created: before its WM_INITDIALOG.
LRESULT CALLBACK SetupCreateHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && IsClass(reinterpret_cast<HWND>(wParam), "#32770")) HoldForTheUnload();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Thread C: a screenshot before the unload, and one kShotDelayMs into it. All of its first-use
// work is done before the unload starts: the unload holds the loader lock.
struct Screenshots {
    RECT window{};
    UniqueKernelHandle ready;
    UniqueKernelHandle go;
    UniqueKernelHandle never;  // never set: its timeout is the delay
    int before = -1;
    int during = -1;
    BOOL visibleDuring = FALSE;
    HWND prompt = nullptr;
};

DWORD WINAPI ScreenshotThread(void* parameter) {
    auto* shots = static_cast<Screenshots*>(parameter);
    shots->before = DarkRedInResultArea(shots->window);
    SetEvent(shots->ready.get());
    if (WaitForSingleObject(shots->go.get(), kWindowTimeoutMs) != WAIT_OBJECT_0) return 0;
    WaitForSingleObject(shots->never.get(), kShotDelayMs);
    shots->visibleDuring = IsWindowVisible(shots->prompt);
    shots->during = DarkRedInResultArea(shots->window);
    return 0;
}

struct PromptThreadRun {
    PromptCall call;
    UniqueKernelHandle thread;
    DWORD threadId = 0;
    HWND prompt = nullptr;
};

// Thread A's prompt is up: found, and (where holds are observed) the start call has let go of
// its hold.
bool OpenPrompt(const Library& library, PromptThreadRun& run, Report& report) {
    run.call.startDlg = library.startDlg;
    run.call.startDlgEx = library.startDlgEx;
    const long released = gHoldsReleased.load();
    run.thread.reset(CreateThread(nullptr, 0, PromptThread, &run.call, 0, &run.threadId));
    if (!run.thread) return false;
    run.prompt = WaitForPrompt(run.thread.get(), run.threadId);
    report.Line("prompt_found", run.prompt != nullptr);
    if (!run.prompt) return false;
    if (!gSubmit) return true;
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    while (gHoldsReleased.load() == released && GetTickCount64() < deadline)
        WaitForSingleObject(gHoldReleased.get(), 50);
    report.Line("hold_released", gHoldsReleased.load() != released);
    return true;
}

// Thread A starts with the gate's hook in place and stops at its first WM_PAINT.
bool OpenPromptToFirstPaint(const Library& library, PromptThreadRun& run, UniqueHook& hook, Report& report) {
    run.call.startDlg = library.startDlg;
    run.thread.reset(CreateThread(nullptr, 0, PromptThread, &run.call, CREATE_SUSPENDED, &run.threadId));
    if (!run.thread) return false;
    hook.reset(SetWindowsHookExA(WH_GETMESSAGE, FirstPaintHook, nullptr, run.threadId));
    ResumeThread(run.thread.get());
    if (!hook) return false;
    const bool reached = WaitForSingleObject(gFirstPaintGate->reached.get(), kWindowTimeoutMs) == WAIT_OBJECT_0;
    report.Line("first_paint_reached", reached);
    if (reached) EnumThreadWindows(run.threadId, FindPromptProc, reinterpret_cast<LPARAM>(&run.prompt));
    report.Line("prompt_found", run.prompt != nullptr);
    return run.prompt != nullptr;
}

// Thread A's start call has returned (and then its thread ended) in time.
bool JoinPrompt(PromptThreadRun& run, Report& report, const char* prefix) {
    const bool joined = WaitForSingleObject(run.thread.get(), kReturnTimeoutMs) == WAIT_OBJECT_0;
    report.Line((std::string(prefix) + "_returned").c_str(), joined);
    if (joined) report.Line((std::string(prefix) + "_result").c_str(), run.call.result);
    return joined;
}

long long MillisSince(ULONGLONG start) { return static_cast<long long>(GetTickCount64() - start); }

// The library is gone, or goes within `millis` (an unload that waited for thread A's set-up runs
// once that is done, on another thread).
bool WaitForUnloaded(DWORD millis) {
    const ULONGLONG deadline = GetTickCount64() + millis;
    while (GetModuleHandleA("Quenda.dll")) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
    return true;
}

// Thread A's gate, set up for the hooks to find.
bool MakeGate(FirstPaintGate& gate) {
    gate.reached.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gate.unloadStarting.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gate.never.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gFirstPaintGate = &gate;
    return gate.reached && gate.unloadStarting && gate.never;
}

// The driver's FreeLibrary, timed.
void FreeTimed(Library& library, Report& report) {
    const ULONGLONG start = GetTickCount64();
    library.module.reset();
    report.Line("free_ms", MillisSince(start));
}

// The library's resource loads once the driver has begun the unload.
std::atomic<bool> gUnloading{false};
std::atomic<long> gLoadsDuringUnload{0};
using LoadBitmapFn = HBITMAP(WINAPI*)(HINSTANCE, LPCSTR);
LoadBitmapFn gLoadBitmap = nullptr;
HBITMAP WINAPI CountingLoadBitmap(HINSTANCE instance, LPCSTR name) {
    if (gUnloading.load()) ++gLoadsDuringUnload;
    return gLoadBitmap(instance, name);
}

// Unloads from this thread while thread A shows the prompt; thread C takes a screenshot one second
// into the unload.
int FreeWhileOpen(Report& report, bool atFirstPaint) {
    Library library;
    if (!Load(library, !atFirstPaint)) return kSetupFailed;
    gLoadBitmap = PatchForGood(library.module.get(), "user32.dll", "LoadBitmapA", &CountingLoadBitmap);
    if (!gLoadBitmap) return kSetupFailed;
    PromptThreadRun run;
    FirstPaintGate gate;
    UniqueHook hook;
    if (atFirstPaint) {
        if (!MakeGate(gate)) return kSetupFailed;
        if (!OpenPromptToFirstPaint(library, run, hook, report)) return kSetupFailed;
    } else {
        if (!OpenPrompt(library, run, report)) return kSetupFailed;
        report.Line("prompt_painted", WaitForPromptText(run.prompt));
    }

    Screenshots shots;
    shots.prompt = run.prompt;
    shots.ready.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    shots.go.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    shots.never.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!shots.ready || !shots.go || !shots.never || !GetWindowRect(run.prompt, &shots.window)) return kSetupFailed;
    UniqueKernelHandle shooter(CreateThread(nullptr, 0, ScreenshotThread, &shots, 0, nullptr));
    if (!shooter || WaitForSingleObject(shots.ready.get(), kWindowTimeoutMs) != WAIT_OBJECT_0) return kSetupFailed;

    SetEvent(shots.go.get());
    if (atFirstPaint) SetEvent(gate.unloadStarting.get());
    gUnloading = true;
    FreeTimed(library, report);
    JoinPrompt(run, report, "start_call");
    report.Line("module_unloaded", WaitForUnloaded(kWindowTimeoutMs));
    report.Line("prompt_gone", !IsWindow(run.prompt));
    report.Line("loads_during_unload", gLoadsDuringUnload.load());
    if (WaitForSingleObject(shooter.get(), kWindowTimeoutMs) == WAIT_OBJECT_0) {
        report.Line("dark_red_before", shots.before);
        report.Line("dark_red_during", shots.during);
        report.Line("visible_during", shots.visibleDuring);
    }
    report.Line("done", 1);
    return 0;
}

// Thread A's windows of the library, visible or not.
BOOL CALLBACK CountPromptsProc(HWND window, LPARAM parameter) {
    if (IsClass(window, "#32770")) ++*reinterpret_cast<int*>(parameter);
    return TRUE;
}

int PromptsOf(DWORD threadId) {
    int count = 0;
    EnumThreadWindows(threadId, CountPromptsProc, reinterpret_cast<LPARAM>(&count));
    return count;
}

// What an unload must leave: thread A back from its start call, the library gone (at the latest
// once thread A no longer holds it) and no prompt of it.
int EndOfUnload(PromptThreadRun& run, Report& report) {
    JoinPrompt(run, report, "start_call");
    report.Line("module_unloaded", WaitForUnloaded(kWindowTimeoutMs));
    report.Line("prompt_left", PromptsOf(run.threadId));
    report.Line("done", 1);
    return 0;
}

// The unload begins while thread A sets its prompt up, past every check of the start call: it
// must not unmap the library under thread A, nor leave a prompt behind.
int FreeDuringSetup(Report& report, SetupStage stage) {
    Library library;
    if (!Load(library, false)) return kSetupFailed;
    FirstPaintGate gate;
    if (!MakeGate(gate)) return kSetupFailed;
    gSetupStage = stage;
    PromptThreadRun run;
    run.call.startDlg = library.startDlg;
    run.thread.reset(CreateThread(nullptr, 0, PromptThread, &run.call, CREATE_SUSPENDED, &run.threadId));
    if (!run.thread) return kSetupFailed;
    UniqueHook hook;
    if (stage == SetupStage::Registry) {
        gSetupThread = run.threadId;
        gRegOpenKey = PatchForGood(library.module.get(), "advapi32.dll", "RegOpenKeyExA", &SetupRegOpenKey);
    } else {
        hook.reset(stage == SetupStage::Create
                       ? SetWindowsHookExA(WH_CBT, SetupCreateHook, nullptr, run.threadId)
                       : SetWindowsHookExA(WH_CALLWNDPROC, SetupMessageHook, nullptr, run.threadId));
    }
    ResumeThread(run.thread.get());
    if (stage == SetupStage::Registry ? !gRegOpenKey : !hook) return kSetupFailed;
    const bool reached = WaitForSingleObject(gate.reached.get(), kWindowTimeoutMs) == WAIT_OBJECT_0;
    report.Line("init_reached", reached);
    if (!reached) return kSetupFailed;

    SetEvent(gate.unloadStarting.get());
    FreeTimed(library, report);
    return EndOfUnload(run, report);
}

struct EndCall {
    EndDlgFn endDlg = nullptr;
    uint32_t result = 0xFFFFFFFFu;
};

DWORD WINAPI EndThread(void* parameter) {
    auto* call = static_cast<EndCall*>(parameter);
    call->result = call->endDlg(QUENDA_END_PIN_OK);
    return 0;
}

// Thread B's EndDlg shows its outcome when the unload begins.
int FreeDuringEnd(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("prompt_painted", WaitForPromptText(run.prompt));
    EndCall end{library.endDlg};
    UniqueKernelHandle ender(CreateThread(nullptr, 0, EndThread, &end, 0, nullptr));
    if (!ender) return kSetupFailed;
    WaitForSingleObject(ender.get(), 500);
    FreeTimed(library, report);
    report.Line("end_returned", WaitForSingleObject(ender.get(), kReturnTimeoutMs) == WAIT_OBJECT_0);
    report.Line("end_result", end.result);
    return EndOfUnload(run, report);
}

// Holds a thread on its way out of a closed prompt, at the prompt's WM_DESTROY.
DWORD gLeaveHoldMs = 0;
LRESULT CALLBACK SlowLeaveHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && reinterpret_cast<const CWPSTRUCT*>(lParam)->message == WM_DESTROY &&
        IsClass(reinterpret_cast<const CWPSTRUCT*>(lParam)->hwnd, "#32770"))
        Sleep(gLeaveHoldMs);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Thread A's prompt is closed by EndDlg and thread A is slow on its way out when a second start
// call comes, and the unload with it.
int FreeWhileWaiting(Report& report) {
    Library library;
    if (!Load(library, false)) return kSetupFailed;
    PromptThreadRun first;
    if (!OpenPrompt(library, first, report)) return kSetupFailed;
    gLeaveHoldMs = 1500;
    const UniqueHook slow(SetWindowsHookExA(WH_CALLWNDPROC, SlowLeaveHook, nullptr, first.threadId));
    if (!slow) return kSetupFailed;
    report.Line("end_result", library.endDlg(QUENDA_END_PIN_OK));
    PromptThreadRun second;
    second.call.startDlg = library.startDlg;
    second.thread.reset(CreateThread(nullptr, 0, PromptThread, &second.call, 0, &second.threadId));
    if (!second.thread) return kSetupFailed;
    WaitForSingleObject(second.thread.get(), 300);
    FreeTimed(library, report);
    JoinPrompt(first, report, "start_call");
    JoinPrompt(second, report, "second_call");
    report.Line("module_unloaded", WaitForUnloaded(kWindowTimeoutMs));
    report.Line("prompt_left", PromptsOf(first.threadId) + PromptsOf(second.threadId));
    report.Line("done", 1);
    return 0;
}

// Thread B's last call is held this long in its registry read: past the unload's outcome and
// close, so that the unload waits for it.
constexpr DWORD kKeyHoldMs = 3500;

struct KeyLoop {
    OnKeyPressedFn onKeyPressed = nullptr;
    std::atomic<long> answered{0};
    UniqueKernelHandle held;  // thread B is inside its last call
    std::atomic<ULONGLONG> leftAt{0};
};
KeyLoop* gKeyLoop = nullptr;
DWORD gKeyThread = 0;
RegOpenKeyExFn gKeyRegOpenKey = nullptr;

LSTATUS WINAPI HeldKeyRegOpenKey(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    static std::atomic<bool> fired{false};
    if (GetCurrentThreadId() == gKeyThread && !fired.exchange(true)) {
        SetEvent(gKeyLoop->held.get());
        Sleep(kKeyHoldMs);
    }
    return gKeyRegOpenKey(key, subKey, options, access, result);
}

// Digits, then the new-PIN switch, whose text is read from the registry.
DWORD WINAPI KeyLoopThread(void* parameter) {
    auto* loop = static_cast<KeyLoop*>(parameter);
    for (int i = 0; i < 5; ++i)
        if (loop->onKeyPressed(QUENDA_KEY_DIGIT, 0) == QUENDA_OK) ++loop->answered;
    loop->onKeyPressed(QUENDA_KEY_NEW_PIN, 0);
    loop->leftAt = GetTickCount64();
    return 0;
}

// Thread B is inside OnKeyPressed when the unload begins and stays there past the prompt's close;
// it makes no call after that one, as a driver that has begun the unload must not.
int FreeWhileKeys(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    KeyLoop loop;
    loop.onKeyPressed = library.onKeyPressed;
    loop.held.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gKeyLoop = &loop;
    UniqueKernelHandle keys(CreateThread(nullptr, 0, KeyLoopThread, &loop, CREATE_SUSPENDED, &gKeyThread));
    if (!keys || !loop.held) return kSetupFailed;
    gKeyRegOpenKey = PatchForGood(library.module.get(), "advapi32.dll", "RegOpenKeyExA", &HeldKeyRegOpenKey);
    if (!gKeyRegOpenKey) return kSetupFailed;
    ResumeThread(keys.get());
    report.Line("key_held", WaitForSingleObject(loop.held.get(), kWindowTimeoutMs) == WAIT_OBJECT_0);
    FreeTimed(library, report);
    const ULONGLONG freed = GetTickCount64();
    report.Line("keys_answered", loop.answered.load());
    report.Line("keys_returned", WaitForSingleObject(keys.get(), kReturnTimeoutMs) == WAIT_OBJECT_0);
    report.Line("free_after_key_ms",
                static_cast<long long>(freed) - static_cast<long long>(loop.leftAt.load()));
    return EndOfUnload(run, report);
}

// The library's closes of desktop handles that are protected from closing: under a debugger each
// one raises an exception.
std::atomic<long> gProtectedCloses{0};
using CloseDesktopFn = BOOL(WINAPI*)(HDESK);
CloseDesktopFn gCloseDesktop = nullptr;
BOOL WINAPI CountingCloseDesktop(HDESK desktop) {
    DWORD flags = 0;
    if (GetHandleInformation(desktop, &flags) && (flags & HANDLE_FLAG_PROTECT_FROM_CLOSE)) ++gProtectedCloses;
    return gCloseDesktop(desktop);
}

// Thread A's callback makes a window, so thread A cannot leave the desktop opened for its prompt;
// it stays there, alive, while the driver unloads the library.
struct KeptDesktopRun {
    HWND driverWindow = nullptr;  // thread A only
    HDESK before = nullptr;
    HDESK after = nullptr;
    UniqueKernelHandle returned;
    UniqueKernelHandle go;
    StartDlgFn startDlg = nullptr;
    uint32_t result = 0xFFFFFFFFu;
};
KeptDesktopRun* gKeptRun = nullptr;

void QUENDA_CALL MakeDriverWindow(int32_t) {
    gKeptRun->driverWindow =
        CreateWindowExA(0, "STATIC", "driver", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

DWORD WINAPI KeptDesktopThread(void* parameter) {
    auto* run = static_cast<KeptDesktopRun*>(parameter);
    // Started on a desktop of its own, so that the prompt's switch to the input desktop is a move.
    const quenda::UniqueDesktop side(
        CreateDesktopA("QuendaUnloadSide", nullptr, nullptr, 0, MAXIMUM_ALLOWED, nullptr));
    if (!side || !SetThreadDesktop(side.get())) return 1;
    run->before = GetThreadDesktop(GetCurrentThreadId());
    run->result = run->startDlg(QUENDA_MODE_ENTER_PIN, 0, &MakeDriverWindow);
    run->after = GetThreadDesktop(GetCurrentThreadId());
    SetEvent(run->returned.get());
    WaitForSingleObject(run->go.get(), kReturnTimeoutMs);
    DestroyWindow(run->driverWindow);
    return 0;
}

int FreeWithKeptDesktop(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    gCloseDesktop = PatchForGood(library.module.get(), "user32.dll", "CloseDesktop", &CountingCloseDesktop);
    if (!gCloseDesktop) return kSetupFailed;
    KeptDesktopRun kept;
    kept.startDlg = library.startDlg;
    kept.returned.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    kept.go.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gKeptRun = &kept;
    DWORD threadId = 0;
    UniqueKernelHandle thread(CreateThread(nullptr, 0, KeptDesktopThread, &kept, 0, &threadId));
    if (!thread || !kept.returned || !kept.go) return kSetupFailed;
    const HWND prompt = WaitForPrompt(thread.get(), threadId);
    report.Line("prompt_found", prompt != nullptr);
    if (!prompt) return kSetupFailed;
    PostMessageA(prompt, WM_COMMAND, IDCANCEL, 0);
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    while (!kept.driverWindow && GetTickCount64() < deadline) Sleep(10);
    report.Line("end_result", library.endDlg(QUENDA_END_CANCEL));
    report.Line("start_call_returned",
                WaitForSingleObject(kept.returned.get(), kReturnTimeoutMs) == WAIT_OBJECT_0);
    report.Line("start_call_result", kept.result);
    report.Line("stayed_on_prompt_desktop", kept.after != kept.before);
    FreeTimed(library, report);
    report.Line("module_unloaded", WaitForUnloaded(kWindowTimeoutMs));
    report.Line("protected_closes", gProtectedCloses.load());
    SetEvent(kept.go.get());
    WaitForSingleObject(thread.get(), kReturnTimeoutMs);
    report.Line("done", 1);
    return 0;
}

// A UI Automation client's call held this long inside the provider (in its send to the prompt):
// past the unload's outcome and close.
constexpr DWORD kClientHoldMs = 2500;
DWORD gClientThread = 0;
UniqueKernelHandle gClientInside;
using SendTimeoutFn = LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR);
SendTimeoutFn gSendTimeout = nullptr;
LRESULT WINAPI HeldClientSend(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeout,
                              PDWORD_PTR result) {
    if (GetCurrentThreadId() == gClientThread) {
        SetEvent(gClientInside.get());
        Sleep(kClientHoldMs);
    }
    return gSendTimeout(wnd, msg, wParam, lParam, flags, timeout, result);
}

struct ClientCall {
    HWND prompt = nullptr;
    HRESULT(WINAPI* waitForInputIdle)(HWND, int) = nullptr;
    HRESULT result = E_UNEXPECTED;
    std::atomic<ULONGLONG> leftAt{0};
};

DWORD WINAPI ClientThread(void* parameter) {
    auto* call = static_cast<ClientCall*>(parameter);
    call->result = call->waitForInputIdle(call->prompt, 5000);
    call->leftAt = GetTickCount64();
    return 0;
}

template <typename Fn>
Fn StandIn(const char* name) {
    return ExportOf<Fn>(GetModuleHandleA("uiautomationcore.dll"), name);
}

constexpr LPARAM kUiaRootObjectId = -25;
long long GetObjectAnswer(HWND prompt, LPARAM objectId);

// The driver unloads while a client is inside the provider with a reference for that call only.
int FreeWhileClientCalls(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("root_answer", GetObjectAnswer(run.prompt, kUiaRootObjectId));
    ClientCall call;
    call.prompt = run.prompt;
    call.waitForInputIdle = StandIn<HRESULT(WINAPI*)(HWND, int)>("QuendaStandInWaitForInputIdle");
    gClientInside.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gSendTimeout = PatchForGood(library.module.get(), "user32.dll", "SendMessageTimeoutA", &HeldClientSend);
    if (!call.waitForInputIdle || !gClientInside || !gSendTimeout) return kSetupFailed;
    UniqueKernelHandle client(
        CreateThread(nullptr, 0, ClientThread, &call, CREATE_SUSPENDED, &gClientThread));
    if (!client) return kSetupFailed;
    ResumeThread(client.get());
    report.Line("client_inside", WaitForSingleObject(gClientInside.get(), kWindowTimeoutMs) == WAIT_OBJECT_0);
    FreeTimed(library, report);
    const ULONGLONG freed = GetTickCount64();
    report.Line("client_returned", WaitForSingleObject(client.get(), kReturnTimeoutMs) == WAIT_OBJECT_0);
    report.Line("client_hresult", call.result);
    report.Line("free_after_client_ms",
                static_cast<long long>(freed) - static_cast<long long>(call.leftAt.load()));
    return EndOfUnload(run, report);
}

// The library's release of itself, held on the releasing thread after it has been handed to the
// pool: the pool's thread may unload the library meanwhile.
SubmitFn gLibrarySubmit = nullptr;
BOOL WINAPI SlowSubmit(PTP_SIMPLE_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environment) {
    const BOOL submitted = gLibrarySubmit(callback, context, environment);
    Sleep(300);
    return submitted;
}

// A client still holds the provider after its prompt has gone; the driver's FreeLibrary comes,
// then the client lets go, and the library goes with that last release.
int ClientReleasesAfterFree(Report& report) {
    Library library;
    if (!Load(library, false)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("root_answer", GetObjectAnswer(run.prompt, kUiaRootObjectId));
    const auto hold = StandIn<BOOL(WINAPI*)(HWND)>("QuendaStandInHold");
    const auto letGo = StandIn<void(WINAPI*)()>("QuendaStandInLetGo");
    if (!hold || !letGo) return kSetupFailed;
    report.Line("client_holds", hold(run.prompt));
    PostMessageA(run.prompt, WM_CLOSE, 0, 0);
    if (!JoinPrompt(run, report, "start_call")) return kSetupFailed;
    gLibrarySubmit =
        PatchForGood(library.module.get(), "kernel32.dll", "TrySubmitThreadpoolCallback", &SlowSubmit);
    if (!gLibrarySubmit) return kSetupFailed;
    FreeTimed(library, report);
    report.Line("loaded_after_free", GetModuleHandleA("Quenda.dll") != nullptr);
    letGo();
    report.Line("module_unloaded", WaitForUnloaded(kWindowTimeoutMs));
    report.Line("done", 1);
    return 0;
}

// A debug-output reader of the process's own, as DebugView is one: it takes the lines until it
// is told to stop, and from then on never frees the buffer again.
struct DebugReader {
    UniqueKernelHandle bufferReady;
    UniqueKernelHandle dataReady;
    UniqueKernelHandle buffer;
    std::atomic<bool> stop{false};
    std::atomic<long> lines{0};
};

DWORD WINAPI DebugReaderThread(void* parameter) {
    auto* reader = static_cast<DebugReader*>(parameter);
    SetEvent(reader->bufferReady.get());
    while (!reader->stop.load()) {
        if (WaitForSingleObject(reader->dataReady.get(), 50) != WAIT_OBJECT_0) continue;
        ++reader->lines;
        if (!reader->stop.load()) SetEvent(reader->bufferReady.get());
    }
    return 0;
}

int FreeWithHungReader(Report& report) {
    DebugReader reader;
    reader.bufferReady.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    reader.dataReady.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    reader.buffer.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER"));
    if (!reader.bufferReady || !reader.dataReady || !reader.buffer) return kSetupFailed;
    UniqueKernelHandle readerThread(CreateThread(nullptr, 0, DebugReaderThread, &reader, 0, nullptr));
    if (!readerThread) return kSetupFailed;

    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("prompt_painted", WaitForPromptText(run.prompt));
    // The prompt's own lines (its foreground attempt) are out before the reader stops.
    WaitForSingleObject(readerThread.get(), kShotDelayMs);
    reader.stop = true;
    WaitForSingleObject(readerThread.get(), kWindowTimeoutMs);
    report.Line("lines_read", reader.lines.load());
    FreeTimed(library, report);
    return EndOfUnload(run, report);
}

// The library's SetEvent, held once on thread A until the next start call has entered: the
// interleaving in which a leaving call's wake-up came after the next call had cleared it.
struct LateWakeUp {
    DWORD thread = 0;
    UniqueKernelHandle nextEntered;
    std::atomic<bool> armed{false};
    BOOL(WINAPI* original)(HANDLE) = nullptr;
};
LateWakeUp gLateWakeUp;

BOOL WINAPI LateSetEvent(HANDLE event) {
    if (GetCurrentThreadId() == gLateWakeUp.thread && gLateWakeUp.armed.exchange(false))
        WaitForSingleObject(gLateWakeUp.nextEntered.get(), 1000);
    return gLateWakeUp.original(event);
}

long long CpuMillis(HANDLE thread) {
    FILETIME times[4]{};
    if (!GetThreadTimes(thread, &times[0], &times[1], &times[2], &times[3])) return -1;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(times[2]) + ticks(times[3])) / 10000;
}

int WaitCpu(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    demo::ImportPatch patch(library.module.get(), "kernel32.dll", "SetEvent", reinterpret_cast<void*>(&LateSetEvent));
    if (!patch.Applied()) return kSetupFailed;
    gLateWakeUp.original = patch.Original<BOOL(WINAPI*)(HANDLE)>();
    gLateWakeUp.nextEntered.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!gLateWakeUp.nextEntered) return kSetupFailed;

    PromptThreadRun first;
    if (!OpenPrompt(library, first, report)) return kSetupFailed;
    gLateWakeUp.thread = first.threadId;
    gLateWakeUp.armed = true;
    report.Line("end_result", library.endDlg(QUENDA_END_PIN_OK));
    PromptThreadRun second;
    if (!OpenPrompt(library, second, report)) return kSetupFailed;
    SetEvent(gLateWakeUp.nextEntered.get());
    JoinPrompt(first, report, "start_call");

    // The second call is slow on its way out; a third one waits for it.
    gLeaveHoldMs = 3000;
    const UniqueHook slow(SetWindowsHookExA(WH_CALLWNDPROC, SlowLeaveHook, nullptr, second.threadId));
    if (!slow) return kSetupFailed;
    report.Line("end_result", library.endDlg(QUENDA_END_PIN_OK));
    PromptThreadRun third;
    third.call.startDlg = library.startDlg;
    third.thread.reset(CreateThread(nullptr, 0, PromptThread, &third.call, 0, &third.threadId));
    if (!third.thread) return kSetupFailed;
    WaitForSingleObject(third.thread.get(), 2500);
    report.Line("wait_cpu_ms", CpuMillis(third.thread.get()));
    JoinPrompt(second, report, "second_call");
    third.prompt = WaitForPrompt(third.thread.get(), third.threadId);
    report.Line("third_shown", third.prompt != nullptr);
    report.Line("end_result", library.endDlg(QUENDA_END_PIN_OK));
    JoinPrompt(third, report, "third_call");
    report.Line("done", 1);
    return 0;
}

int ExitWhileOpen(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("prompt_painted", WaitForPromptText(run.prompt));
    report.Line("exit_tick", static_cast<long long>(GetTickCount64()));
    // The library stays loaded: the process's end unloads it with thread A inside the start call.
    (void)library.module.release();
    ExitProcess(kExitCode);
}

int FreeIdle(Report& report) {
    {
        Library library;
        if (!Load(library)) return kSetupFailed;
        const ULONGLONG start = GetTickCount64();
        library.module.reset();
        report.Line("free_unused_ms", MillisSince(start));
    }
    report.Line("unloaded_unused", GetModuleHandleA("Quenda.dll") == nullptr);

    // A prompt run and closed by the driver's process, then the unload with nothing open.
    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    PostMessageA(run.prompt, WM_CLOSE, 0, 0);
    if (!JoinPrompt(run, report, "start_call")) return kSetupFailed;
    const ULONGLONG start = GetTickCount64();
    library.module.reset();
    report.Line("free_after_prompt_ms", MillisSince(start));
    // The start call lets go of its own hold on a pool thread once the prompt is up: a moment later.
    report.Line("unloaded_after_prompt", WaitForUnloaded(1000));
    report.Line("done", 1);
    return 0;
}

// The prompt's window text (what it announces) has become `text`.
bool WaitForWindowText(HWND prompt, const char* text) {
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    UniqueKernelHandle never(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (;;) {
        char current[256] = {};
        GetWindowTextA(prompt, current, sizeof current);
        if (std::strcmp(current, text) == 0) return true;
        if (!never || GetTickCount64() >= deadline) return false;
        WaitForSingleObject(never.get(), 10);
    }
}

// The driver's keys at the first message thread A takes from its queue once the prompt exists,
// before the loop has announced the opened prompt, or at the first WM_SETTEXT to the prompt,
// while it is being set up: either way the switch must come after the opening announcement.
const Library* gEarlyKeys = nullptr;

void PressEarlyKeys() {
    const Library* library = std::exchange(gEarlyKeys, nullptr);
    library->onKeyPressed(QUENDA_KEY_DIGIT, 0);
    library->onKeyPressed(QUENDA_KEY_DIGIT, 0);
    library->onKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0);
}

LRESULT CALLBACK EarlyKeysHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE && gEarlyKeys) PressEarlyKeys();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK SetTextKeysHook(int code, WPARAM wParam, LPARAM lParam) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    char className[16] = {};
    if (code == HC_ACTION && gEarlyKeys && call->message == WM_SETTEXT &&
        GetClassNameA(call->hwnd, className, sizeof className) && std::strcmp(className, "#32770") == 0)
        PressEarlyKeys();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The foreground timer has made the prompt topmost (its first tick comes 250 ms after the open).
bool WaitForTopmost(HWND prompt) {
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    UniqueKernelHandle never(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    while (!(GetWindowLongPtrA(prompt, GWL_EXSTYLE) & WS_EX_TOPMOST)) {
        if (!never || GetTickCount64() >= deadline) return false;
        WaitForSingleObject(never.get(), 10);
    }
    return true;
}

// What a UI Automation client's request for the prompt's root element is answered with.
long long GetObjectAnswer(HWND prompt, LPARAM objectId) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(prompt, WM_GETOBJECT, 0, objectId, SMTO_NORMAL, kWindowTimeoutMs, &answer)) return -1;
    return static_cast<long long>(answer);
}

int AnnounceSteps(Report& report, bool duringSetup) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    DlgParams params{};
    params.Size = static_cast<int32_t>(sizeof params);
    params.Texts[QUENDA_TEXT_ENTER_PIN - 1] = "Enter &PIN && go";
    params.Texts[QUENDA_TEXT_CONFIRM_PIN - 1] = "Confirm PIN";
    params.Texts[QUENDA_TEXT_PIN_ERROR - 1] = "Wrong PIN!";
    PromptThreadRun run;
    run.call.params = &params;
    run.call.startDlgEx = library.startDlgEx;
    run.thread.reset(CreateThread(nullptr, 0, PromptThread, &run.call, CREATE_SUSPENDED, &run.threadId));
    if (!run.thread) return kSetupFailed;
    gEarlyKeys = &library;
    const UniqueHook hook(duringSetup ? SetWindowsHookExA(WH_CALLWNDPROC, SetTextKeysHook, nullptr, run.threadId)
                                      : SetWindowsHookExA(WH_GETMESSAGE, EarlyKeysHook, nullptr, run.threadId));
    ResumeThread(run.thread.get());
    if (!hook) return kSetupFailed;
    run.prompt = WaitForPrompt(run.thread.get(), run.threadId);
    report.Line("prompt_found", run.prompt != nullptr);
    if (!run.prompt) return kSetupFailed;
    report.Line("prompt_thread", run.threadId);
    report.Line("prompt_window", static_cast<long long>(reinterpret_cast<UINT_PTR>(run.prompt)));
    report.Line("confirm_shown", WaitForWindowText(run.prompt, "Confirm PIN"));
    report.Line("topmost", WaitForTopmost(run.prompt));
    report.Line("root_answer", GetObjectAnswer(run.prompt, kUiaRootObjectId));
    report.Line("client_answer", GetObjectAnswer(run.prompt, OBJID_CLIENT));
    library.onKeyPressed(QUENDA_KEY_DIGIT, 0);
    report.Line("end_result", library.endDlg(QUENDA_END_PIN_ERROR));
    JoinPrompt(run, report, "start_call");
    report.Line("done", 1);
    return 0;
}

// A client finds the prompt and closes it through the Window pattern, as Escape would: without a
// callback the prompt closes and the start call returns.
int AutomationClose(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("prompt_thread", run.threadId);
    report.Line("root_answer", GetObjectAnswer(run.prompt, kUiaRootObjectId));
    using CloseFn = HRESULT(WINAPI*)(HWND);
    const auto close = ExportOf<CloseFn>(GetModuleHandleA("uiautomationcore.dll"), "QuendaStandInClose");
    if (!close) return kSetupFailed;
    report.Line("close_hresult", close(run.prompt));
    JoinPrompt(run, report, "start_call");
    report.Line("done", 1);
    return 0;
}

// The bold fonts the library creates: the labels' (the button caption is not bold).
std::atomic<LONG> gBoldFontHeight{0};
using CreateFontIndirectFn = HFONT(WINAPI*)(const LOGFONTA*);
CreateFontIndirectFn gCreateFont = nullptr;

HFONT WINAPI RecordingCreateFont(const LOGFONTA* font) {
    if (font && font->lfWeight == FW_BOLD) gBoldFontHeight.store(font->lfHeight);
    return gCreateFont(font);
}

int LabelFont(Report& report) {
    using SetContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
    const auto setContext = ExportOf<SetContextFn>(GetModuleHandleA("user32.dll"), "SetThreadDpiAwarenessContext");
    if (!setContext || !setContext(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE)) return kSetupFailed;
    LOGFONTA stock{};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
    {
        const WindowDc screen(nullptr);
        report.Line("system_dpi", GetDeviceCaps(screen.get(), LOGPIXELSY));
    }
    report.Line("stock_height", stock.lfHeight);
    Library library;
    if (!Load(library)) return kSetupFailed;
    const demo::ImportPatch patch(library.module.get(), "gdi32.dll", "CreateFontIndirectA",
                                  reinterpret_cast<void*>(&RecordingCreateFont));
    if (!patch.Applied()) return kSetupFailed;
    gCreateFont = patch.Original<CreateFontIndirectFn>();
    PromptThreadRun run;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    // The labels' font is made at the first paint (the window's place on screen differs at 144).
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    while (gBoldFontHeight.load() == 0 && GetTickCount64() < deadline) WaitForSingleObject(run.thread.get(), 10);
    report.Line("label_font_height", gBoldFontHeight.load());
    PostMessageA(run.prompt, WM_CLOSE, 0, 0);
    JoinPrompt(run, report, "start_call");
    report.Line("done", 1);
    return 0;
}

// The calls a field trace must explain: refusals with their reasons, a desktop that does not
// exist, keys and the outcome.
int TraceSequence(Report& report) {
    Library library;
    if (!Load(library)) return kSetupFailed;
    // The refused start call reads the trace switch; the key after it is traced.
    report.Line("invalid_mode", library.startDlg(3, 0, nullptr));
    report.Line("key_before_open", library.onKeyPressed(QUENDA_KEY_DIGIT, 0));
    DlgParams negative{};
    negative.Size = -1;
    report.Line("negative_size", library.startDlgEx(&negative, QUENDA_MODE_ENTER_PIN, 0, nullptr));

    DlgParams params{};
    params.Size = sizeof params;
    // Longer than a trace line: the lines that name it are cut.
    static const std::string kLongDesktop = "QuendaNoSuchDesk" + std::string(300, 'k');
    params.Desktop = kLongDesktop.c_str();
    PromptThreadRun run;
    run.call.params = &params;
    if (!OpenPrompt(library, run, report)) return kSetupFailed;
    report.Line("second_start", library.startDlg(QUENDA_MODE_ENTER_PIN, 0, nullptr));
    report.Line("digit1", library.onKeyPressed(QUENDA_KEY_DIGIT, 0));
    report.Line("digit2", library.onKeyPressed(QUENDA_KEY_DIGIT, 0));
    report.Line("end", library.endDlg(QUENDA_END_PIN_OK));
    if (!JoinPrompt(run, report, "start_call")) return kSetupFailed;
    library.module.reset();
    report.Line("done", 1);
    return 0;
}

// Under Wine a crash can otherwise end the process with exit code 0.
LONG WINAPI ExitOnCrash(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), kCrashed);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ExitOnCrash);
    if (argc != 3) return kSetupFailed;
    Report report(argv[2]);
    if (!report.Ok()) return kSetupFailed;
    const std::string mode = argv[1];
    if (mode == "free-while-open") return FreeWhileOpen(report, false);
    if (mode == "free-at-first-paint") return FreeWhileOpen(report, true);
    if (mode == "free-at-registry") return FreeDuringSetup(report, SetupStage::Registry);
    if (mode == "free-at-create") return FreeDuringSetup(report, SetupStage::Create);
    if (mode == "free-at-button") return FreeDuringSetup(report, SetupStage::Button);
    if (mode == "free-while-creating") return FreeDuringSetup(report, SetupStage::InitDialog);
    if (mode == "free-at-show") return FreeDuringSetup(report, SetupStage::Show);
    if (mode == "free-during-end") return FreeDuringEnd(report);
    if (mode == "free-while-waiting") return FreeWhileWaiting(report);
    if (mode == "free-while-keys") return FreeWhileKeys(report);
    if (mode == "free-hung-reader") return FreeWithHungReader(report);
    if (mode == "free-kept-desktop") return FreeWithKeptDesktop(report);
    if (mode == "client-call") return FreeWhileClientCalls(report);
    if (mode == "client-release") return ClientReleasesAfterFree(report);
    if (mode == "wait-cpu") return WaitCpu(report);
    if (mode == "exit-while-open") return ExitWhileOpen(report);
    if (mode == "free-idle") return FreeIdle(report);
    if (mode == "announce") return AnnounceSteps(report, false);
    if (mode == "announce-setup") return AnnounceSteps(report, true);
    if (mode == "automation-close") return AutomationClose(report);
    if (mode == "label-font") return LabelFont(report);
    if (mode == "trace-sequence") return TraceSequence(report);
    return kSetupFailed;
}
