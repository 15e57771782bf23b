// Languages and texts as a driver sees them: the real Quenda.dll, its prompt on screen, and the
// registry under HKEY_LOCAL_MACHINE (FixedLng chooses the language, so the tests do not depend on
// the machine's). Every case starts and ends with the registry tree gone, also when it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "TestSupport.h"
#include "WinHandles.h"

namespace quenda::test {
namespace {

constexpr char kRoot[] = "Software\\Halberk\\Vorlix\\QUENDA.DLL";
constexpr DWORD kEndDlgMaxMs = 4000;
// The outcome stands for two seconds; it must be seen well within them.
constexpr DWORD kOutcomeSeenMs = 1500;

std::string PathOf(const std::string& subkey) {
    return subkey.empty() ? std::string(kRoot) : std::string(kRoot) + "\\" + subkey;
}

bool KeyExists(const std::string& path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    const quenda::UniqueKey key(raw);
    return true;
}

// Removes the tree now and again when it goes.
class RegistryTreeGuard {
public:
    RegistryTreeGuard() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRoot); }
    RegistryTreeGuard(const RegistryTreeGuard&) = delete;
    RegistryTreeGuard& operator=(const RegistryTreeGuard&) = delete;
    ~RegistryTreeGuard() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRoot); }
};

testing::AssertionResult PutRaw(const std::string& subkey, const char* name, DWORD type, const void* data,
                                DWORD size) {
    HKEY raw = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PathOf(subkey).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &raw, nullptr);
    if (rc != ERROR_SUCCESS)
        return testing::AssertionFailure() << "RegCreateKeyExA(" << PathOf(subkey) << ") = " << rc;
    const quenda::UniqueKey key(raw);
    rc = RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS) return testing::AssertionFailure() << "RegSetValueExA(" << name << ") = " << rc;
    return testing::AssertionSuccess();
}

