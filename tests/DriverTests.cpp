// Driver-level tests: the real Quenda.dll, loaded and called exactly as a reader driver does.
// Thread A runs the start call; the test thread plays thread B. Pixels are read from the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstddef>
#include <string>
#include <vector>

#include "DemoContrast.h"
#include "ImportPatch.h"
#include "TestSupport.h"

namespace quenda::test {
namespace {

using demo::ImportPatch;

constexpr DWORD kEndDlgMinMs = 1900;
constexpr DWORD kEndDlgMaxMs = 4000;
// A refused call must not wait for anything.
constexpr double kPromptReturnMs = 1000;

struct Layout {
    int middle = kDefaultMiddle;

    int Width() const { return middle + kLeftWidth + kRightWidth; }
    RECT Label(int top, int height) const {
        return {kLabelLeft, top, kLabelLeft + middle - 14, std::min(top + height, kHeight)};
    }
    RECT Prompt(int top = 25) const { return Label(top, 90); }
    RECT Echo(int top = 50) const { return Label(top, 20); }
    RECT Result(int top = 100) const { return Label(top, 90); }
    RECT Button() const { return {Width() - 113, 140, Width() - 15, 165}; }
    // The piece of a label that lies over the middle band, where the background is one known colour
    // per row.
    RECT InBand(RECT r) const {
        r.left = std::max<LONG>(r.left, kLeftWidth);
        return r;
    }
    // Above the button: a label rectangle without the rows the button may cover.
    static RECT AboveButton(RECT r) {
        r.bottom = std::min<LONG>(r.bottom, 140);
        return r;
    }
};

// What the background alone puts at a pixel: the left picture, its column 166 stretched over the
// band, the right picture at the edge.
class Background {
public:
    Background(const Picture& left, const Picture& right, int middle)
        : left_(left), right_(right), middle_(middle) {}
    COLORREF At(int x, int y) const {
        if (x < kLeftWidth) return left_.Pixel(x, y);
        if (x < kLeftWidth + middle_) return left_.Pixel(kLeftWidth - 1, y);
        return right_.Pixel(x - kLeftWidth - middle_, y);
    }

private:
    const Picture& left_;
    const Picture& right_;
    int middle_;
};

// Counts pixels of `r` (clipped to the picture) that satisfy `match`; notes the first one.
template <typename Match>
int CountPixels(const Picture& shot, RECT r, Match match, std::string* first = nullptr) {
    r.left = std::max<LONG>(r.left, 0);
    r.top = std::max<LONG>(r.top, 0);
    r.right = std::min<LONG>(r.right, shot.Width());
    r.bottom = std::min<LONG>(r.bottom, shot.Height());
    int count = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)
            if (match(x, y)) {
                if (count++ == 0 && first) {
                    char where[32];
                    std::snprintf(where, sizeof where, "(%d,%d) ", x, y);
                    *first = where + ColourText(shot.Pixel(x, y));
                }
            }
    return count;
}

int CountOffBackground(const Picture& shot, const Background& bg, RECT r, std::string* first = nullptr) {
    return CountPixels(shot, r, [&](int x, int y) { return shot.Pixel(x, y) != bg.At(x, y); }, first);
}

int CountDiffering(const Picture& a, const Picture& b, RECT r, std::string* first = nullptr) {
    return CountPixels(a, r, [&](int x, int y) { return a.Pixel(x, y) != b.Pixel(x, y); }, first);
}

int CountColour(const Picture& shot, RECT r, COLORREF colour) {
    return CountPixels(shot, r, [&](int x, int y) { return shot.Pixel(x, y) == colour; });
}

POINT CentreOnScreen(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// A real click: the pointer is moved there and the button pressed and released.
bool ClickAt(POINT point) {
    if (!SetCursorPos(point.x, point.y)) return false;
    INPUT inputs[2]{};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

bool IsCancelClick(const LoggedMessage& m, HWND dialog) {
    return !m.retrieved && m.window == dialog && m.message == WM_COMMAND &&
           LOWORD(m.wParam) == kButtonId && HIWORD(m.wParam) == BN_CLICKED;
}

bool IsButtonUp(const LoggedMessage& m) { return m.retrieved && m.message == WM_LBUTTONUP; }

// After the dialog's thread has taken the release from its queue, a sent message is handled only
// once that release has been dispatched.
bool ClickHandled(const ThreadMessageLog& log, HWND dialog) {
    if (!log.WaitFor(IsButtonUp, kWindowTimeoutMs)) return false;
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kJoinTimeoutMs, &ignored) != 0;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        module_ = QuendaModule::Load(error);
        ASSERT_TRUE(module_) << error;
        api_ = module_->Api();
        std::optional<Picture> left = LoadResourcePicture(Module(), "BMP_BG_LEFT");
        std::optional<Picture> right = LoadResourcePicture(Module(), "BMP_BG_RIGHT");
        ASSERT_TRUE(left && right) << "the background pictures cannot be read from Quenda.dll";
        ASSERT_EQ(left->Width(), kLeftWidth);
        ASSERT_EQ(left->Height(), kHeight);
        ASSERT_EQ(right->Width(), kRightWidth);
        ASSERT_EQ(right->Height(), kHeight);
        left_ = std::move(*left);
        right_ = std::move(*right);
        CancelRecorder::First().Reset();
        CancelRecorder::Second().Reset();
        // Away from every prompt, so no earlier click leaves the button in its hover look.
        SetCursorPos(0, 0);
    }

    void TearDown() override {
        CancelRecorder::First().Reset();
        CancelRecorder::Second().Reset();
    }

    HMODULE Module() const { return module_->Handle(); }
    Background Bg(int middle = kDefaultMiddle) const { return Background(left_, right_, middle); }

    std::unique_ptr<PromptRun> Start(uint32_t mode, CancelCallback callback) {
        return PromptRun::StartDlg(Module(), api_, mode, callback);
    }
    std::unique_ptr<PromptRun> StartEx(const DlgParams* params, uint32_t mode, CancelCallback callback) {
        return PromptRun::StartDlgEx(Module(), api_, params, mode, callback);
    }

    // The settled screenshot of a prompt, also written to shots/ for diagnosis.
    std::optional<Picture> Shot(HWND dialog, const std::string& tag) {
        std::optional<Picture> shot = SettledShot(dialog);
        if (shot) {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            shot->Save(std::string(info->test_suite_name()) + "." + info->name() + "." + tag);
        }
        return shot;
    }

    // Opens a prompt with a record, takes its settled screenshot and closes it.
    std::optional<Picture> ShotOfPrompt(const DlgParams& params, uint32_t mode, const std::string& tag) {
        auto run = StartEx(&params, mode, nullptr);
        HWND dialog = run->WaitForDialog();
        EXPECT_NE(dialog, nullptr) << tag << ": no prompt appeared";
        if (!dialog) return std::nullopt;
        std::optional<Picture> shot = Shot(dialog, tag);
        EXPECT_TRUE(shot) << tag << ": the prompt did not settle on screen";
        EXPECT_TRUE(run->CloseAndJoin()) << tag << ": the prompt did not close";
        EXPECT_EQ(run->Result(), QUENDA_OK);
        return shot;
    }

    std::optional<QuendaModule> module_;
    QuendaApi api_;
    Picture left_;
    Picture right_;
};

// ---------------------------------------------------------------------------------------------
// Results of the four exports

using DriverReturnCodes = DriverTest;

TEST_F(DriverReturnCodes, InvalidModesAreRefusedWithoutPrompt) {
    for (uint32_t mode : {0u, 3u, 4u, 6u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        DlgParams params = NewParams();
        auto plain = Start(mode, CancelRecorder::First().Callback());
        auto withRecord = StartEx(&params, mode, CancelRecorder::First().Callback());
        // A modal prompt would keep the call from returning.
        ASSERT_TRUE(plain->Join(static_cast<DWORD>(kPromptReturnMs)));
        ASSERT_TRUE(withRecord->Join(static_cast<DWORD>(kPromptReturnMs)));
        EXPECT_EQ(plain->Result(), QUENDA_INVALID_PARAMETER);
        EXPECT_EQ(withRecord->Result(), QUENDA_INVALID_PARAMETER);
        EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER) << "a prompt is open";
    }
}

TEST_F(DriverReturnCodes, KeysAndEndWithoutPromptAreRefusedAtOnce) {
    for (uint32_t key : {0u, 1u, 2u, 8u, 16u, 17u, 99u})
        EXPECT_EQ(api_.OnKeyPressed(key, 0), QUENDA_INVALID_PARAMETER) << "key " << key;
    for (uint32_t outcome : {1u, 3u, 5u, 7u}) {
        const double start = NowMs();
        EXPECT_EQ(api_.EndDlg(outcome), QUENDA_INVALID_PARAMETER) << "outcome " << outcome;
        // The two-second display belongs to an open prompt only.
        EXPECT_LT(NowMs() - start, 500.0) << "outcome " << outcome;
    }
}

TEST_F(DriverReturnCodes, RecordsOutOfRangeAreRefusedWithoutPrompt) {
    struct Case {
        const char* what;
        int32_t size;
        uint32_t extraWidth;
    };
    const Case cases[] = {
        {"Size -1", -1, 0},
        {"Size INT32_MIN", INT32_MIN, 0},
        // 135 added to these overflows 32 bits.
        {"ExtraWidth 4294967161", static_cast<int32_t>(sizeof(DlgParams)), 4294967161u},
        {"ExtraWidth 0xFFFFFFFF", static_cast<int32_t>(sizeof(DlgParams)), 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DlgParams params = NewParams();
        params.Size = c.size;
        params.ExtraWidth = c.extraWidth;
        auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, CancelRecorder::First().Callback());
        ASSERT_TRUE(run->Join(static_cast<DWORD>(kPromptReturnMs))) << "a prompt was shown";
        EXPECT_EQ(run->Result(), QUENDA_INVALID_PARAMETER);
    }
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
}

TEST_F(DriverReturnCodes, LargestExtraWidthWithoutOverflowIsAccepted) {
    DlgParams params = NewParams();
    params.ExtraWidth = 4294967160u;  // + 135 is exactly 0xFFFFFFFF: above 600, so 600
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no prompt; start call returned " << run->Result();
    RECT r{};
    GetWindowRect(dialog, &r);
    EXPECT_EQ(r.right - r.left, kMaxMiddle + kLeftWidth + kRightWidth);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
}

// A start call made while a prompt is open shows nothing, returns 0 at once and leaves the open
// prompt as it is.
TEST_F(DriverReturnCodes, SecondStartReturnsAtOnceAndKeepsOpenPrompt) {
    DlgParams first = NewParams();
    first.Texts[0] = "First driver prompt";
    auto run = StartEx(&first, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    std::optional<Picture> before = Shot(dialog, "before");
    ASSERT_TRUE(before);

    static const char kSecondText[] = "WWWW MMMM second";
    DlgParams second = NewParams();
    second.Texts[0] = kSecondText;
    second.Texts[1] = kSecondText;
    second.ExtraWidth = 465;
    second.PromptTop = 100;
    auto again = StartEx(&second, QUENDA_MODE_OLD_PIN, nullptr);
    ASSERT_TRUE(again->Join(static_cast<DWORD>(kPromptReturnMs))) << "second start call did not return";
    EXPECT_EQ(again->Result(), QUENDA_OK);
    EXPECT_FALSE(run->Returned());
    EXPECT_EQ(FindThreadDialog(GetCurrentThreadId()), nullptr);

    std::optional<Picture> after = Shot(dialog, "after");
    ASSERT_TRUE(after);
    RECT r{};
    GetWindowRect(dialog, &r);
    EXPECT_EQ(r.right - r.left, Layout{}.Width()) << "the second record resized the open prompt";
    // Everything but the button, whose look follows focus and pointer.
    const RECT button = Layout{}.Button();
    std::string firstDiff;
    const int changed = CountPixels(*after, {0, 0, after->Width(), after->Height()}, [&](int x, int y) {
        const POINT p{x, y};
        return !PtInRect(&button, p) && before->Pixel(x, y) != after->Pixel(x, y);
    }, &firstDiff);
    EXPECT_EQ(changed, 0) << "the open prompt changed, first at " << firstDiff;
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

// The start call stores its callback before it finds a prompt already open; that prompt's cancel
// then reaches the latest caller.
// A second caller must not hand the open prompt its own callback: the first driver still owns it.
TEST_F(DriverReturnCodes, SecondStartKeepsTheOpenPromptsCallback) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, CancelRecorder::First().Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    auto again = Start(QUENDA_MODE_ENTER_PIN, CancelRecorder::Second().Callback());
    ASSERT_TRUE(again->Join(static_cast<DWORD>(kPromptReturnMs))) << "second start call did not return";
    EXPECT_EQ(again->Result(), QUENDA_OK);

    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    ThreadMessageLog log(run->ThreadId());
    ASSERT_TRUE(log.Installed());
    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(ClickHandled(log, dialog));
    EXPECT_EQ(log.CountIf([dialog](const LoggedMessage& m) { return IsCancelClick(m, dialog); }), 1u)
        << "the click did not reach the prompt";
    EXPECT_EQ(CancelRecorder::First().Count(), 1) << "the open prompt's own callback was not called";
    EXPECT_EQ(CancelRecorder::Second().Count(), 0) << "the second caller's callback reached the open prompt";
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

TEST_F(DriverReturnCodes, InvalidModeLeavesOpenPromptAndCallback) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, CancelRecorder::First().Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    auto refused = Start(3, CancelRecorder::Second().Callback());
    ASSERT_TRUE(refused->Join(static_cast<DWORD>(kPromptReturnMs)));
    EXPECT_EQ(refused->Result(), QUENDA_INVALID_PARAMETER);

    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    ThreadMessageLog log(run->ThreadId());
    ASSERT_TRUE(log.Installed());
    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(ClickHandled(log, dialog));
    EXPECT_EQ(CancelRecorder::First().Count(), 1);
    EXPECT_EQ(CancelRecorder::Second().Count(), 0);
    ASSERT_TRUE(run->CloseAndJoin());
}

// Holds thread A at its first window creation, i.e. inside the start call but before the prompt
// is initialised.
struct CreationGate {
    HANDLE reached = nullptr;
    HANDLE proceed = nullptr;
    std::atomic<bool> fired{false};
};
std::atomic<CreationGate*> gCreationGate{nullptr};

LRESULT CALLBACK CreationGateHook(int code, WPARAM wParam, LPARAM lParam) {
    CreationGate* gate = gCreationGate.load();
    if (code == HCBT_CREATEWND && gate && !gate->fired.exchange(true)) {
        SetEvent(gate->reached);
        WaitForSingleObject(gate->proceed, kJoinTimeoutMs);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(DriverReturnCodes, EndBeforePromptExistsIsRefusedAndDropsCallback) {
    UniqueHandle hookReady(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle reached(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle proceed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(hookReady && reached && proceed);
    CreationGate gate;
    gate.reached = reached.get();
    gate.proceed = proceed.get();
    gCreationGate = &gate;
    struct ClearGate {
        HANDLE proceed;
        ~ClearGate() {
            SetEvent(proceed);
            gCreationGate = nullptr;
        }
    } clearGate{proceed.get()};

    // Thread hooks keep SetThreadDesktop from working, so this prompt stays on its desktop.
    DlgParams params = NewParams();
    params.Flags = QUENDA_FLAG_KEEP_DESKTOP;
    const HANDLE ready = hookReady.get();
    const StartDlgExFn startEx = api_.StartDlgEx;
    const CancelCallback callback = CancelRecorder::First().Callback();
    PromptRun run(Module(), [ready, startEx, &params, callback] {
        WaitForSingleObject(ready, kJoinTimeoutMs);
        return startEx(&params, QUENDA_MODE_ENTER_PIN, 0, callback);
    });
    UniqueHook hook(SetWindowsHookExA(WH_CBT, CreationGateHook, nullptr, run.ThreadId()));
    SetEvent(ready);
    ASSERT_TRUE(hook) << "error " << GetLastError();
    ASSERT_TRUE(WaitForHandle(reached.get(), kWindowTimeoutMs)) << "thread A created no window";

    const double start = NowMs();
    EXPECT_EQ(api_.EndDlg(QUENDA_END_CANCEL), QUENDA_INVALID_PARAMETER);
    EXPECT_LT(NowMs() - start, 500.0);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
    SetEvent(proceed.get());
    hook.reset();

    HWND dialog = run.WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "the prompt did not open after the refused EndDlg";
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    ThreadMessageLog log(run.ThreadId());
    ASSERT_TRUE(log.Installed());
    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(ClickHandled(log, dialog));
    EXPECT_EQ(log.CountIf([dialog](const LoggedMessage& m) { return IsCancelClick(m, dialog); }), 1u)
        << "the click did not reach the prompt";
    EXPECT_EQ(CancelRecorder::First().Count(), 0) << "EndDlg should have dropped the callback";
    EXPECT_TRUE(IsWindowEnabled(button)) << "with no callback a click changes nothing";
    ASSERT_TRUE(run.CloseAndJoin());
    EXPECT_EQ(run.Result(), QUENDA_OK);
}

// ---------------------------------------------------------------------------------------------
// Window geometry and styles

using DriverGeometry = DriverTest;

TEST_F(DriverGeometry, DefaultPromptIsCentred) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(screenWidth, 1024) << "tests expect the 1024 x 768 test screen";
    EXPECT_EQ(screenHeight, 768);
    RECT window{};
    RECT client{};
    ASSERT_TRUE(GetWindowRect(dialog, &window));
    ASSERT_TRUE(GetClientRect(dialog, &client));
    EXPECT_EQ(window.left, (screenWidth - 306) / 2);
    EXPECT_EQ(window.top, (screenHeight - 177) / 2);
    EXPECT_EQ(window.right - window.left, 306);
    EXPECT_EQ(window.bottom - window.top, 177);
    EXPECT_EQ(client.right, 306) << "the prompt should have no border";
    EXPECT_EQ(client.bottom, 177);
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

TEST_F(DriverGeometry, RecordSetsWidth) {
    const int32_t full = static_cast<int32_t>(sizeof(DlgParams));
    // The two low bytes of ExtraWidth only.
    const int32_t halfWidth = static_cast<int32_t>(offsetof(DlgParams, ExtraWidth) + 2);
    struct Case {
        const char* what;
        int32_t size;
        uint32_t extraWidth;
        int width;
    };
    const Case cases[] = {
        {"ExtraWidth 0", full, 0, 306},
        {"ExtraWidth 1", full, 1, 307},
        {"ExtraWidth 465", full, 465, 771},
        {"ExtraWidth 466", full, 466, 771},
        {"Size 0 takes nothing", 0, 465, 306},
        {"Size above the record takes it all", 100000, 465, 771},
        {"Size ending inside ExtraWidth", halfWidth, 0x00010001u, 307},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DlgParams params = NewParams();
        params.Size = c.size;
        params.ExtraWidth = c.extraWidth;
        auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
        HWND dialog = run->WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        RECT r{};
        GetWindowRect(dialog, &r);
        EXPECT_EQ(r.right - r.left, c.width);
        EXPECT_EQ(r.bottom - r.top, kHeight);
        EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - c.width) / 2);
        ASSERT_TRUE(run->CloseAndJoin());
    }
}

TEST_F(DriverGeometry, WindowStyles) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    // WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN; the dialog box shows the window afterwards,
    // because its template is visible.
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_STYLE)), 0x86000000u | WS_VISIBLE);
    // WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_CONTROLPARENT; topmost arrives with the foreground
    // timer (250 ms), as SetWindowLong cannot set it.
    const bool topmost = WaitUntil(
        [dialog] { return (GetWindowLongPtrA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }, 1500);
    EXPECT_TRUE(topmost);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_EXSTYLE)), 0x00010088u);
    ASSERT_TRUE(run->CloseAndJoin());
}

