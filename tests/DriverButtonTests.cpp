// The prompt's Cancel button and foreground handling through the real Quenda.dll: the hover look
// driven by the pointer, Escape released on the button, and the foreground won back from another
// process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "TestSupport.h"

namespace quenda::test {
namespace {

constexpr int kEndWidth = 8;
constexpr int kHoverImage = 64;
// The tick is 250 ms; a few ticks, and Wine's own leave tracking polls more slowly than that.
constexpr DWORD kForegroundBackMs = 2000;
constexpr DWORD kLookTimeoutMs = 2000;
constexpr COLORREF kUntouched = RGB(1, 2, 3);
const char kCaption[] = "Cancel";


POINT CentreOnScreen(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Far from any prompt, which is centred.
constexpr POINT kAway{5, 5};

// Under Wine a pointer event of an earlier move that a window's thread handles late can put the
// pointer back; the move is repeated until the position holds.
bool MovePointer(POINT p) {
    const auto there = [p] {
        POINT now{};
        return GetCursorPos(&now) && now.x == p.x && now.y == p.y;
    };
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!SetCursorPos(p.x, p.y)) return false;
        PumpFor(20);
        if (there()) return true;
    }
    return false;
}

std::optional<Picture> ButtonOnScreen(HWND button) {
    RECT r{};
    if (!GetWindowRect(button, &r)) return std::nullopt;
    return CaptureScreen(r);
}

// Rows the caption cannot reach: it is centred, one pixel further down when pressed.
bool CaptionFreeRow(int y, int captionTop, int captionBottom) { return y < captionTop || y > captionBottom; }

// The hover image, drawn in three pieces over 98 columns.
COLORREF HoverPixel(const Picture& strip, int x, int y) {
    if (x < kEndWidth) return strip.Pixel(kHoverImage + x, y);
    if (x >= kButtonWidth - kEndWidth) return strip.Pixel(kHoverImage + kEndWidth + x - (kButtonWidth - kEndWidth), y);
    return strip.Pixel(kHoverImage + kEndWidth, y);
}

bool SameButton(const Picture& a, const Picture& b) {
    for (int y = 0; y < kButtonHeight; ++y)
        for (int x = 0; x < kButtonWidth; ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y)) return false;
    return true;
}

bool IsRetrievedFor(const LoggedMessage& m, HWND window, UINT message) {
    return m.retrieved && m.window == window && m.message == message;
}

// After the prompt's thread has taken a message from its queue, a message sent to it is handled
// only once that one has been dispatched.
bool RoundTrip(HWND dialog) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kJoinTimeoutMs, &ignored) != 0;
}

DlgParams ParamsWithCaption() {
    DlgParams params{};
    params.Size = static_cast<int32_t>(sizeof(DlgParams));
    params.Texts[QUENDA_TEXT_CANCEL - 1] = kCaption;
    return params;
}

class DriverButton : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        module_ = QuendaModule::Load(error);
        ASSERT_TRUE(module_) << error;
        api_ = module_->Api();
        CancelRecorder::First().Reset();
        ASSERT_TRUE(MovePointer(kAway)) << "the pointer cannot be moved";
    }
    void TearDown() override {
        CancelRecorder::First().Reset();
        (void)MovePointer(kAway);
    }
    HMODULE Module() const { return module_->Handle(); }

    std::optional<QuendaModule> module_;
    QuendaApi api_;
};