testing::AssertionResult PutText(const std::string& subkey, const char* name, const std::string& text) {
    return PutRaw(subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

testing::AssertionResult PutFixedLng(DWORD langId) {
    return PutRaw("", "FixedLng", REG_DWORD, &langId, sizeof langId);
}

// Where the prompt label draws, in window coordinates (the prompt has no frame): from its left
// edge at 165 to 20 pixels short of the window's right edge, rows 25 to 115 (above the button).
RECT PromptArea(int windowWidth) { return {165, 25, windowWidth - 20, 115}; }
// The result label from its default top, 100, down to the button's top row, 140.
RECT ResultArea(int windowWidth) { return {165, 100, windowWidth - 20, 140}; }

template <typename Match>
int CountPixels(const Picture& shot, RECT r, Match match, std::string* first = nullptr) {
    r.right = std::min<LONG>(r.right, shot.Width());
    r.bottom = std::min<LONG>(r.bottom, shot.Height());
    int count = 0;
    for (int y = std::max<LONG>(r.top, 0); y < r.bottom; ++y)
        for (int x = std::max<LONG>(r.left, 0); x < r.right; ++x)
            if (match(x, y) && count++ == 0 && first) {
                char where[32];
                std::snprintf(where, sizeof where, "(%d,%d) ", x, y);
                *first = where + ColourText(shot.Pixel(x, y));
            }
    return count;
}

// Pixels of `r` that differ; the two shots must be of the same size (the same prompt width).
int CountDiffering(const Picture& a, const Picture& b, RECT r, std::string* first = nullptr) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return -1;
    return CountPixels(a, r, [&](int x, int y) { return a.Pixel(x, y) != b.Pixel(x, y); }, first);
}

int CountColour(const Picture& shot, RECT r, COLORREF colour) {
    return CountPixels(shot, r, [&](int x, int y) { return shot.Pixel(x, y) == colour; });
}

class DriverLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(KeyExists(kRoot)) << "the test tree could not be removed";
        std::string error;
        module_ = QuendaModule::Load(error);
        ASSERT_TRUE(module_) << error;
        api_ = module_->Api();
        // The pointer off the prompt, so that the button looks the same in every shot.
        SetCursorPos(0, 0);
    }

    HMODULE Module() const { return module_->Handle(); }

    // The settled picture of an open prompt, also written to shots/ for diagnosis.
    std::optional<Picture> Shot(HWND dialog, const std::string& tag) {
        std::optional<Picture> shot = SettledShot(dialog);
        if (shot) {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            shot->Save(std::string(info->test_suite_name()) + "." + info->name() + "." + tag);
        }
        return shot;
    }

    // Opens a prompt (a null record: StartDlg), takes its settled picture and closes it again.
    std::optional<Picture> ShotOfPrompt(const DlgParams* params, uint32_t mode, const std::string& tag) {
        auto run = params ? PromptRun::StartDlgEx(Module(), api_, params, mode, nullptr)
                          : PromptRun::StartDlg(Module(), api_, mode, nullptr);
        HWND dialog = run->WaitForDialog();
        EXPECT_NE(dialog, nullptr) << tag << ": no prompt appeared";
        if (!dialog) return std::nullopt;
        std::optional<Picture> shot = Shot(dialog, tag);
        EXPECT_TRUE(shot) << tag << ": the prompt did not settle on screen";
        EXPECT_TRUE(run->CloseAndJoin()) << tag << ": the prompt did not close";
        return shot;
    }

    // Runs EndDlg in another thread and takes the picture once the dark-red outcome shows; the
    // prompt has closed when this returns.
    std::optional<Picture> OutcomeShot(PromptRun& run, HWND dialog, uint32_t outcome, const std::string& tag) {
        std::atomic<uint32_t> result{0xFFFFFFFFu};
        const EndDlgFn endDlg = api_.EndDlg;
        const RECT area = ResultArea(WidthOf(dialog));
        std::optional<Picture> shot;
        {
            AsyncCall threadB([&result, endDlg, outcome] { result = endDlg(outcome); });
            const bool seen = WaitUntil(
                [&] {
                    shot = SettledShot(dialog, 500);
                    return shot && CountColour(*shot, area, kDarkRed) > 5;
                },
                kOutcomeSeenMs);
            if (!seen) shot.reset();
            EXPECT_TRUE(threadB.Join(kEndDlgMaxMs)) << tag << ": EndDlg did not return";
        }
        EXPECT_EQ(result.load(), QUENDA_OK) << tag;
        EXPECT_TRUE(run.Join(2000)) << tag << ": the start call did not return after EndDlg";
        EXPECT_TRUE(shot) << tag << ": no dark-red outcome text in the result label";
        if (shot) {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            shot->Save(std::string(info->test_suite_name()) + "." + info->name() + "." + tag);
        }
        return shot;
    }

    static int WidthOf(HWND window) {
        RECT r{};
        GetWindowRect(window, &r);
        return r.right - r.left;
    }

    RegistryTreeGuard tree_;
    std::optional<QuendaModule> module_;
    QuendaApi api_;
};