TEST_F(DriverGeometry, CancelButtonPlacementAndStyle) {
    for (uint32_t extraWidth : {0u, 465u}) {
        const Layout layout{static_cast<int>(extraWidth) + kDefaultMiddle};
        SCOPED_TRACE("middle band " + std::to_string(layout.middle));
        DlgParams params = NewParams();
        params.ExtraWidth = extraWidth;
        auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
        HWND dialog = run->WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        HWND button = GetDlgItem(dialog, kButtonId);
        ASSERT_NE(button, nullptr) << "no child with control id 5";
        EXPECT_EQ(GetDlgCtrlID(button), kButtonId);
        char className[32] = {};
        GetClassNameA(button, className, sizeof className);
        EXPECT_EQ(lstrcmpiA(className, "Button"), 0) << className;
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(button, GWL_STYLE));
        EXPECT_EQ(style & BS_TYPEMASK, static_cast<DWORD>(BS_OWNERDRAW));
        EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE | WS_TABSTOP), static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_TABSTOP));
        RECT r{};
        GetWindowRect(button, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        const RECT expected = layout.Button();
        EXPECT_EQ(r.left, expected.left);
        EXPECT_EQ(r.top, 140);
        EXPECT_EQ(r.right - r.left, 98);
        EXPECT_EQ(r.bottom - r.top, 25);
        if (layout.middle == kDefaultMiddle) {
            EXPECT_EQ(r.left, 193);
        }
        ASSERT_TRUE(run->CloseAndJoin());
    }
}

