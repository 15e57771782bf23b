#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace quenda::test {

namespace {

template <typename Fn>
Fn ExportOf(HMODULE module, const char* name) {
    // Through void(*)(): the one function-pointer cast that GCC does not flag.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

void PumpPending() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string ExeDirectory() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string result(path, length);
    size_t slash = result.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : result.substr(0, slash + 1);
}

std::optional<QuendaModule> QuendaModule::Load(std::string& error) {
    std::string path = ExeDirectory() + "Quenda.dll";
    QuendaModule result;
    // The altered search path keeps the lookup in the test program's directory.
    result.module_.reset(LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!result.module_) {
        error = "LoadLibrary(" + path + ") failed, error " + std::to_string(GetLastError());
        return std::nullopt;
    }
    HMODULE module = result.module_.get();
    result.api_.OnKeyPressed = ExportOf<OnKeyPressedFn>(module, "OnKeyPressed");
    result.api_.EndDlg = ExportOf<EndDlgFn>(module, "EndDlg");
    result.api_.StartDlgEx = ExportOf<StartDlgExFn>(module, "StartDlgEx");
    result.api_.StartDlg = ExportOf<StartDlgFn>(module, "StartDlg");
    if (!result.api_.OnKeyPressed || !result.api_.EndDlg || !result.api_.StartDlgEx ||
        !result.api_.StartDlg) {
        error = "Quenda.dll lacks one of OnKeyPressed, EndDlg, StartDlgEx, StartDlg";
        return std::nullopt;
    }
    return result;
}

void PinModule(HMODULE module) {
    HMODULE pinned = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(module), &pinned);
}

// ---------------------------------------------------------------------------------------------

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        PumpPending();
        if (condition()) return true;
        double left = deadline - NowMs();
        if (left <= 0) return condition();
        // Wakes for this thread's messages at once; the short period re-checks the condition,
        // which other threads change without telling this one.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left < 10 ? left + 1 : 10),
                                  QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    const double deadline = NowMs() + ms;
    for (;;) {
        PumpPending();
        double left = deadline - NowMs();
        if (left <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    }
}