// The catalogue's text in a language is drawn exactly as the same bytes given by the driver,
// and another language draws differently (so the comparison can fail).
TEST_F(DriverLanguage, CatalogueLanguageDrawsLikeTheSameDriverText) {
    ASSERT_TRUE(PutFixedLng(0x0407));
    auto run = PromptRun::StartDlg(Module(), api_, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const RECT area = PromptArea(WidthOf(dialog));
    std::optional<Picture> german = Shot(dialog, "catalogue-0407");
    ASSERT_TRUE(german);
    // The confirm prompt carries a Windows-1252 letter (E4) and is fetched in thread B.
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
    std::optional<Picture> germanConfirm = Shot(dialog, "catalogue-0407-confirm");
    ASSERT_TRUE(germanConfirm);
    ASSERT_TRUE(run->CloseAndJoin());

    ASSERT_TRUE(PutFixedLng(0x040C));
    std::optional<Picture> french = ShotOfPrompt(nullptr, QUENDA_MODE_ENTER_PIN, "catalogue-040C");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRoot);
    DlgParams driver = NewParams();
    driver.Texts[0] = "Bitte PIN eingeben.";
    std::optional<Picture> fromDriver = ShotOfPrompt(&driver, QUENDA_MODE_ENTER_PIN, "driver");
    driver.Texts[0] = "Bitte neue PIN best\xE4tigen.";
    std::optional<Picture> confirmFromDriver = ShotOfPrompt(&driver, QUENDA_MODE_ENTER_PIN, "driver-confirm");
    ASSERT_TRUE(french && fromDriver && confirmFromDriver);

    std::string first;
    EXPECT_EQ(CountDiffering(*german, *fromDriver, area, &first), 0)
        << "FixedLng 0407 against the driver's \"Bitte PIN eingeben.\", first at " << first;
    EXPECT_EQ(CountDiffering(*germanConfirm, *confirmFromDriver, area, &first), 0)
        << "code 17 under FixedLng 0407 against the driver's German confirm text, first at " << first;
    EXPECT_GT(CountDiffering(*german, *french, area), 0) << "German and French prompts look the same";
    EXPECT_GT(CountDiffering(*german, *germanConfirm, area), 0) << "code 17 changed nothing";
}

// Without FixedLng the prompt follows the user's default language of the process (under Wine,
// LC_ALL chooses it): the catalogue prompt draws as that language's text given by the driver.
TEST_F(DriverLanguage, WithoutFixedLngTheUserLanguageChooses) {
    const LANGID user = GetUserDefaultLangID();
    const char* expected = "Please enter PIN.";
    switch (PRIMARYLANGID(user)) {
        case LANG_GERMAN: expected = "Bitte PIN eingeben."; break;
        case LANG_SPANISH: expected = "Escriba su PIN."; break;
        case LANG_FRENCH: expected = "Veuillez entrer votre code PIN."; break;
        case LANG_ESTONIAN: expected = "Sisesta PIN kood."; break;
        default: break;
    }
    std::printf("    user language %04X: \"%s\"\n", user, expected);
    std::optional<Picture> catalogue = ShotOfPrompt(nullptr, QUENDA_MODE_ENTER_PIN, "catalogue");
    DlgParams driver = NewParams();
    driver.Texts[0] = expected;
    std::optional<Picture> fromDriver = ShotOfPrompt(&driver, QUENDA_MODE_ENTER_PIN, "driver");
    // Text of another column: the comparison above could fail.
    driver.Texts[0] = PRIMARYLANGID(user) == LANG_FRENCH ? "Escriba su PIN." : "Veuillez entrer votre code PIN.";
    std::optional<Picture> other = ShotOfPrompt(&driver, QUENDA_MODE_ENTER_PIN, "other");
    ASSERT_TRUE(catalogue && fromDriver && other);
    const RECT area = PromptArea(catalogue->Width());
    std::string first;
    EXPECT_EQ(CountDiffering(*catalogue, *fromDriver, area, &first), 0)
        << "the catalogue prompt is not \"" << expected << "\", first at " << first;
    EXPECT_GT(CountDiffering(*catalogue, *other, area), 0);
}