TEST_F(DriverGeometry, PromptTopRange) {
    // Wide band so the text stays clear of the button; an empty echo and result draw nothing.
    const Layout layout{kMaxMiddle};
    const RECT nearDefault{kLabelLeft, 25, 400, 50};
    const RECT nearBottom{kLabelLeft, 150, 400, kHeight};
    struct Case {
        uint32_t top;
        bool atDefault;
    };
    for (const Case& c : {Case{150, false}, Case{151, true}, Case{0xFFFFFFFFu, true}, Case{0, true}}) {
        SCOPED_TRACE("PromptTop " + std::to_string(c.top));
        DlgParams params = NewParams();
        params.ExtraWidth = 465;
        params.PromptTop = c.top;
        params.Texts[0] = "Wg Wg Wg";
        std::optional<Picture> shot = ShotOfPrompt(params, QUENDA_MODE_ENTER_PIN, "top" + std::to_string(c.top));
        ASSERT_TRUE(shot);
        const int atDefault = CountOffBackground(*shot, Bg(layout.middle), nearDefault);
        const int atBottom = CountOffBackground(*shot, Bg(layout.middle), nearBottom);
        if (c.atDefault) {
            EXPECT_GT(atDefault, 0) << "no text at the default top 25";
            EXPECT_EQ(atBottom, 0);
        } else {
            EXPECT_EQ(atDefault, 0);
            EXPECT_GT(atBottom, 0) << "no text at top 150";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Texts

using DriverTexts = DriverTest;

TEST_F(DriverTexts, DriverPromptReplacesCatalogue) {
    const Layout layout;
    DlgParams catalogue = NewParams();
    DlgParams driver = NewParams();
    driver.Texts[0] = "WWW MMM driver";
    std::optional<Picture> fromCatalogue = ShotOfPrompt(catalogue, QUENDA_MODE_ENTER_PIN, "catalogue");
    std::optional<Picture> fromDriver = ShotOfPrompt(driver, QUENDA_MODE_ENTER_PIN, "driver");
    ASSERT_TRUE(fromCatalogue && fromDriver);
    EXPECT_GT(CountOffBackground(*fromCatalogue, Bg(), layout.Prompt()), 0) << "catalogue prompt missing";
    EXPECT_GT(CountOffBackground(*fromDriver, Bg(), layout.Prompt()), 0) << "driver prompt missing";
    EXPECT_GT(CountDiffering(*fromCatalogue, *fromDriver, layout.Prompt()), 0)
        << "the driver's text did not replace the catalogue prompt";
}

TEST_F(DriverTexts, ModeChoosesItsText) {
    const Layout layout;
    static const char kText[] = "Same words";
    DlgParams enter = NewParams();
    enter.Texts[0] = kText;
    DlgParams old = NewParams();
    old.Texts[1] = kText;
    DlgParams fresh = NewParams();
    fresh.Texts[2] = kText;
    std::optional<Picture> mode1 = ShotOfPrompt(enter, QUENDA_MODE_ENTER_PIN, "mode1");
    std::optional<Picture> mode2 = ShotOfPrompt(old, QUENDA_MODE_OLD_PIN, "mode2");
    std::optional<Picture> mode5 = ShotOfPrompt(fresh, QUENDA_MODE_NEW_PIN, "mode5");
    // Mode 2 with only TextId 1 replaced shows its own catalogue text.
    std::optional<Picture> mode2Catalogue = ShotOfPrompt(enter, QUENDA_MODE_OLD_PIN, "mode2catalogue");
    ASSERT_TRUE(mode1 && mode2 && mode5 && mode2Catalogue);
    std::string first;
    EXPECT_EQ(CountDiffering(*mode1, *mode2, layout.Prompt(), &first), 0) << "mode 2, first at " << first;
    EXPECT_EQ(CountDiffering(*mode1, *mode5, layout.Prompt(), &first), 0) << "mode 5, first at " << first;
    EXPECT_GT(CountDiffering(*mode1, *mode2Catalogue, layout.Prompt()), 0);
}

TEST_F(DriverTexts, EmptyDriverTextShowsNothing) {
    const Layout layout;
    DlgParams params = NewParams();
    params.Texts[0] = "";
    std::optional<Picture> shot = ShotOfPrompt(params, QUENDA_MODE_ENTER_PIN, "empty");
    ASSERT_TRUE(shot);
    std::string first;
    // The prompt label covers the echo and result labels too, all empty; the button lies below.
    EXPECT_EQ(CountOffBackground(*shot, Bg(), Layout::AboveButton(layout.Prompt()), &first), 0)
        << "first drawn pixel " << first;
}

TEST_F(DriverTexts, MarkupIsRemoved) {
    const Layout layout;
    struct Case {
        const char* marked;
        const char* plain;
    };
    for (const Case& c : {Case{"<b>Enter</b> the <i>PIN</i>", "Enter the PIN"},
                          // Nesting is not counted: the first ">" ends the markup, the second stays.
                          Case{"Enter<<x>y> PIN", "Entery> PIN"},
                          Case{"Enter PIN <never closed", "Enter PIN "}}) {
        SCOPED_TRACE(c.marked);
        DlgParams marked = NewParams();
        marked.Texts[0] = c.marked;
        DlgParams plain = NewParams();
        plain.Texts[0] = c.plain;
        std::optional<Picture> a = ShotOfPrompt(marked, QUENDA_MODE_ENTER_PIN, "marked");
        std::optional<Picture> b = ShotOfPrompt(plain, QUENDA_MODE_ENTER_PIN, "plain");
        ASSERT_TRUE(a && b);
        EXPECT_GT(CountOffBackground(*b, Bg(), layout.Prompt()), 0) << "nothing drawn";
        std::string first;
        EXPECT_EQ(CountDiffering(*a, *b, layout.Prompt(), &first), 0) << "first at " << first;
    }
}

// ---------------------------------------------------------------------------------------------
// Keypad events

using DriverKeys = DriverTest;

TEST_F(DriverKeys, DigitsBackspaceAndClearEditTheMarks) {
    const Layout layout;
    DlgParams params = NewParams();
    params.Texts[0] = "";  // the echo area then shows marks only
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const RECT echo = layout.Echo();

    std::optional<Picture> none = Shot(dialog, "0marks");
    ASSERT_TRUE(none);
    EXPECT_EQ(CountOffBackground(*none, Bg(), echo), 0);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_BACKSPACE, 0), QUENDA_OK) << "backspace on an empty echo";

    for (int i = 0; i < 2; ++i) EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    std::optional<Picture> two = Shot(dialog, "2marks");
    ASSERT_TRUE(two);
    EXPECT_GT(CountOffBackground(*two, Bg(), echo), 0) << "two digits drew no marks";

    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    std::optional<Picture> three = Shot(dialog, "3marks");
    ASSERT_TRUE(three);
    EXPECT_GT(CountDiffering(*two, *three, echo), 0) << "the third mark is not visible";

    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_BACKSPACE, 0), QUENDA_OK);
    std::optional<Picture> back = Shot(dialog, "3marks-backspace");
    ASSERT_TRUE(back);
    std::string first;
    EXPECT_EQ(CountDiffering(*two, *back, echo, &first), 0) << "not two marks, first at " << first;

    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_CLEAR, 0), QUENDA_OK);
    std::optional<Picture> cleared = Shot(dialog, "cleared");
    ASSERT_TRUE(cleared);
    EXPECT_EQ(CountOffBackground(*cleared, Bg(), echo, &first), 0) << "left after clear: " << first;
    ASSERT_TRUE(run->CloseAndJoin());
}