bool WaitForHandle(HANDLE handle, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        double left = deadline - NowMs();
        DWORD wait = left <= 0 ? 0 : static_cast<DWORD>(left) + 1;
        DWORD rc = MsgWaitForMultipleObjects(1, &handle, FALSE, wait, QS_ALLINPUT);
        if (rc == WAIT_OBJECT_0) return true;
        if (rc != WAIT_OBJECT_0 + 1) return false;  // timeout or failure
        PumpPending();
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

DWORD WINAPI AsyncCallThread(void* parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

AsyncCall::AsyncCall(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    thread_.reset(CreateThread(nullptr, 0, AsyncCallThread, owned.get(), 0, &threadId_));
    if (thread_) (void)owned.release();  // the thread owns it now
}

AsyncCall::~AsyncCall() {
    if (thread_ && !Join(kJoinTimeoutMs)) {
        // Closing the handle does not stop the thread; it may be inside the library, whose code
        // must outlive the test's unload.
        std::fprintf(stderr, "AsyncCall: thread %lu did not end; left running\n",
                     static_cast<unsigned long>(threadId_));
        if (HMODULE quenda = GetModuleHandleA("Quenda.dll")) PinModule(quenda);
    }
}

bool AsyncCall::Join(DWORD timeoutMs) {
    return thread_ && WaitForHandle(thread_.get(), timeoutMs);
}

bool AsyncCall::Finished() const {
    return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0;
}

// ---------------------------------------------------------------------------------------------

namespace {

BOOL CALLBACK FindDialogProc(HWND window, LPARAM parameter) {
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") == 0 && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(parameter) = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindThreadDialog(DWORD threadId) {
    HWND found = nullptr;
    EnumThreadWindows(threadId, FindDialogProc, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::string WindowText(HWND wnd) {
    char text[512]{};
    GetWindowTextA(wnd, text, sizeof text);
    return text;
}

bool WaitForWindowText(HWND wnd, const std::string& expected, std::string& seen, DWORD timeoutMs) {
    return WaitUntil(
        [&] {
            seen = WindowText(wnd);
            return seen == expected;
        },
        timeoutMs);
}

PromptRun::PromptRun(HMODULE module, std::function<uint32_t()> start)
    : PromptRun(module, [&start] {
          auto state = std::make_shared<State>();
          state->start = std::move(start);
          return state;
      }()) {}

PromptRun::PromptRun(HMODULE module, std::shared_ptr<State> state)
    : module_(module), state_(state), call_([state] {
          state->result = state->start();
          state->returned = true;
      }) {}

PromptRun::~PromptRun() {
    if (!call_.Started() || call_.Finished()) return;
    // A test that failed half-way: close whatever the thread shows, so later tests start clean.
    for (int attempt = 0; attempt < 3 && !call_.Finished(); ++attempt) {
        if (HWND dialog = FindThreadDialog(ThreadId())) PostMessageA(dialog, WM_CLOSE, 0, 0);
        if (call_.Join(kJoinTimeoutMs / 3)) return;
    }
    std::fprintf(stderr, "PromptRun: start call in thread %lu did not return; module pinned\n",
                 static_cast<unsigned long>(ThreadId()));
    PinModule(module_);
}

std::unique_ptr<PromptRun> PromptRun::StartDlg(HMODULE module, const QuendaApi& api, uint32_t mode,
                                               CancelCallback callback) {
    auto fn = api.StartDlg;
    return std::make_unique<PromptRun>(module, [fn, mode, callback] { return fn(mode, 0, callback); });
}

std::unique_ptr<PromptRun> PromptRun::StartDlgEx(HMODULE module, const QuendaApi& api,
                                                 const DlgParams* params, uint32_t mode,
                                                 CancelCallback callback) {
    auto fn = api.StartDlgEx;
    return std::make_unique<PromptRun>(
        module, [fn, params, mode, callback] { return fn(params, mode, 0, callback); });
}

HWND PromptRun::WaitForDialog(DWORD timeoutMs) {
    if (dialog_ != nullptr && IsWindow(dialog_)) return dialog_;
    dialog_ = nullptr;
    (void)WaitUntil(
        [this] {
            dialog_ = FindThreadDialog(ThreadId());
            return dialog_ != nullptr || call_.Finished();
        },
        timeoutMs);
    return dialog_;
}

bool PromptRun::CloseAndJoin(DWORD timeoutMs) {
    HWND dialog = dialog_ != nullptr ? dialog_ : FindThreadDialog(ThreadId());
    if (dialog != nullptr) PostMessageA(dialog, WM_CLOSE, 0, 0);
    return call_.Join(timeoutMs);
}

// ---------------------------------------------------------------------------------------------

namespace {

void QUENDA_CALL RecordFirst(int32_t argument) { CancelRecorder::First().Record(argument); }
void QUENDA_CALL RecordSecond(int32_t argument) { CancelRecorder::Second().Record(argument); }

}  // namespace

CancelRecorder& CancelRecorder::First() {
    static CancelRecorder recorder(RecordFirst);
    return recorder;
}

CancelRecorder& CancelRecorder::Second() {
    static CancelRecorder recorder(RecordSecond);
    return recorder;
}

void CancelRecorder::Reset() {
    SetAction(nullptr);
    count_ = 0;
    lastArgument_ = 0;
    lastThreadId_ = 0;
}

void CancelRecorder::SetAction(std::function<void()> action) {
    std::lock_guard lock(actionMutex_);
    action_ = std::move(action);
}

void CancelRecorder::Record(int32_t argument) {
    lastArgument_ = argument;
    lastThreadId_ = GetCurrentThreadId();
    ++count_;
    std::function<void()> action;
    {
        std::lock_guard lock(actionMutex_);
        action = action_;
    }
    if (action) action();
}

bool CancelRecorder::WaitForCount(int count, DWORD timeoutMs) const {
    return WaitUntil([this, count] { return count_.load() >= count; }, timeoutMs);
}

// ---------------------------------------------------------------------------------------------

namespace {

std::atomic<ThreadMessageLog*> activeLog{nullptr};

LRESULT CALLBACK CallWndHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        if (ThreadMessageLog* log = activeLog.load()) {
            auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
            log->Add({sent->hwnd, sent->message, sent->wParam, sent->lParam, false});
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        if (ThreadMessageLog* log = activeLog.load()) {
            auto* msg = reinterpret_cast<const MSG*>(lParam);
            log->Add({msg->hwnd, msg->message, msg->wParam, msg->lParam, true});
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

ThreadMessageLog::ThreadMessageLog(DWORD threadId) {
    ThreadMessageLog* expected = nullptr;
    if (!activeLog.compare_exchange_strong(expected, this)) return;
    // Thread hooks in this process need no module handle.
    callHook_.reset(SetWindowsHookExA(WH_CALLWNDPROC, CallWndHook, nullptr, threadId));
    getHook_.reset(SetWindowsHookExA(WH_GETMESSAGE, GetMessageHook, nullptr, threadId));
}

ThreadMessageLog::~ThreadMessageLog() {
    callHook_.reset();
    getHook_.reset();
    ThreadMessageLog* expected = this;
    activeLog.compare_exchange_strong(expected, nullptr);
}

void ThreadMessageLog::Add(const LoggedMessage& message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
}

std::vector<LoggedMessage> ThreadMessageLog::Snapshot() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

size_t ThreadMessageLog::CountIf(const std::function<bool(const LoggedMessage&)>& match) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& message : messages_) count += match(message) ? 1 : 0;
    return count;
}

bool ThreadMessageLog::WaitFor(const std::function<bool(const LoggedMessage&)>& match,
                               DWORD timeoutMs) const {
    return WaitUntil([&] { return CountIf(match) > 0; }, timeoutMs);
}

void ThreadMessageLog::Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

// ---------------------------------------------------------------------------------------------

namespace {

BITMAPINFO TopDown32(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// 32-bit DIB pixels are bytes B, G, R, unused.
COLORREF FromDib(uint32_t value) {
    return RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
}

}  // namespace

bool Picture::Save(const std::string& name) const {
    if (Empty()) return false;
    std::string folder = ExeDirectory() + "shots";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string path = folder + "\\" + name + ".bmp";
    const int stride = (width_ * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width_;
    header.biHeight = height_;  // bottom-up, the form every viewer reads
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(stride * height_);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    std::vector<uint8_t> rows(header.biSizeImage);
    for (int y = 0; y < height_; ++y) {
        uint8_t* row = rows.data() + size_t(height_ - 1 - y) * stride;
        for (int x = 0; x < width_; ++x) {
            COLORREF c = Pixel(x, y);
            row[x * 3 + 0] = GetBValue(c);
            row[x * 3 + 1] = GetGValue(c);
            row[x * 3 + 2] = GetRValue(c);
        }
    }
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!out) return false;
    return std::fwrite(&file, sizeof file, 1, out.get()) == 1 &&
           std::fwrite(&header, sizeof header, 1, out.get()) == 1 &&
           std::fwrite(rows.data(), rows.size(), 1, out.get()) == 1;
}

namespace {

std::optional<Picture> ReadPicture(const UniqueBitmap& bitmap) {
    if (!bitmap) return std::nullopt;
    BITMAP info{};
    if (GetObjectA(bitmap.get(), sizeof info, &info) != sizeof info) return std::nullopt;
    WindowDc screen(nullptr);
    if (!screen) return std::nullopt;
    BITMAPINFO request = TopDown32(info.bmWidth, info.bmHeight);
    std::vector<uint32_t> bits(size_t(info.bmWidth) * info.bmHeight);
    // The palette of an 8-bit picture is applied here, as BitBlt applies it on the screen.
    if (GetDIBits(screen.get(), bitmap.get(), 0, info.bmHeight, bits.data(), &request,
                  DIB_RGB_COLORS) != info.bmHeight)
        return std::nullopt;
    Picture picture(info.bmWidth, info.bmHeight);
    for (int y = 0; y < info.bmHeight; ++y)
        for (int x = 0; x < info.bmWidth; ++x)
            picture.SetPixel(x, y, FromDib(bits[size_t(y) * info.bmWidth + x]));
    return picture;
}

}  // namespace

std::optional<Picture> LoadResourcePicture(HMODULE module, const char* name) {
    return ReadPicture(UniqueBitmap(static_cast<HBITMAP>(LoadImageA(module, name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION))));
}

std::optional<Picture> LoadPictureFile(const std::string& path) {
    return ReadPicture(UniqueBitmap(static_cast<HBITMAP>(
        LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION | LR_LOADFROMFILE))));
}

std::optional<Picture> CaptureScreen(const RECT& screenRect) {
    const int width = screenRect.right - screenRect.left;
    const int height = screenRect.bottom - screenRect.top;
    if (width <= 0 || height <= 0) return std::nullopt;
    WindowDc screen(nullptr);
    if (!screen) return std::nullopt;
    UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
    if (!memory) return std::nullopt;
    BITMAPINFO info = TopDown32(width, height);
    void* bits = nullptr;
    UniqueBitmap dib(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || bits == nullptr) return std::nullopt;
    {
        SelectedObject selected(memory.get(), dib.get());
        if (!selected.ok()) return std::nullopt;
        if (!BitBlt(memory.get(), 0, 0, width, height, screen.get(), screenRect.left,
                    screenRect.top, SRCCOPY))
            return std::nullopt;
    }
    GdiFlush();
    const auto* pixels = static_cast<const uint32_t*>(bits);
    Picture picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.SetPixel(x, y, FromDib(pixels[size_t(y) * width + x]));
    return picture;
}

namespace {

bool SamePixels(const Picture& a, const Picture& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y)) return false;
    return true;
}

bool NothingToPaint(HWND window) {
    if (GetUpdateRect(window, nullptr, FALSE)) return false;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        if (GetUpdateRect(child, nullptr, FALSE)) return false;
    return true;
}

}  // namespace

std::optional<Picture> SettledShot(HWND dialog, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    auto left = [&] { return static_cast<DWORD>(std::max(0.0, deadline - NowMs())); };
    if (!WaitUntil([dialog] { return IsWindowVisible(dialog) && NothingToPaint(dialog); }, left()))
        return std::nullopt;
    // A message round trip: the dialog's thread has finished the paint it began, and going idle
    // afterwards hands its drawing to the screen.
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, left(), &ignored))
        return std::nullopt;
    RECT rect{};
    if (!GetWindowRect(dialog, &rect)) return std::nullopt;
    std::optional<Picture> previous;
    int same = 0;
    while (NowMs() < deadline) {
        std::optional<Picture> shot = CaptureScreen(rect);
        if (!shot) return std::nullopt;
        same = previous && SamePixels(*previous, *shot) ? same + 1 : 0;
        previous = std::move(shot);
        if (same >= 2 && NothingToPaint(dialog)) return previous;
        PumpFor(30);
    }
    return std::nullopt;
}

std::string ColourText(COLORREF colour) {
    char text[32];
    std::snprintf(text, sizeof text, "RGB(%u,%u,%u)", GetRValue(colour), GetGValue(colour),
                  GetBValue(colour));
    return text;
}

}  // namespace quenda::test
