// Helpers for the driver-level tests: the real Quenda.dll loaded from the test program's
// directory, a prompt run in its own thread, screenshots, the driver's cancel callback, message
// logs of the prompt's thread and waits that always end.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef STRICT
#define STRICT
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "WinHandles.h"
#include "quenda.h"

namespace quenda::test {

// The prompt's layout in window coordinates (it has no border, so they are client ones too) and
// the colours its labels are given.
inline constexpr int kHeight = 177;
inline constexpr int kLeftWidth = 167;
inline constexpr int kRightWidth = 4;
inline constexpr int kLabelLeft = 165;
inline constexpr int kDefaultMiddle = 135;
inline constexpr int kMaxMiddle = 600;
inline constexpr int kButtonId = 5;
inline constexpr int kButtonWidth = 98;
inline constexpr int kButtonHeight = 25;
inline constexpr COLORREF kWhite = RGB(255, 255, 255);
inline constexpr COLORREF kDarkRed = RGB(128, 0, 0);
inline constexpr COLORREF kBlack = RGB(0, 0, 0);

// An empty record that the library takes whole.
inline DlgParams NewParams() {
    DlgParams params{};
    params.Size = static_cast<int32_t>(sizeof(DlgParams));
    return params;
}

// Generous limits: a hang fails the test, a slow machine does not.
inline constexpr DWORD kWindowTimeoutMs = 5000;
inline constexpr DWORD kJoinTimeoutMs = 5000;
inline constexpr DWORD kPaintTimeoutMs = 3000;

// ---------------------------------------------------------------------------------------------
// Owners

// The library's own owners serve the tests as well.
using quenda::SelectedObject;
using quenda::WindowDc;
using UniqueHandle = quenda::UniqueKernelHandle;
using quenda::UniqueBitmap;
using quenda::UniqueBrush;
using quenda::UniqueModule;
using UniqueMemoryDc = quenda::UniqueMemDc;
using UniqueHook = quenda::UniqueHandle<HHOOK, UnhookWindowsHookEx>;

// ---------------------------------------------------------------------------------------------
// The library under test

struct QuendaApi {
    OnKeyPressedFn OnKeyPressed = nullptr;
    EndDlgFn EndDlg = nullptr;
    StartDlgExFn StartDlgEx = nullptr;
    StartDlgFn StartDlg = nullptr;
};

// Directory of the test program, with a trailing backslash.
std::string ExeDirectory();

class QuendaModule {
public:
    // Loads Quenda.dll from the test program's directory; on failure says why in `error`.
    [[nodiscard]] static std::optional<QuendaModule> Load(std::string& error);

    [[nodiscard]] HMODULE Handle() const { return module_.get(); }
    [[nodiscard]] const QuendaApi& Api() const { return api_; }

private:
    QuendaModule() = default;
    UniqueModule module_;
    QuendaApi api_;
};

// Keeps a module mapped for the rest of the process: a thread stuck inside it must not lose its
// code when the test's owner unloads it.
void PinModule(HMODULE module);

// ---------------------------------------------------------------------------------------------
// Waits

// Waits until `condition` holds, dispatching this thread's messages meanwhile.
[[nodiscard]] bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
// Dispatches this thread's messages for `ms`; for checks that something does not happen.
void PumpFor(DWORD ms);
// Waits for a handle to be signalled, dispatching this thread's messages meanwhile.
[[nodiscard]] bool WaitForHandle(HANDLE handle, DWORD timeoutMs);

// Milliseconds since an arbitrary start, monotonic.
double NowMs();

// ---------------------------------------------------------------------------------------------
// Threads

// Runs a function in its own thread. The destructor joins with a timeout; a thread that does not
// end is left running with its state kept alive rather than blocking the test program.
class AsyncCall {
public:
    explicit AsyncCall(std::function<void()> body);
    AsyncCall(const AsyncCall&) = delete;
    AsyncCall& operator=(const AsyncCall&) = delete;
    ~AsyncCall();

    [[nodiscard]] bool Started() const { return static_cast<bool>(thread_); }
    [[nodiscard]] DWORD ThreadId() const { return threadId_; }
    [[nodiscard]] HANDLE ThreadHandle() const { return thread_.get(); }
    [[nodiscard]] bool Join(DWORD timeoutMs);
    [[nodiscard]] bool Finished() const;

private:
    UniqueHandle thread_;
    DWORD threadId_ = 0;
};

// The visible top-level dialog ("#32770") owned by a thread, or null.
HWND FindThreadDialog(DWORD threadId);

// A window's text; the prompt sets its own to what it shows, after a posted notice.
std::string WindowText(HWND wnd);
// Waits until the window's text is `expected`; `seen` is the last text read.
[[nodiscard]] bool WaitForWindowText(HWND wnd, const std::string& expected, std::string& seen,
                                     DWORD timeoutMs = 2000);

// Thread A of the driver: runs a start call, records its result and thread, finds the prompt.
class PromptRun {
public:
    // `start` runs in the new thread and returns the start call's result.
    PromptRun(HMODULE module, std::function<uint32_t()> start);
    PromptRun(const PromptRun&) = delete;
    PromptRun& operator=(const PromptRun&) = delete;
    // Closes a prompt that is still open (WM_CLOSE) and joins; a thread that does not end is
    // left behind with the module pinned, so later tests still run.
    ~PromptRun();