TEST_F(DriverKeys, UnknownCodesChangeNothing) {
    const Layout layout;
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    std::optional<Picture> before = Shot(dialog, "before");
    ASSERT_TRUE(before);
    for (uint32_t key : {0u, 3u, 4u, 7u, 9u, 15u, 18u, 32u, 0x101u, 0xFFFFFFFFu})
        EXPECT_EQ(api_.OnKeyPressed(key, 0xDEADBEEF), QUENDA_OK) << "key " << key;
    std::optional<Picture> after = Shot(dialog, "after");
    ASSERT_TRUE(after);
    std::string first;
    EXPECT_EQ(CountDiffering(*before, *after, Layout::AboveButton(layout.Prompt()), &first), 0)
        << "first at " << first;
    ASSERT_TRUE(run->CloseAndJoin());
}

TEST_F(DriverKeys, NewAndConfirmSwitchThePrompt) {
    const Layout layout;
    static const char kNew[] = "New one please";
    static const char kConfirm[] = "Confirm it now";
    DlgParams params = NewParams();
    params.Texts[2] = kNew;
    params.Texts[3] = kConfirm;
    DlgParams newReference = NewParams();
    newReference.Texts[0] = kNew;
    DlgParams confirmReference = NewParams();
    confirmReference.Texts[0] = kConfirm;
    std::optional<Picture> expectNew = ShotOfPrompt(newReference, QUENDA_MODE_ENTER_PIN, "reference-new");
    std::optional<Picture> expectConfirm =
        ShotOfPrompt(confirmReference, QUENDA_MODE_ENTER_PIN, "reference-confirm");
    ASSERT_TRUE(expectNew && expectConfirm);

    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const RECT area = Layout::AboveButton(layout.Prompt());
    std::string first;

    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_NEW_PIN, 0), QUENDA_OK);
    std::optional<Picture> afterNew = Shot(dialog, "after16");
    ASSERT_TRUE(afterNew);
    EXPECT_EQ(CountDiffering(*expectNew, *afterNew, area, &first), 0) << "code 16, first at " << first;

    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
    std::optional<Picture> afterConfirm = Shot(dialog, "after17");
    ASSERT_TRUE(afterConfirm);
    EXPECT_EQ(CountDiffering(*expectConfirm, *afterConfirm, area, &first), 0) << "code 17, first at " << first;
    ASSERT_TRUE(run->CloseAndJoin());
}

// ---------------------------------------------------------------------------------------------
// The Cancel button

using DriverCancel = DriverTest;