// The driver's text for a TextId wins over the registry, even when it is empty.
TEST_F(DriverLanguage, DriverTextHidesRegistryOverride) {
    static const char kDriverText[] = "Driver words";
    DlgParams driver = NewParams();
    driver.Texts[0] = kDriverText;
    DlgParams empty = NewParams();
    empty.Texts[0] = "";
    std::optional<Picture> driverAlone = ShotOfPrompt(&driver, QUENDA_MODE_ENTER_PIN, "driver-alone");
    std::optional<Picture> emptyAlone = ShotOfPrompt(&empty, QUENDA_MODE_ENTER_PIN, "empty-alone");

    ASSERT_TRUE(PutFixedLng(0x0407));
    ASSERT_TRUE(PutText("0407", "TXT_ENTER_PIN", "Registry words"));
    ASSERT_TRUE(PutText("0007", "TXT_ENTER_PIN", "Registry words"));
    std::optional<Picture> registry = ShotOfPrompt(nullptr, QUENDA_MODE_ENTER_PIN, "registry");
    std::optional<Picture> driverOverRegistry = ShotOfPrompt(&driver, QUENDA_MODE_ENTER_PIN, "driver-over-registry");
    std::optional<Picture> emptyOverRegistry = ShotOfPrompt(&empty, QUENDA_MODE_ENTER_PIN, "empty-over-registry");
    ASSERT_TRUE(driverAlone && emptyAlone && registry && driverOverRegistry && emptyOverRegistry);

    const RECT area = PromptArea(driverAlone->Width());
    std::string first;
    EXPECT_GT(CountDiffering(*registry, *driverAlone, area), 0) << "the registry override did not show";
    EXPECT_GT(CountDiffering(*registry, *emptyAlone, area), 0) << "the registry override did not show";
    EXPECT_EQ(CountDiffering(*driverOverRegistry, *driverAlone, area, &first), 0)
        << "the driver's text did not hide the override, first at " << first;
    EXPECT_EQ(CountDiffering(*emptyOverRegistry, *emptyAlone, area, &first), 0)
        << "the driver's empty text did not hide the override, first at " << first;
}

// Texts are read when they are needed: a change made while the prompt is open shows at the next
// key event, and an outcome override at EndDlg.
TEST_F(DriverLanguage, RegistryChangeWhileOpenShowsAtTheNextEvent) {
    static const char kConfirmText[] = "Changed while open";
    static const char kErrorText[] = "Outcome changed while open";
    ASSERT_TRUE(PutFixedLng(0x0409));
    DlgParams confirmReference = NewParams();
    confirmReference.Texts[0] = kConfirmText;
    std::optional<Picture> expectConfirm = ShotOfPrompt(&confirmReference, QUENDA_MODE_ENTER_PIN, "reference-confirm");
    ASSERT_TRUE(expectConfirm);

    // The outcome as the driver's own text: the picture the override must give.
    DlgParams errorReference = NewParams();
    errorReference.Texts[5] = kErrorText;
    std::optional<Picture> expectError;
    {
        auto reference = PromptRun::StartDlgEx(Module(), api_, &errorReference, QUENDA_MODE_ENTER_PIN, nullptr);
        HWND dialog = reference->WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        expectError = OutcomeShot(*reference, dialog, QUENDA_END_PIN_ERROR, "reference-error");
    }
    ASSERT_TRUE(expectError);

    auto run = PromptRun::StartDlg(Module(), api_, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    const RECT area = PromptArea(WidthOf(dialog));
    const RECT result = ResultArea(WidthOf(dialog));
    std::optional<Picture> opened = Shot(dialog, "opened");
    ASSERT_TRUE(opened);
    EXPECT_GT(CountDiffering(*opened, *expectConfirm, area), 0) << "the prompt showed the override too early";

    ASSERT_TRUE(PutText("0409", "TXT_CONFIRM_PIN", kConfirmText));
    ASSERT_EQ(api_.OnKeyPressed(QUENDA_KEY_CONFIRM_PIN, 0), QUENDA_OK);
    std::optional<Picture> confirmed = Shot(dialog, "after17");
    ASSERT_TRUE(confirmed);
    std::string first;
    EXPECT_EQ(CountDiffering(*confirmed, *expectConfirm, area, &first), 0)
        << "code 17 did not show the override set while open, first at " << first;

    ASSERT_TRUE(PutText("0409", "TXT_PIN_ERROR", kErrorText));
    std::optional<Picture> error = OutcomeShot(*run, dialog, QUENDA_END_PIN_ERROR, "error");
    ASSERT_TRUE(error);
    EXPECT_GT(CountColour(*expectError, result, kDarkRed), 5) << "the reference shows no outcome";
    EXPECT_EQ(CountDiffering(*error, *expectError, result, &first), 0)
        << "EndDlg(4) did not show the override set while open, first at " << first;
}

}  // namespace
}  // namespace quenda::test
