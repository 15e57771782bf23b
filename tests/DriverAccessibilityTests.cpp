// Driver-level tests of what the prompt tells screen readers: its window text (it has no caption
// to show it) and the name-change event that announces each new text.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace quenda::test {
namespace {

constexpr DWORD kTextTimeoutMs = 2000;
constexpr DWORD kEndDlgMaxMs = 4000;

// The catalogue row in the user's language, as the driver-language tests pick it.
std::string CatalogueText(int textId) {
    const LANGID user = GetUserDefaultLangID();
    struct Row {
        const char *german;
        const char *english;
        const char *spanish;
        const char *french;
        const char *estonian;
    };
    static const Row kRows[] = {
        {"Bitte PIN eingeben.", "Please enter PIN.", "Escriba su PIN.", "Veuillez entrer votre code PIN.",
         "Sisesta PIN kood."},
        {"Bitte neue PIN best\xE4tigen.", "Please confirm new PIN.", "Confirme su nuevo PIN.",
         "Veuillez confirmer le nouveau code PIN.", "Korda uus PIN."},
        {"PIN Fehler!", "PIN error!", "Error de PIN!", "Erreur de code PIN!", "Vale PIN-kood!"},
    };
    const Row &row = kRows[textId == QUENDA_TEXT_ENTER_PIN ? 0 : textId == QUENDA_TEXT_CONFIRM_PIN ? 1 : 2];
    switch (PRIMARYLANGID(user)) {
        case LANG_GERMAN: return row.german;
        case LANG_SPANISH: return row.spanish;
        case LANG_FRENCH: return row.french;
        case LANG_ESTONIAN: return row.estonian;
        default: return row.english;
    }
}

// Name-change events of this process, received out of context by a thread that pumps messages.
class NameChangeWatcher {
public:
    NameChangeWatcher()
        : stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), ready_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        Instance() = this;
        thread_ = std::make_unique<AsyncCall>([this] { Run(); });
        hooked_ = WaitForSingleObject(ready_.get(), kTextTimeoutMs) == WAIT_OBJECT_0 && hook_;
    }
    ~NameChangeWatcher() {
        SetEvent(stop_.get());
        (void)thread_->Join(kJoinTimeoutMs);
        Instance() = nullptr;
    }
    [[nodiscard]] bool Hooked() const { return hooked_; }
    [[nodiscard]] int CountFor(HWND wnd) const {
        std::lock_guard guard(mutex_);
        int count = 0;
        for (HWND w : windows_) count += w == wnd;
        return count;
    }

private:
    static NameChangeWatcher *&Instance() {
        static NameChangeWatcher *instance = nullptr;
        return instance;
    }
    static void CALLBACK Proc(HWINEVENTHOOK, DWORD event, HWND wnd, LONG object, LONG child, DWORD, DWORD) {
        NameChangeWatcher *self = Instance();
        if (!self || event != EVENT_OBJECT_NAMECHANGE || object != OBJID_WINDOW || child != CHILDID_SELF) return;
        std::lock_guard guard(self->mutex_);
        self->windows_.push_back(wnd);
    }
    void Run() {
        hook_ = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr, &Proc, GetCurrentProcessId(),
                                0, WINEVENT_OUTOFCONTEXT);
        SetEvent(ready_.get());
        if (!hook_) return;
        (void)WaitForHandle(stop_.get(), 120000);
        UnhookWinEvent(hook_);
    }

    UniqueHandle stop_;
    UniqueHandle ready_;
    std::unique_ptr<AsyncCall> thread_;
    HWINEVENTHOOK hook_ = nullptr;
    bool hooked_ = false;
    mutable std::mutex mutex_;
    std::vector<HWND> windows_;
};