TEST_F(DriverCancel, ClickCallsCallbackOnceInPromptThread) {
    CancelRecorder& recorder = CancelRecorder::First();
    auto run = Start(QUENDA_MODE_ENTER_PIN, recorder.Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(IsWindowEnabled(button));
    ThreadMessageLog log(run->ThreadId());
    ASSERT_TRUE(log.Installed());

    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(recorder.WaitForCount(1, kWindowTimeoutMs)) << "the callback was not called";
    EXPECT_EQ(recorder.LastArgument(), 1);
    EXPECT_EQ(recorder.LastThreadId(), run->ThreadId()) << "the callback must run in thread A";
    ASSERT_TRUE(ClickHandled(log, dialog));
    EXPECT_FALSE(IsWindowEnabled(button)) << "the button should be disabled after a cancel";
    PumpFor(300);
    EXPECT_TRUE(IsWindow(dialog) && IsWindowVisible(dialog)) << "a cancel must not close the prompt";
    EXPECT_FALSE(run->Returned());
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK) << "the prompt is still open";

    log.Clear();
    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(ClickHandled(log, dialog)) << "the second click never reached thread A";
    EXPECT_EQ(recorder.Count(), 1) << "a disabled button cancelled again";
    EXPECT_EQ(log.CountIf([dialog](const LoggedMessage& m) { return IsCancelClick(m, dialog); }), 0u);
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

TEST_F(DriverCancel, NullCallbackLeavesButtonEnabled) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    ThreadMessageLog log(run->ThreadId());
    ASSERT_TRUE(log.Installed());
    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(ClickHandled(log, dialog));
    EXPECT_EQ(log.CountIf([dialog](const LoggedMessage& m) { return IsCancelClick(m, dialog); }), 1u)
        << "the click did not reach the prompt";
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_FALSE(run->Returned());
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

// ---------------------------------------------------------------------------------------------
// EndDlg

using DriverEnd = DriverTest;

TEST_F(DriverEnd, ShowsOutcomeForTwoSecondsThenCloses) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, CancelRecorder::First().Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    std::atomic<bool> buttonWasDisabled{false};
    std::atomic<bool> openDuringDisplay{false};
    std::atomic<bool> stop{false};
    // Watches the prompt while the test thread is inside EndDlg.
    AsyncCall watcher([&] {
        (void)WaitUntil([&] { return !IsWindowEnabled(button) || stop.load(); }, kEndDlgMaxMs);
        buttonWasDisabled = IsWindow(button) && !IsWindowEnabled(button);
        PumpFor(1000);
        openDuringDisplay = IsWindowVisible(dialog) != FALSE;
    });
    const double start = NowMs();
    EXPECT_EQ(api_.EndDlg(QUENDA_END_CANCEL), QUENDA_OK);
    const double elapsed = NowMs() - start;
    stop = true;
    EXPECT_GE(elapsed, kEndDlgMinMs);
    EXPECT_LE(elapsed, kEndDlgMaxMs);
    ASSERT_TRUE(run->Join(2000)) << "the start call did not return after EndDlg";
    EXPECT_EQ(run->Result(), QUENDA_OK);
    ASSERT_TRUE(watcher.Join(kJoinTimeoutMs));
    EXPECT_TRUE(buttonWasDisabled) << "the button stayed enabled during the outcome display";
    EXPECT_TRUE(openDuringDisplay) << "the prompt was gone one second into the display";
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(CancelRecorder::First().Count(), 0);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
    EXPECT_EQ(api_.EndDlg(QUENDA_END_CANCEL), QUENDA_INVALID_PARAMETER);
}