    [[nodiscard]] static std::unique_ptr<PromptRun> StartDlg(HMODULE module, const QuendaApi& api,
                                                             uint32_t mode, CancelCallback callback);
    // `params` must outlive the run.
    [[nodiscard]] static std::unique_ptr<PromptRun> StartDlgEx(HMODULE module, const QuendaApi& api,
                                                               const DlgParams* params, uint32_t mode,
                                                               CancelCallback callback);

    // The prompt window, once visible; null when it did not appear in time or the call returned.
    [[nodiscard]] HWND WaitForDialog(DWORD timeoutMs = kWindowTimeoutMs);
    [[nodiscard]] HWND Dialog() const { return dialog_; }
    [[nodiscard]] DWORD ThreadId() const { return call_.ThreadId(); }
    [[nodiscard]] bool Join(DWORD timeoutMs = kJoinTimeoutMs) { return call_.Join(timeoutMs); }
    [[nodiscard]] bool Returned() const { return state_->returned.load(); }
    [[nodiscard]] uint32_t Result() const { return state_->result.load(); }
    // Posts WM_CLOSE to the prompt (its own close, no outcome display) and joins.
    [[nodiscard]] bool CloseAndJoin(DWORD timeoutMs = kJoinTimeoutMs);

private:
    struct State {
        std::function<uint32_t()> start;
        std::atomic<uint32_t> result{0xFFFFFFFFu};
        std::atomic<bool> returned{false};
    };
    PromptRun(HMODULE module, std::shared_ptr<State> state);

    HMODULE module_;
    std::shared_ptr<State> state_;
    AsyncCall call_;
    HWND dialog_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The driver's cancel callback

// Records every call of a CancelCallback. Two slots, so that a test can tell two drivers' callbacks
// apart.
class CancelRecorder {
public:
    static CancelRecorder& First();
    static CancelRecorder& Second();

    [[nodiscard]] CancelCallback Callback() const { return callback_; }
    void Reset();
    [[nodiscard]] int Count() const { return count_.load(); }
    [[nodiscard]] int32_t LastArgument() const { return lastArgument_.load(); }
    [[nodiscard]] DWORD LastThreadId() const { return lastThreadId_.load(); }
    [[nodiscard]] bool WaitForCount(int count, DWORD timeoutMs) const;
    // Runs inside the callback, in the calling thread, after the call is recorded.
    void SetAction(std::function<void()> action);

    void Record(int32_t argument);  // called by the slot's callback

private:
    explicit CancelRecorder(CancelCallback callback) : callback_(callback) {}
    CancelCallback callback_;
    std::mutex actionMutex_;
    std::function<void()> action_;
    std::atomic<int> count_{0};
    std::atomic<int32_t> lastArgument_{0};
    std::atomic<DWORD> lastThreadId_{0};
};

// ---------------------------------------------------------------------------------------------
// Messages of the prompt's thread

struct LoggedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool retrieved;  // true: taken from the queue (WH_GETMESSAGE); false: sent (WH_CALLWNDPROC)
};

// Records the messages that one thread retrieves and is sent, through thread hooks. One log at a
// time per process.
class ThreadMessageLog {
public:
    explicit ThreadMessageLog(DWORD threadId);
    ThreadMessageLog(const ThreadMessageLog&) = delete;
    ThreadMessageLog& operator=(const ThreadMessageLog&) = delete;
    ~ThreadMessageLog();

    [[nodiscard]] bool Installed() const { return callHook_ && getHook_; }
    [[nodiscard]] std::vector<LoggedMessage> Snapshot() const;
    [[nodiscard]] size_t CountIf(const std::function<bool(const LoggedMessage&)>& match) const;
    [[nodiscard]] bool WaitFor(const std::function<bool(const LoggedMessage&)>& match,
                               DWORD timeoutMs) const;
    void Clear();

    void Add(const LoggedMessage& message);  // called by the hooks

private:
    mutable std::mutex mutex_;
    std::vector<LoggedMessage> messages_;
    UniqueHook callHook_;
    UniqueHook getHook_;
};

// ---------------------------------------------------------------------------------------------
// Pictures

// Pixels in 0x00BBGGRR (COLORREF) order, row 0 at the top.
class Picture {
public:
    Picture() = default;
    Picture(int width, int height) : width_(width), height_(height), pixels_(size_t(width) * height) {}
    [[nodiscard]] int Width() const { return width_; }
    [[nodiscard]] int Height() const { return height_; }
    [[nodiscard]] bool Empty() const { return pixels_.empty(); }
    [[nodiscard]] COLORREF Pixel(int x, int y) const { return pixels_[size_t(y) * width_ + x]; }
    void SetPixel(int x, int y, COLORREF colour) { pixels_[size_t(y) * width_ + x] = colour; }
    // Writes a 24-bit .bmp into the "shots" folder next to the test program.
    bool Save(const std::string& name) const;

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<COLORREF> pixels_;
};

// A named bitmap resource of a module, read back at 32 bits per pixel.
std::optional<Picture> LoadResourcePicture(HMODULE module, const char* name);
// A .bmp file, read back the same way.
std::optional<Picture> LoadPictureFile(const std::string& path);

// A rectangle of the screen: GetDC(NULL) + BitBlt into a 32-bit top-down DIB section.
std::optional<Picture> CaptureScreen(const RECT& screenRect);

// The prompt's window rectangle once its paints are done and what reaches the screen has
// settled (several identical captures in a row); empty when it does not settle in time.
std::optional<Picture> SettledShot(HWND dialog, DWORD timeoutMs = kPaintTimeoutMs);

// Colour helpers.
inline COLORREF Rgb(int r, int g, int b) { return RGB(r, g, b); }
std::string ColourText(COLORREF colour);

}  // namespace quenda::test