TEST_F(DriverButton, HoverLookOncePerEntryAndNormalLookAfterLeaving) {
    std::optional<Picture> strip = LoadResourcePicture(Module(), "BITMAP_BUTTON");
    ASSERT_TRUE(strip && strip->Width() == kButtonWidth && strip->Height() == kButtonHeight);
    // The caption's rows, from the font the caption is drawn in (the GUI font at 96 DPI).
    int captionTop = 0;
    int captionBottom = 0;
    {
        const WindowDc screen(nullptr);
        ASSERT_EQ(GetDeviceCaps(screen.get(), LOGPIXELSY), 96);
        const UniqueMemoryDc dc(CreateCompatibleDC(screen.get()));
        const SelectedObject font(dc.get(), GetStockObject(DEFAULT_GUI_FONT));
        RECT r{0, 0, kButtonWidth, kButtonHeight};
        DrawTextA(dc.get(), kCaption, -1, &r, DT_CALCRECT);
        captionTop = (kButtonHeight - (r.bottom - r.top) + 1) / 2;
        captionBottom = captionTop + (r.bottom - r.top);  // last row of a pressed caption
    }
    ASSERT_GT(captionTop, 0);
    const DlgParams params = ParamsWithCaption();
    auto run = PromptRun::StartDlgEx(Module(), api_, &params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt appeared";
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    ThreadMessageLog log(run->ThreadId());
    ASSERT_TRUE(log.Installed());
    ASSERT_TRUE(SettledShot(dialog));
    const std::optional<Picture> before = ButtonOnScreen(button);
    ASSERT_TRUE(before);
    before->Save("DriverButton.Hover.before");

    // Compares the caption-free rows with the hover image; says where the first difference is.
    std::string firstDifference;
    const auto showsHover = [&](const Picture& shot) {
        for (int y = 0; y < kButtonHeight; ++y)
            for (int x = 0; x < kButtonWidth; ++x)
                if (CaptionFreeRow(y, captionTop, captionBottom) && shot.Pixel(x, y) != HoverPixel(*strip, x, y)) {
                    char where[64];
                    std::snprintf(where, sizeof where, "button pixel (%d,%d) is ", x, y);
                    firstDifference = where + ColourText(shot.Pixel(x, y));
                    firstDifference += ", hover image " + ColourText(HoverPixel(*strip, x, y));
                    return false;
                }
        return true;
    };
    ASSERT_FALSE(showsHover(*before)) << "the button shows the hover image before the pointer came";

    const POINT centre = CentreOnScreen(button);
    for (int entry = 1; entry <= 2; ++entry) {
        SCOPED_TRACE("entry " + std::to_string(entry));
        log.Clear();
        ASSERT_TRUE(MovePointer(centre));
        std::optional<Picture> hover;
        const bool hovered = WaitUntil(
            [&] {
                hover = ButtonOnScreen(button);
                return hover && showsHover(*hover);
            },
            kLookTimeoutMs);
        if (hover) hover->Save("DriverButton.Hover.entry" + std::to_string(entry));
        ASSERT_TRUE(hovered) << "no hover image: " << firstDifference;
        // The orange frame at its top and bottom, from the middle column of the hover image.
        EXPECT_EQ(hover->Pixel(kButtonWidth / 2, 2), strip->Pixel(kHoverImage + kEndWidth, 2));
        EXPECT_EQ(hover->Pixel(kButtonWidth / 2, 22), strip->Pixel(kHoverImage + kEndWidth, 22));

        // Paint over the hover image; a further movement over the button must leave it so.
        {
            const WindowDc dc(button);
            const UniqueBrush fill(CreateSolidBrush(kUntouched));
            const RECT all{0, 0, kButtonWidth, kButtonHeight};
            FillRect(dc.get(), &all, fill.get());
        }
        ASSERT_TRUE(MovePointer({centre.x + 7, centre.y + 3}));
        ASSERT_TRUE(log.WaitFor([&](const LoggedMessage& m) { return IsRetrievedFor(m, button, WM_MOUSEMOVE); },
                                kWindowTimeoutMs))
            << "the movement over the button did not reach it";
        ASSERT_TRUE(RoundTrip(dialog));
        std::optional<Picture> overdrawn;
        ASSERT_TRUE(WaitUntil(
            [&] {
                overdrawn = ButtonOnScreen(button);
                return overdrawn && overdrawn->Pixel(kButtonWidth / 2, 2) == kUntouched;
            },
            kLookTimeoutMs))
            << "the test's fill never reached the screen";
        EXPECT_EQ(overdrawn->Pixel(4, 12), kUntouched) << "a second movement drew the hover image again";
        EXPECT_EQ(overdrawn->Pixel(kButtonWidth - 4, 12), kUntouched) << "a second movement drew the hover image again";

        ASSERT_TRUE(MovePointer(kAway));
        std::optional<Picture> after;
        const bool restored = WaitUntil(
            [&] {
                after = ButtonOnScreen(button);
                return after && SameButton(*after, *before);
            },
            kLookTimeoutMs);
        if (after) after->Save("DriverButton.Hover.left" + std::to_string(entry));
        EXPECT_TRUE(restored) << "after leaving, the button does not show its look from before the hover";
        PumpFor(300);
        EXPECT_EQ(log.CountIf([&](const LoggedMessage& m) { return IsRetrievedFor(m, button, WM_MOUSELEAVE); }), 1u)
            << "one leave notification per entry";
    }
    EXPECT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

TEST_F(DriverButton, EscapeReleasedOnTheFocusedButtonClosesWithoutCancel) {
    CancelRecorder& recorder = CancelRecorder::First();
    auto run = PromptRun::StartDlg(Module(), api_, QUENDA_MODE_ENTER_PIN, recorder.Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt appeared";
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    SetForegroundWindow(dialog);
    ASSERT_TRUE(WaitUntil([dialog] { return GetForegroundWindow() == dialog; }, kForegroundBackMs))
        << "the prompt did not reach the foreground, so the key would go elsewhere";
    DWORD_PTR ignored = 0;
    ASSERT_TRUE(SendMessageTimeoutA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE, SMTO_ABORTIFHUNG,
                                    kJoinTimeoutMs, &ignored));
    const DWORD promptThread = run->ThreadId();
    ASSERT_TRUE(WaitUntil(
        [&] {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            return GetGUIThreadInfo(promptThread, &info) && info.hwndFocus == button;
        },
        kWindowTimeoutMs))
        << "the button did not get the keyboard focus";
    ASSERT_TRUE(IsWindow(dialog));

    // The release alone: a press would also reach the dialog manager as IDCANCEL.
    INPUT release{};
    release.type = INPUT_KEYBOARD;
    release.ki.wVk = VK_ESCAPE;
    release.ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(SendInput(1, &release, sizeof release), 1u);

    ASSERT_TRUE(run->Join()) << "the start call did not return after Escape was released";
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
    const double endStart = NowMs();
    EXPECT_EQ(api_.EndDlg(QUENDA_END_CANCEL), QUENDA_INVALID_PARAMETER);
    EXPECT_LT(NowMs() - endStart, 1000.0) << "a refused EndDlg showed an outcome";
    PumpFor(100);
    EXPECT_EQ(recorder.Count(), 0) << "the cancel callback was called on the Escape path";
}

// ---------------------------------------------------------------------------------------------
// Another process in the foreground

// QuendaForegroundHolder.exe, run for one test; told to quit (or ended) when the owner goes.
class ForegroundHolder {
public:
    [[nodiscard]] static std::unique_ptr<ForegroundHolder> Start(std::string& error) {
        std::unique_ptr<ForegroundHolder> holder(new ForegroundHolder);
        const std::string prefix = "QuendaForegroundHolder." + std::to_string(GetCurrentProcessId()) + ".";
        const auto make = [&](const char* name) {
            return UniqueHandle(CreateEventA(nullptr, FALSE, FALSE, (prefix + name).c_str()));
        };
        holder->take_ = make("take");
        holder->took_ = make("took");
        holder->raise_ = make("raise");
        holder->raised_ = make("raised");
        holder->quit_ = make("quit");
        if (!holder->take_ || !holder->took_ || !holder->raise_ || !holder->raised_ || !holder->quit_) {
            error = "CreateEvent failed, error " + std::to_string(GetLastError());
            return nullptr;
        }
        const std::string exe = ExeDirectory() + "QuendaForegroundHolder.exe";
        std::string commandLine = "\"" + exe + "\" " + prefix;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info)) {
            error = "cannot start " + exe + ", error " + std::to_string(GetLastError());
            return nullptr;
        }
        holder->process_.reset(info.hProcess);
        const UniqueHandle thread(info.hThread);
        holder->processId_ = info.dwProcessId;
        return holder;
    }

    ForegroundHolder(const ForegroundHolder&) = delete;
    ForegroundHolder& operator=(const ForegroundHolder&) = delete;
    ~ForegroundHolder() {
        if (!process_) return;
        SetEvent(quit_.get());
        if (!WaitForHandle(process_.get(), kJoinTimeoutMs)) TerminateProcess(process_.get(), 1);
    }

    // Set each time the holder's window has taken the foreground.
    [[nodiscard]] bool WaitUntilItTookTheForeground(DWORD timeoutMs) const {
        return WaitForHandle(took_.get(), timeoutMs);
    }
    void TakeTheForeground() const { SetEvent(take_.get()); }
    // Puts the holder's window on top of the topmost band without activating it.
    [[nodiscard]] bool MoveInFront(DWORD timeoutMs) const {
        SetEvent(raise_.get());
        return WaitForHandle(raised_.get(), timeoutMs);
    }
    [[nodiscard]] bool Owns(HWND window) const {
        DWORD processId = 0;
        return window && GetWindowThreadProcessId(window, &processId) && processId == processId_;
    }
    [[nodiscard]] HWND Window() const {
        for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT))
            if (IsWindowVisible(w) && Owns(w)) return w;
        return nullptr;
    }