TEST_F(DriverEnd, UnknownOutcomeClearsEchoAndShowsNoText) {
    const Layout layout;
    DlgParams params = NewParams();
    params.Texts[0] = "";
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    std::optional<Picture> typed = Shot(dialog, "typed");
    ASSERT_TRUE(typed);
    ASSERT_GT(CountOffBackground(*typed, Bg(), layout.Echo()), 0) << "marks never drawn";

    std::atomic<uint32_t> result{0xFFFFFFFFu};
    std::atomic<double> elapsed{0};
    const EndDlgFn endDlg = api_.EndDlg;
    AsyncCall threadB([&] {
        const double start = NowMs();
        result = endDlg(7);
        elapsed = NowMs() - start;
    });
    // During the display: the echo is cleared and no outcome text appears.
    std::optional<Picture> during;
    const bool cleared = WaitUntil(
        [&] {
            during = SettledShot(dialog, 500);
            return during && CountOffBackground(*during, Bg(), layout.Echo()) == 0;
        },
        1500);
    ASSERT_TRUE(cleared) << "the echo was not cleared during the display";
    during->Save("DriverEnd.UnknownOutcome.during");
    std::string first;
    EXPECT_EQ(CountOffBackground(*during, Bg(), Layout::AboveButton(layout.Prompt()), &first), 0)
        << "something was drawn, first at " << first;
    EXPECT_FALSE(threadB.Finished()) << "EndDlg returned before its display";
    ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
    EXPECT_EQ(result.load(), QUENDA_OK);
    EXPECT_GE(elapsed.load(), kEndDlgMinMs);
    ASSERT_TRUE(run->Join(2000));
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

TEST_F(DriverEnd, EndFromCallbackInPromptThread) {
    CancelRecorder& recorder = CancelRecorder::First();
    std::atomic<uint32_t> result{0xFFFFFFFFu};
    std::atomic<double> elapsed{0};
    const EndDlgFn endDlg = api_.EndDlg;
    recorder.SetAction([&] {
        const double start = NowMs();
        result = endDlg(QUENDA_END_CANCEL);
        elapsed = NowMs() - start;
    });
    auto run = Start(QUENDA_MODE_ENTER_PIN, recorder.Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    HWND button = GetDlgItem(dialog, kButtonId);
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(ClickAt(CentreOnScreen(button)));
    ASSERT_TRUE(run->Join(kEndDlgMaxMs + 2000)) << "the prompt did not close";
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_EQ(recorder.Count(), 1);
    EXPECT_EQ(result.load(), QUENDA_OK);
    EXPECT_GE(elapsed.load(), kEndDlgMinMs);
    EXPECT_LE(elapsed.load(), kEndDlgMaxMs);
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// What reaches the screen

using DriverPixels = DriverTest;

TEST_F(DriverPixels, BackgroundIsTheResourcePictures) {
    for (uint32_t extraWidth : {0u, 465u}) {
        const Layout layout{static_cast<int>(extraWidth) + kDefaultMiddle};
        SCOPED_TRACE("middle band " + std::to_string(layout.middle));
        DlgParams params = NewParams();
        params.ExtraWidth = extraWidth;
        std::optional<Picture> shot = ShotOfPrompt(params, QUENDA_MODE_ENTER_PIN, "band" + std::to_string(layout.middle));
        ASSERT_TRUE(shot);
        ASSERT_EQ(shot->Width(), layout.Width());
        ASSERT_EQ(shot->Height(), kHeight);
        const Background bg = Bg(layout.middle);
        std::string first;

        // The left picture 1:1, except where labels may draw (x >= 165 from the first top, 25).
        const int leftDiff = CountPixels(*shot, {0, 0, kLeftWidth, kHeight}, [&](int x, int y) {
            return !(x >= kLabelLeft && y >= 25) && shot->Pixel(x, y) != left_.Pixel(x, y);
        }, &first);
        EXPECT_EQ(leftDiff, 0) << "left picture, first at " << first << " expected "
                               << ColourText(left_.Pixel(0, 0));

        // Above the highest label (top 25) the band is column 166 of the left picture, full width.
        EXPECT_EQ(CountOffBackground(*shot, bg, {kLeftWidth, 0, kLeftWidth + layout.middle, 25}, &first), 0)
            << "band above the labels, first at " << first;

        // Right of the labels (which end 20 px before the edge) and of the button (15 px before
        // it), the band's last columns are column 166 on every row.
        const RECT bandEnd{layout.Button().right, 0, kLeftWidth + layout.middle, kHeight};
        ASSERT_GT(bandEnd.right - bandEnd.left, 0);
        EXPECT_EQ(CountOffBackground(*shot, bg, bandEnd, &first), 0) << "band end, first at " << first;
        // The first of these columns, checked against the picture itself.
        for (int y = 0; y < kHeight; ++y)
            ASSERT_EQ(shot->Pixel(layout.Width() - 10, y), left_.Pixel(kLeftWidth - 1, y))
                << "x " << layout.Width() - 10 << " y " << y;

        // The right edge 1:1.
        const int rightDiff = CountPixels(*shot, {layout.Width() - kRightWidth, 0, layout.Width(), kHeight},
            [&](int x, int y) { return shot->Pixel(x, y) != right_.Pixel(x - (layout.Width() - kRightWidth), y); },
            &first);
        EXPECT_EQ(rightDiff, 0) << "right edge, first at " << first;
    }
}

TEST_F(DriverPixels, PromptTextIsWhite) {
    const Layout layout;
    std::optional<Picture> shot = ShotOfPrompt(NewParams(), QUENDA_MODE_ENTER_PIN, "prompt");
    ASSERT_TRUE(shot);
    // Over the band the background there is blue, so white can only come from the label.
    const RECT area = Layout::AboveButton(layout.InBand(layout.Prompt()));
    EXPECT_EQ(CountPixels(*shot, area, [&](int x, int y) { return Bg().At(x, y) == kWhite; }), 0);
    EXPECT_GT(CountColour(*shot, area, kWhite), 5) << "no white text in the prompt label";
}

// Waits, while EndDlg runs in another thread, until `colour` shows in the result label.
class OutcomeWatch {
public:
    OutcomeWatch(HWND dialog, const Layout& layout, COLORREF colour)
        : dialog_(dialog), area_(Layout::AboveButton(layout.InBand(layout.Result()))), colour_(colour) {}

    std::optional<Picture> WaitForColour(DWORD timeoutMs) {
        std::optional<Picture> shot;
        const bool seen = WaitUntil(
            [&] {
                shot = SettledShot(dialog_, 500);
                return shot && CountColour(*shot, area_, colour_) > 5;
            },
            timeoutMs);
        return seen ? shot : std::nullopt;
    }
    const RECT& Area() const { return area_; }

private:
    HWND dialog_;
    RECT area_;
    COLORREF colour_;
};

void CheckOutcomeColour(const QuendaApi& api, HWND dialog, PromptRun& run, uint32_t outcome,
                        COLORREF colour, const std::string& tag) {
    const Layout layout;
    OutcomeWatch watch(dialog, layout, colour);
    std::optional<Picture> before = SettledShot(dialog);
    ASSERT_TRUE(before);
    // Rows 100..139 of the band are blue in the picture; the colour can only come from text.
    ASSERT_EQ(CountColour(*before, watch.Area(), colour), 0) << "colour present before EndDlg";

    std::atomic<uint32_t> result{0xFFFFFFFFu};
    const EndDlgFn endDlg = api.EndDlg;
    const double start = NowMs();
    AsyncCall threadB([&] { result = endDlg(outcome); });
    std::optional<Picture> during = watch.WaitForColour(1500);
    const double seenAt = NowMs() - start;
    if (during) during->Save("DriverPixels." + tag);
    EXPECT_TRUE(during) << "no " << ColourText(colour) << " text in the result label";
    EXPECT_LT(seenAt, static_cast<double>(kEndDlgMinMs)) << "outcome seen only after the display";
    ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
    EXPECT_EQ(result.load(), QUENDA_OK);
    ASSERT_TRUE(run.Join(2000));
    EXPECT_EQ(run.Result(), QUENDA_OK);
}

TEST_F(DriverPixels, ErrorOutcomeIsDarkRed) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    CheckOutcomeColour(api_, dialog, *run, QUENDA_END_PIN_ERROR, kDarkRed, "pin-error");
}

TEST_F(DriverPixels, PinOkOutcomeIsBlack) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    CheckOutcomeColour(api_, dialog, *run, QUENDA_END_PIN_OK, kBlack, "pin-ok");
}

// The opened prompt as the build before high-DPI, screen-reader and high-contrast support drew
// it: with those off, nothing may differ.
TEST_F(DriverPixels, DefaultLookMatchesEarlierBuildPixelForPixel) {
    std::optional<Picture> reference = LoadPictureFile(ExeDirectory() + "default-prompt.bmp");
    ASSERT_TRUE(reference) << "default-prompt.bmp missing next to the test program";
    std::optional<Picture> shot = ShotOfPrompt(NewParams(), QUENDA_MODE_ENTER_PIN, "default");
    ASSERT_TRUE(shot);
    ASSERT_EQ(shot->Width(), reference->Width());
    ASSERT_EQ(shot->Height(), reference->Height());
    std::string first;
    EXPECT_EQ(CountDiffering(*shot, *reference, {0, 0, shot->Width(), kHeight}, &first), 0)
        << "first difference at " << first;
}

// A palette none of the prompt's pictures uses, so each colour can only come from its element.
constexpr COLORREF kHcWindow = RGB(20, 60, 30);
constexpr COLORREF kHcText = RGB(250, 230, 40);
constexpr COLORREF kHcFace = RGB(70, 20, 90);
constexpr COLORREF kHcButtonText = RGB(240, 140, 10);
constexpr COLORREF kHcGray = RGB(150, 160, 250);

TEST_F(DriverPixels, HighContrastDrawsInSystemColoursAndFollowsTheSetting) {
    demo::HighContrastLook contrast;
    ASSERT_TRUE(contrast.Apply(Module(), {COLOR_WINDOW, COLOR_WINDOWTEXT, COLOR_BTNFACE, COLOR_BTNTEXT, COLOR_GRAYTEXT},
                               {kHcWindow, kHcText, kHcFace, kHcButtonText, kHcGray}));
    contrast.SetOn(false);
    const Layout layout;
    const RECT aboveLabels{kLeftWidth, 0, layout.Width(), 25};
    const RECT resultArea = Layout::AboveButton(layout.InBand(layout.Result()));
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const auto tell = [dialog](UINT message, WPARAM wParam) {
        DWORD_PTR ignored = 0;
        return SendMessageTimeoutA(dialog, message, wParam, 0, SMTO_ABORTIFHUNG, kJoinTimeoutMs, &ignored) != 0;
    };
    const auto notWindowColour = [](const Picture& shot, RECT r) {
        return CountPixels(shot, r, [&](int x, int y) { return shot.Pixel(x, y) != kHcWindow; });
    };

    // Switched on while open: repainted at once.
    contrast.SetOn(true);
    ASSERT_TRUE(tell(WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST));
    std::optional<Picture> shot = Shot(dialog, "on");
    ASSERT_TRUE(shot);
    std::string first;
    EXPECT_EQ(CountDiffering(*shot, left_, {0, 0, kLabelLeft, kHeight}, &first), 0) << "left picture, at " << first;
    EXPECT_EQ(notWindowColour(*shot, aboveLabels), 0) << "band";
    EXPECT_EQ(notWindowColour(*shot, {layout.Width() - kRightWidth, 0, layout.Width(), kHeight}), 0) << "right edge";
    EXPECT_GT(CountColour(*shot, layout.InBand(layout.Prompt()), kHcText), 5) << "prompt text";
    EXPECT_EQ(CountColour(*shot, Layout::AboveButton(layout.InBand(layout.Prompt())), kWhite), 0);
    EXPECT_GT(CountColour(*shot, layout.Button(), kHcFace), 500) << "button face";
    EXPECT_GT(CountColour(*shot, layout.Button(), kHcButtonText), 5) << "button caption";

    contrast.SetOn(false);
    ASSERT_TRUE(tell(WM_SYSCOLORCHANGE, 0));
    shot = Shot(dialog, "off-again");
    ASSERT_TRUE(shot);
    EXPECT_EQ(CountOffBackground(*shot, Bg(), aboveLabels), 0) << "switched off while open";
    EXPECT_EQ(CountColour(*shot, layout.Button(), kHcFace), 0) << "button still the system's";

    // The outcome, dark red by default, and the disabled caption follow the palette too.
    contrast.SetOn(true);
    ASSERT_TRUE(tell(WM_THEMECHANGED, 0));
    const EndDlgFn endDlg = api_.EndDlg;
    AsyncCall threadB([endDlg] { (void)endDlg(QUENDA_END_PIN_ERROR); });
    EXPECT_TRUE(WaitUntil(
        [&] {
            shot = SettledShot(dialog, 500);
            return shot && CountColour(*shot, resultArea, kHcText) > 5 && CountColour(*shot, layout.Button(), kHcGray) > 5;
        },
        1500))
        << "no outcome in the window text colour or no grey caption";
    ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
    ASSERT_TRUE(run->Join(2000));
}

// ---------------------------------------------------------------------------------------------
// Several driver threads

using DriverThreads = DriverTest;

TEST_F(DriverThreads, EndWhileKeysAndRepaintsRace) {
    auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    std::atomic<bool> stop{false};
    std::vector<uint32_t> results;
    const OnKeyPressedFn onKey = api_.OnKeyPressed;
    AsyncCall keys([&] {
        int afterRefusal = 0;
        for (uint32_t i = 0; !stop.load() && afterRefusal < 50; ++i) {
            // Keeps thread A painting the whole window while EndDlg runs.
            InvalidateRect(dialog, nullptr, FALSE);
            results.push_back(onKey(i % 3 == 2 ? QUENDA_KEY_BACKSPACE : QUENDA_KEY_DIGIT, 0));
            if (results.back() == QUENDA_INVALID_PARAMETER) ++afterRefusal;
            PumpFor(2);
        }
    });
    PumpFor(200);
    const double start = NowMs();
    EXPECT_EQ(api_.EndDlg(QUENDA_END_CANCEL), QUENDA_OK);
    const double elapsed = NowMs() - start;
    EXPECT_GE(elapsed, kEndDlgMinMs);
    EXPECT_LE(elapsed, kEndDlgMaxMs);
    ASSERT_TRUE(run->Join(2000));
    EXPECT_EQ(run->Result(), QUENDA_OK);
    const bool keysEnded = keys.Join(kJoinTimeoutMs);
    stop = true;
    ASSERT_TRUE(keysEnded || keys.Join(kJoinTimeoutMs));
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.front(), QUENDA_OK);
    // Once the prompt is closed, it stays closed.
    const auto refused = std::find(results.begin(), results.end(), QUENDA_INVALID_PARAMETER);
    ASSERT_NE(refused, results.end()) << "OnKeyPressed was never refused after the close";
    EXPECT_TRUE(std::all_of(results.begin(), refused, [](uint32_t r) { return r == QUENDA_OK; }));
    EXPECT_TRUE(std::all_of(refused, results.end(), [](uint32_t r) { return r == QUENDA_INVALID_PARAMETER; }));
}