class DriverAccessibility : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        module_ = QuendaModule::Load(error);
        ASSERT_TRUE(module_) << error;
        api_ = module_->Api();
    }

    std::unique_ptr<PromptRun> StartEx(const DlgParams *params, uint32_t mode) {
        return PromptRun::StartDlgEx(module_->Handle(), api_, params, mode, nullptr);
    }

    // The text is set by the prompt's thread after a posted notice, so it is waited for.
    static bool TextBecomes(HWND dialog, const std::string &expected, std::string &seen) {
        const bool ok = WaitUntil(
            [&] {
                seen = WindowText(dialog);
                return seen == expected;
            },
            kTextTimeoutMs);
        return ok;
    }

    std::optional<QuendaModule> module_;
    QuendaApi api_;
};

TEST_F(DriverAccessibility, OpenPromptCarriesCataloguePromptText) {
    auto run = PromptRun::StartDlg(module_->Handle(), api_, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(WindowText(dialog), CatalogueText(QUENDA_TEXT_ENTER_PIN));
    EXPECT_EQ(GetWindowLongA(dialog, GWL_STYLE) & WS_CAPTION, 0) << "a caption would show the text";
    EXPECT_TRUE(run->CloseAndJoin());
}

TEST_F(DriverAccessibility, MnemonicAmpersandsAreShownAsDrawn) {
    DlgParams params = NewParams();
    params.Texts[QUENDA_TEXT_ENTER_PIN - 1] = "Enter &PIN && go";
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(WindowText(dialog), "Enter PIN & go");
    EXPECT_TRUE(run->CloseAndJoin());
}

TEST_F(DriverAccessibility, TextFollowsPromptSwitchesButNotEchoMarks) {
    DlgParams params = NewParams();
    params.Texts[QUENDA_TEXT_ENTER_PIN - 1] = "Old prompt";
    params.Texts[QUENDA_TEXT_NEW_PIN - 1] = "New && fresh";
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(WindowText(dialog), "Old prompt");

    std::string seen;
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
    EXPECT_TRUE(TextBecomes(dialog, CatalogueText(QUENDA_TEXT_CONFIRM_PIN), seen)) << "seen \"" << seen << "\"";

    for (int i = 0; i < 3; ++i) ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_BACKSPACE, 0), QUENDA_OK);
    PumpFor(300);
    EXPECT_EQ(WindowText(dialog), CatalogueText(QUENDA_TEXT_CONFIRM_PIN)) << "echo marks reached the text";

    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_NEW_PIN, 0), QUENDA_OK);
    EXPECT_TRUE(TextBecomes(dialog, "New & fresh", seen)) << "seen \"" << seen << "\"";
    EXPECT_TRUE(run->CloseAndJoin());
}

TEST_F(DriverAccessibility, OutcomeReplacesPromptDuringDisplay) {
    auto run = PromptRun::StartDlg(module_->Handle(), api_, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);

    const EndDlgFn endDlg = api_.EndDlg;
    std::atomic<uint32_t> result{0xFFFFFFFFu};
    AsyncCall threadB([&] { result = endDlg(QUENDA_END_PIN_ERROR); });
    std::string seen;
    EXPECT_TRUE(TextBecomes(dialog, CatalogueText(QUENDA_TEXT_PIN_ERROR), seen)) << "seen \"" << seen << "\"";
    EXPECT_FALSE(threadB.Finished()) << "read after the display, not during it";
    ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
    EXPECT_EQ(result.load(), QUENDA_OK);
    ASSERT_TRUE(run->Join(2000));
}

TEST_F(DriverAccessibility, OutcomeWithoutTextKeepsPrompt) {
    DlgParams params = NewParams();
    params.Texts[QUENDA_TEXT_ENTER_PIN - 1] = "Kept &prompt";
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);

    const EndDlgFn endDlg = api_.EndDlg;
    std::atomic<uint32_t> result{0xFFFFFFFFu};
    AsyncCall threadB([&] { result = endDlg(7); });
    PumpFor(1000);
    EXPECT_FALSE(threadB.Finished()) << "read after the display, not during it";
    EXPECT_EQ(WindowText(dialog), "Kept prompt");
    ASSERT_TRUE(threadB.Join(kEndDlgMaxMs));
    EXPECT_EQ(result.load(), QUENDA_OK);
    ASSERT_TRUE(run->Join(2000));
}