private:
    ForegroundHolder() = default;
    UniqueHandle take_;
    UniqueHandle took_;
    UniqueHandle raise_;
    UniqueHandle raised_;
    UniqueHandle quit_;
    UniqueHandle process_;
    DWORD processId_ = 0;
};

// Place of a top-level window in the z-order, from the top; -1 when it is not found.
int ZOrderIndex(HWND window) {
    int index = 0;
    for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT), ++index)
        if (w == window) return index;
    return -1;
}

bool InFront(HWND window, HWND other) {
    const int a = ZOrderIndex(window);
    const int b = ZOrderIndex(other);
    return a >= 0 && b >= 0 && a < b;
}

// Windows' own default, so that a timeout left at 0 by the prompt shows; restored afterwards.
class ForegroundLockTimeout {
public:
    explicit ForegroundLockTimeout(DWORD value) {
        saved_ = SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &old_, 0) != 0;
        if (saved_)
            SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, reinterpret_cast<void*>(UINT_PTR{value}),
                                  SPIF_SENDWININICHANGE);
    }
    ForegroundLockTimeout(const ForegroundLockTimeout&) = delete;
    ForegroundLockTimeout& operator=(const ForegroundLockTimeout&) = delete;
    ~ForegroundLockTimeout() {
        if (saved_)
            SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, reinterpret_cast<void*>(UINT_PTR{old_}),
                                  SPIF_SENDWININICHANGE);
    }
    static DWORD Read() {
        DWORD value = 0xFFFFFFFFu;
        SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &value, 0);
        return value;
    }