TEST_F(DriverThreads, KeysFromTwoThreadsKeepEveryMark) {
    const Layout layout{kMaxMiddle};
    constexpr int kRounds = 50;  // each round: digit, digit, backspace
    constexpr int kMarks = 2 * kRounds;
    DlgParams params = NewParams();
    params.ExtraWidth = 465;
    params.Texts[0] = "";

    auto typed = [&](int marks, const std::string& tag) -> std::optional<Picture> {
        auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
        HWND dialog = run->WaitForDialog();
        EXPECT_NE(dialog, nullptr);
        if (!dialog) return std::nullopt;
        for (int i = 0; i < marks; ++i) EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
        std::optional<Picture> shot = Shot(dialog, tag);
        EXPECT_TRUE(run->CloseAndJoin());
        return shot;
    };
    std::optional<Picture> reference = typed(kMarks, "reference");
    std::optional<Picture> oneLess = typed(kMarks - 1, "one-less");
    ASSERT_TRUE(reference && oneLess);
    ASSERT_GT(CountDiffering(*reference, *oneLess, layout.Echo()), 0)
        << "the echo label cannot show " << kMarks << " marks; the comparison would prove nothing";

    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(go);
    std::atomic<int> failures{0};
    const OnKeyPressedFn onKey = api_.OnKeyPressed;
    auto typist = [&] {
        WaitForSingleObject(go.get(), kJoinTimeoutMs);
        // Backspaces never meet an empty echo: each thread has typed more digits than it removed.
        for (int i = 0; i < kRounds; ++i)
            for (uint32_t key : {QUENDA_KEY_DIGIT, QUENDA_KEY_DIGIT, QUENDA_KEY_BACKSPACE})
                if (onKey(key, 0) != QUENDA_OK) ++failures;
    };
    {
        AsyncCall one(typist);
        AsyncCall two(typist);
        SetEvent(go.get());
        ASSERT_TRUE(one.Join(kJoinTimeoutMs) && two.Join(kJoinTimeoutMs));
    }
    EXPECT_EQ(failures.load(), 0);
    std::optional<Picture> raced = Shot(dialog, "two-threads");
    ASSERT_TRUE(raced);
    std::string first;
    EXPECT_EQ(CountDiffering(*reference, *raced, layout.Echo(), &first), 0)
        << "marks lost or added by concurrent calls, first at " << first;
    ASSERT_TRUE(run->CloseAndJoin());
}

// ---------------------------------------------------------------------------------------------
// Calls as drivers in the field make them

using DriverField = DriverTest;

// A driver that starts its next operation from a new thread the moment the last prompt was
// closed: thread A of that prompt may still be on its way out, and the new prompt must show all
// the same. The first prompts end through EndDlg, the others through the close it sends.
TEST_F(DriverField, BackToBackPromptsFromNewThreadsAreAllShown) {
    constexpr int kPrompts = 100;
    constexpr int kEndedByEndDlg = 3;
    std::unique_ptr<PromptRun> closing;
    std::vector<int> missing;
    for (int i = 0; i < kPrompts; ++i) {
        auto run = Start(QUENDA_MODE_ENTER_PIN, nullptr);
        if (closing) {
            ASSERT_TRUE(closing->Join()) << "prompt " << i - 1 << ": the start call did not return";
            EXPECT_EQ(closing->Result(), QUENDA_OK);
            closing.reset();
        }
        HWND dialog = run->WaitForDialog();
        if (!dialog) {
            missing.push_back(i);
            ASSERT_TRUE(run->Join());
            continue;
        }
        if (i < kEndedByEndDlg)
            ASSERT_EQ(api_.EndDlg(QUENDA_END_PIN_OK), QUENDA_OK);
        else
            SendMessageA(dialog, WM_CLOSE, 0, 0);
        closing = std::move(run);
    }
    if (closing) {
        ASSERT_TRUE(closing->Join());
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " of " << kPrompts << " prompts never showed, first "
                                 << (missing.empty() ? -1 : missing.front());
}

// Every Size with every pointer set (a 32-bit driver's 76-byte record also reaches the 64-bit
// build): a text whose pointer the record ends inside is the catalogue's, a whole one the
// driver's, and no half pointer is ever read.
TEST_F(DriverField, RecordsEndingInsideAPointerFallBackToTheCatalogue) {
    std::string seen;
    std::string catalogue[QUENDA_TEXT_COUNT + 1];
    {
        auto run = Start(QUENDA_MODE_OLD_PIN, nullptr);
        HWND dialog = run->WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return !(catalogue[2] = WindowText(dialog)).empty(); }, 2000));
        ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_NEW_PIN, 0), QUENDA_OK);
        ASSERT_TRUE(WaitUntil([&] { return (catalogue[3] = WindowText(dialog)) != catalogue[2]; }, 2000));
        ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
        ASSERT_TRUE(WaitUntil([&] { return (catalogue[4] = WindowText(dialog)) != catalogue[3]; }, 2000));
        const EndDlgFn endDlg = api_.EndDlg;
        AsyncCall threadB([endDlg] { (void)endDlg(QUENDA_END_PIN_ERROR); });
        ASSERT_TRUE(WaitUntil([&] { return (catalogue[6] = WindowText(dialog)) != catalogue[4]; }, 2000));
        ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
        ASSERT_TRUE(run->Join());
    }
    static const char* const kDriverTexts[QUENDA_TEXT_COUNT] = {
        "Driver 1", "Driver 2", "Driver 3", "Driver 4", "Driver 5",
        "Driver 6", "Driver 7", "Driver 8", "Driver 9", "Driver &10"};
    DlgParams params = NewParams();
    for (int k = 0; k < QUENDA_TEXT_COUNT; ++k) params.Texts[k] = kDriverTexts[k];
    params.WinStation = "WinSta0";
    params.Desktop = "Default";
    auto expected = [&](int size, int textId) {
        const size_t end = offsetof(DlgParams, Texts) + textId * sizeof(const char*);
        return static_cast<size_t>(size) >= end ? std::string(kDriverTexts[textId - 1]) : catalogue[textId];
    };
    for (int size = 0; size <= static_cast<int>(sizeof(DlgParams)); ++size) {
        params.Size = size;
        auto run = StartEx(&params, QUENDA_MODE_OLD_PIN, nullptr);
        HWND dialog = run->WaitForDialog();
        ASSERT_NE(dialog, nullptr) << "Size " << size;
        EXPECT_TRUE(WaitForWindowText(dialog, expected(size, QUENDA_TEXT_OLD_PIN), seen))
            << "Size " << size << ": \"" << seen << "\"";
        ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_NEW_PIN, 0), QUENDA_OK);
        EXPECT_TRUE(WaitForWindowText(dialog, expected(size, QUENDA_TEXT_NEW_PIN), seen))
            << "Size " << size << ": \"" << seen << "\"";
        ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
        EXPECT_TRUE(WaitForWindowText(dialog, expected(size, QUENDA_TEXT_CONFIRM_PIN), seen))
            << "Size " << size << ": \"" << seen << "\"";
        ASSERT_TRUE(run->CloseAndJoin()) << "Size " << size;
    }

    // An outcome text cut in half: EndDlg shows the catalogue's.
    params.Size = static_cast<int32_t>(offsetof(DlgParams, Texts) + (QUENDA_TEXT_PIN_ERROR - 1) * sizeof(const char*) + 2);
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const EndDlgFn endDlg = api_.EndDlg;
    AsyncCall threadB([endDlg] { (void)endDlg(QUENDA_END_PIN_ERROR); });
    EXPECT_TRUE(WaitForWindowText(dialog, catalogue[QUENDA_TEXT_PIN_ERROR], seen)) << "\"" << seen << "\"";
    ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
    ASSERT_TRUE(run->Join());
}