TEST_F(DriverAccessibility, EachTextChangeIsAnnounced) {
    NameChangeWatcher watcher;
    ASSERT_TRUE(watcher.Hooked()) << "SetWinEventHook failed: " << GetLastError();
    DlgParams params = NewParams();
    params.Texts[QUENDA_TEXT_ENTER_PIN - 1] = "First";
    params.Texts[QUENDA_TEXT_CONFIRM_PIN - 1] = "Second";
    auto run = StartEx(&params, QUENDA_MODE_ENTER_PIN);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return watcher.CountFor(dialog) >= 1; }, kTextTimeoutMs))
        << "no name change announced when the prompt opened";
    const int atOpen = watcher.CountFor(dialog);

    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
    EXPECT_TRUE(WaitUntil([&] { return watcher.CountFor(dialog) == atOpen + 1; }, kTextTimeoutMs))
        << "the switch to the confirm prompt was not announced";
    EXPECT_EQ(WindowText(dialog), "Second");

    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
    PumpFor(300);
    EXPECT_EQ(watcher.CountFor(dialog), atOpen + 1) << "a digit announced a name change";
    EXPECT_TRUE(run->CloseAndJoin());
}

template <typename Fn>
Fn User32(const char *name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), name)));
}

// Thread A starts system aware, so that what it has afterwards is its own context given back, not
// a default; its callback runs in that context too. A second start call while the prompt is open
// and a refused one leave theirs alone.
TEST_F(DriverAccessibility, PromptWindowIsDpiUnawareAndThreadContextComesBack) {
    using Context = DPI_AWARENESS_CONTEXT;
    const auto setThread = User32<Context(WINAPI *)(Context)>("SetThreadDpiAwarenessContext");
    const auto getThread = User32<Context(WINAPI *)()>("GetThreadDpiAwarenessContext");
    const auto getWindow = User32<Context(WINAPI *)(HWND)>("GetWindowDpiAwarenessContext");
    const auto awareness = User32<int(WINAPI *)(Context)>("GetAwarenessFromDpiAwarenessContext");
    if (!setThread || !getThread || !getWindow || !awareness) GTEST_SKIP() << "no per-thread DPI contexts here";
    constexpr int kUnaware = 0;
    constexpr int kSystemAware = 1;
    const StartDlgFn startDlg = api_.StartDlg;
    std::atomic<int> after{-1};
    std::atomic<int> second{-1};
    std::atomic<int> refused{-1};
    std::atomic<int> inCallback{-1};
    CancelRecorder &recorder = CancelRecorder::First();
    recorder.Reset();
    recorder.SetAction([&] { inCallback = awareness(getThread()); });
    const ScopeExit noAction([&recorder] { recorder.SetAction(nullptr); });
    const auto startSystemAware = [=](uint32_t mode, std::atomic<int> &seen, CancelCallback callback) {
        setThread(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
        const uint32_t result = startDlg(mode, 0, callback);
        seen = awareness(getThread());
        return result;
    };
    const CancelCallback callback = recorder.Callback();
    auto run = std::make_unique<PromptRun>(module_->Handle(),
                                           [&] { return startSystemAware(QUENDA_MODE_ENTER_PIN, after, callback); });
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(awareness(getWindow(dialog)), kUnaware) << "the system would not scale the prompt";
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(recorder.WaitForCount(1, kWindowTimeoutMs));
    EXPECT_EQ(inCallback.load(), kSystemAware) << "the driver's callback ran DPI-unaware";
    AsyncCall other([&] {
        startSystemAware(QUENDA_MODE_ENTER_PIN, second, nullptr);
        startSystemAware(3, refused, nullptr);
    });
    ASSERT_TRUE(other.Join(kJoinTimeoutMs));
    EXPECT_EQ(second.load(), kSystemAware);
    EXPECT_EQ(refused.load(), kSystemAware);
    EXPECT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(after.load(), kSystemAware) << "thread A's context was not given back";
}

}  // namespace
}  // namespace quenda::test