private:
    DWORD old_ = 0;
    bool saved_ = false;
};

TEST_F(DriverButton, ForegroundAndTopmostPlaceAreTakenBackFromAnotherProcess) {
    constexpr DWORD kLockTimeout = 200000;
    const ForegroundLockTimeout lock(kLockTimeout);
    ASSERT_EQ(ForegroundLockTimeout::Read(), kLockTimeout) << "the foreground lock timeout cannot be set";
    auto run = PromptRun::StartDlg(Module(), api_, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt appeared";
    ASSERT_TRUE(WaitUntil([dialog] { return GetForegroundWindow() == dialog; }, kForegroundBackMs))
        << "the prompt did not take the foreground after opening";

    std::string error;
    std::unique_ptr<ForegroundHolder> holder = ForegroundHolder::Start(error);
    ASSERT_TRUE(holder) << error;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (round > 1) holder->TakeTheForeground();
        ASSERT_TRUE(holder->WaitUntilItTookTheForeground(kWindowTimeoutMs))
            << "the other process did not get the foreground; nothing to take back";
        const double taken = NowMs();
        const bool back = WaitUntil([dialog] { return GetForegroundWindow() == dialog; }, kForegroundBackMs);
        EXPECT_TRUE(back) << "the prompt did not take the foreground back within " << kForegroundBackMs << " ms";
        if (!back) continue;
        std::printf("round %d: foreground back after %.0f ms\n", round, NowMs() - taken);
        EXPECT_NE(GetWindowLongPtrA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
        // The holder's window is topmost as well and covers the prompt.
        HWND holderWindow = holder->Window();
        ASSERT_NE(holderWindow, nullptr);
        EXPECT_NE(GetWindowLongPtrA(holderWindow, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
        EXPECT_TRUE(WaitUntil([&] { return InFront(dialog, holderWindow); }, kForegroundBackMs))
            << "prompt at " << ZOrderIndex(dialog) << " in the z-order, the other window at "
            << ZOrderIndex(holderWindow);
        const HWND atCentre = WindowFromPoint(CentreOnScreen(dialog));
        EXPECT_TRUE(atCentre == dialog || GetAncestor(atCentre, GA_ROOT) == dialog)
            << "the prompt's centre shows another window";
    }

    // A topmost window put in front without taking the foreground: the prompt, still in the
    // foreground, has to claim the top of the topmost band by itself.
    HWND holderWindow = holder->Window();
    ASSERT_NE(holderWindow, nullptr);
    bool covered = false;
    for (int attempt = 0; attempt < 3 && !covered; ++attempt) {
        ASSERT_TRUE(holder->MoveInFront(kWindowTimeoutMs));
        // A tick may come between the move and this look; then the move is repeated.
        covered = InFront(holderWindow, dialog);
    }
    ASSERT_TRUE(covered) << "the other window never got in front of the prompt";
    EXPECT_EQ(GetForegroundWindow(), dialog) << "moving in front took the foreground after all";
    EXPECT_TRUE(WaitUntil([&] { return InFront(dialog, holderWindow); }, kForegroundBackMs))
        << "the prompt stayed behind the other topmost window";

    EXPECT_EQ(ForegroundLockTimeout::Read(), kLockTimeout) << "the foreground lock timeout was not restored";
    holder.reset();
    EXPECT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

}  // namespace
}  // namespace quenda::test