// Allocation failures for one string's size on one thread, through the library's own malloc import.
struct FailingMalloc {
    using MallocFn = void*(__cdecl*)(size_t);
    static inline MallocFn real = nullptr;
    static inline std::atomic<DWORD> thread{0};
    // The text's length plus one, or up to one allocation granule more: libstdc++ asks for 201
    // bytes for a 200-character string, libc++ rounds up to a multiple of 16 (208).
    static constexpr size_t kGranule = 16;
    static inline std::atomic<size_t> minSize{0};
    static inline std::atomic<int> failures{0};
    static void* __cdecl Call(size_t bytes) {
        const size_t least = minSize.load();
        if (GetCurrentThreadId() == thread.load() && bytes >= least && bytes < least + kGranule) {
            ++failures;
            return nullptr;
        }
        return real(bytes);
    }
};

// No memory for the outcome text: once EndDlg has found the prompt it still closes it and
// answers 0, and the driver's next calls find no prompt.
TEST_F(DriverField, EndDlgClosesEvenWithoutMemoryForTheOutcomeText) {
    static const std::string kLongOutcome(200, 'O');
    DlgParams params = NewParams();
    params.Texts[QUENDA_TEXT_PIN_OK - 1] = kLongOutcome.c_str();
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN, CancelRecorder::First().Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    uint32_t result = 0xFFFFFFFFu;
    {
        ImportPatch patch(Module(), "msvcrt.dll", "malloc", reinterpret_cast<void*>(&FailingMalloc::Call));
        ASSERT_TRUE(patch.Applied()) << "Quenda.dll imports no malloc from msvcrt.dll";
        FailingMalloc::real = patch.Original<FailingMalloc::MallocFn>();
        FailingMalloc::failures = 0;
        FailingMalloc::minSize = kLongOutcome.size() + 1;
        FailingMalloc::thread = GetCurrentThreadId();
        result = api_.EndDlg(QUENDA_END_PIN_OK);
        FailingMalloc::thread = 0;
    }
    EXPECT_GE(FailingMalloc::failures.load(), 1) << "the outcome text was never copied";
    EXPECT_EQ(result, QUENDA_OK);
    EXPECT_TRUE(run->Join(2000)) << "EndDlg left the prompt open";
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_INVALID_PARAMETER);
}

// Runs an action on one thread right after it leaves the first lock the library takes there:
// for EndDlg, the moment it lets go of the prompt it found.
struct AfterFirstLock {
    using LockFn = void(WINAPI*)(CRITICAL_SECTION*);
    static inline LockFn enter = nullptr;
    static inline LockFn leave = nullptr;
    static inline std::atomic<DWORD> thread{0};
    static inline std::atomic<CRITICAL_SECTION*> first{nullptr};
    static inline std::function<void()> action;
    static void WINAPI Enter(CRITICAL_SECTION* lock) {
        CRITICAL_SECTION* none = nullptr;
        if (GetCurrentThreadId() == thread.load()) first.compare_exchange_strong(none, lock);
        enter(lock);
    }
    static void WINAPI Leave(CRITICAL_SECTION* lock) {
        leave(lock);
        if (GetCurrentThreadId() == thread.load() && lock == first.load()) {
            thread = 0;
            action();
        }
    }
};

// The prompt EndDlg found closes by itself and the driver starts the next one before EndDlg
// goes on: EndDlg must leave the new call's texts alone when its own display is over.
TEST_F(DriverField, EndDlgLeavesTheNextCallsRecordAlone) {
    static const char kNewPin[] = "The next call's new PIN text";
    auto first = Start(QUENDA_MODE_ENTER_PIN, nullptr);
    ASSERT_NE(first->WaitForDialog(), nullptr);
    DlgParams next = NewParams();
    next.Texts[QUENDA_TEXT_NEW_PIN - 1] = kNewPin;
    std::unique_ptr<PromptRun> second;
    HWND secondDialog = nullptr;
    AfterFirstLock::action = [&] {
        PostMessageA(first->Dialog(), WM_CLOSE, 0, 0);
        if (!first->Join()) return;
        second = StartEx(&next, QUENDA_MODE_ENTER_PIN, nullptr);
        secondDialog = second->WaitForDialog();
    };
    {
        ImportPatch enter(Module(), "kernel32.dll", "EnterCriticalSection", reinterpret_cast<void*>(&AfterFirstLock::Enter));
        ImportPatch leave(Module(), "kernel32.dll", "LeaveCriticalSection", reinterpret_cast<void*>(&AfterFirstLock::Leave));
        ASSERT_TRUE(enter.Applied() && leave.Applied());
        AfterFirstLock::enter = enter.Original<AfterFirstLock::LockFn>();
        AfterFirstLock::leave = leave.Original<AfterFirstLock::LockFn>();
        AfterFirstLock::first = nullptr;
        AfterFirstLock::thread = GetCurrentThreadId();
        EXPECT_EQ(api_.EndDlg(QUENDA_END_PIN_OK), QUENDA_OK);
        AfterFirstLock::thread = 0;
    }
    ASSERT_TRUE(first->Returned()) << "the first prompt did not close";
    ASSERT_NE(secondDialog, nullptr) << "the next call showed no prompt";
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_NEW_PIN, 0), QUENDA_OK);
    std::string seen;
    EXPECT_TRUE(WaitForWindowText(secondDialog, kNewPin, seen))
        << "the earlier EndDlg reset the next call's record: \"" << seen << "\"";
    ASSERT_TRUE(second->CloseAndJoin());
}

}  // namespace
}  // namespace quenda::test
