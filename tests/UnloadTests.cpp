// Unloading the library and ending the process while a prompt is open, and EndDlg run in the
// prompt's own thread. The unload cases run QuendaUnloadChild.exe, a driver process of their own
// that reports what it saw in a file, so that a crash or hang there fails the case here.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "WinHandles.h"

namespace quenda::test {
namespace {

constexpr UINT kChildExitCode = 42;  // what the child passes to ExitProcess
constexpr DWORD kChildTimeoutMs = 20000;
constexpr long long kOutcomeMinMs = 1900;
constexpr double kEndDlgMaxMs = 4000;
// A call that has nothing to wait for.
constexpr long long kPromptFreeMs = 500;
// The result label over the middle band, above the button: blue in the background picture, so
// dark red there can only be the outcome text.
constexpr RECT kResultArea{167, 100, 286, 140};

struct ChildRun {
    std::string error;  // why it could not be started
    bool ended = false;
    DWORD exitCode = 0;
    double ms = 0;
    ULONGLONG endTick = 0;
    std::map<std::string, long long> values;
    std::string text;

    [[nodiscard]] long long Value(const std::string& key) const {
        const auto found = values.find(key);
        return found == values.end() ? -999999 : found->second;
    }
};

std::string Hex(DWORD value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// Runs the child with `mode` and waits for it; a child still running after the timeout is
// terminated and reported as not ended.
ChildRun RunUnloadChild(const std::string& mode) {
    ChildRun run;
    const std::string exe = ExeDirectory() + "QuendaUnloadChild.exe";
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string reportPath =
        std::string(temp) + "quenda-unload-" + std::to_string(GetCurrentProcessId()) + "-" + mode + ".txt";
    DeleteFileA(reportPath.c_str());
    std::string commandLine = "\"" + exe + "\" " + mode + " \"" + reportPath + "\"";
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const double start = NowMs();
    if (!CreateProcessA(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        run.error = "CreateProcess(" + exe + ") failed, error " + std::to_string(GetLastError());
        return run;
    }
    const UniqueKernelHandle process(info.hProcess);
    const UniqueKernelHandle thread(info.hThread);
    run.ended = WaitForSingleObject(process.get(), kChildTimeoutMs) == WAIT_OBJECT_0;
    run.endTick = GetTickCount64();
    run.ms = NowMs() - start;
    if (!run.ended) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), kJoinTimeoutMs);
    }
    GetExitCodeProcess(process.get(), &run.exitCode);

    {
        std::ifstream report(reportPath);
        std::string line;
        while (std::getline(report, line)) {
            run.text += line + "; ";
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                run.values[line.substr(0, equals)] = std::strtoll(line.c_str() + equals + 1, nullptr, 10);
        }
    }
    DeleteFileA(reportPath.c_str());
    return run;
}

// ---------------------------------------------------------------------------------------------
// Unload and process end in a driver process of their own

// What an unload with a prompt open must have done, by the child's report.
void ExpectUnloadClosedPrompt(const ChildRun& child) {
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    ASSERT_EQ(child.Value("prompt_found"), 1) << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_LT(child.ms, 10000.0);

    // The unload shows the outcome for two seconds before it closes the prompt.
    EXPECT_GE(child.Value("free_ms"), kOutcomeMinMs) << child.text;
    EXPECT_LE(child.Value("free_ms"), 8000) << child.text;
    EXPECT_EQ(child.Value("visible_during"), 1) << "the prompt was gone one second into the unload";
    EXPECT_GT(child.Value("dark_red_during"), 5) << "no dark-red \"PIN entry cancelled!\" one second into the unload";

    EXPECT_EQ(child.Value("module_unloaded"), 1) << "Quenda.dll is still loaded after FreeLibrary";
    EXPECT_EQ(child.Value("prompt_gone"), 1) << "the prompt outlived the unload";
    EXPECT_EQ(child.Value("start_call_returned"), 1) << "thread A did not come back from the start call";
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK);
}

TEST(UnloadWhileOpen, FreeLibraryShowsCancelOutcomeClosesAndProcessGoesOn) {
    const ChildRun child = RunUnloadChild("free-while-open");
    ExpectUnloadClosedPrompt(child);
    EXPECT_EQ(child.Value("prompt_painted"), 1) << "the prompt text never reached the screen";
    EXPECT_EQ(child.Value("dark_red_before"), 0) << "dark red in the result area before the unload";
}

// The unload holds the loader lock while it waits for thread A, which here has not drawn any text
// yet: a first use of the platform that needs that lock would stop both threads for good.
TEST(UnloadWhileOpen, FreeLibraryBeforeFirstPaint) {
    const ChildRun child = RunUnloadChild("free-at-first-paint");
    EXPECT_EQ(child.Value("first_paint_reached"), 1) << child.text;
    ExpectUnloadClosedPrompt(child);
}

// The unload begins while thread A initialises its prompt, past every check of the start call: no
// prompt may appear once the unload has found none, and the unload need not wait out its bound.
TEST(UnloadWhileOpen, FreeLibraryWhilePromptIsBeingCreated) {
    const ChildRun child = RunUnloadChild("free-while-creating");
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    ASSERT_EQ(child.Value("init_reached"), 1) << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_LT(child.Value("free_ms"), 3000) << "the unload waited for a prompt that opened after it began";
    EXPECT_EQ(child.Value("module_unloaded"), 1) << child.text;
    EXPECT_EQ(child.Value("start_call_returned"), 1) << child.text;
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK);
    EXPECT_EQ(child.Value("prompt_left"), 0) << "a prompt outlived the library";
}

TEST(UnloadWhileOpen, ProcessExitEndsPromptlyWithoutCrash) {
    const ChildRun child = RunUnloadChild("exit-while-open");
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process did not end; it reported: " << child.text;
    ASSERT_EQ(child.Value("prompt_found"), 1) << child.text;
    EXPECT_EQ(child.Value("prompt_painted"), 1) << child.text;
    EXPECT_EQ(child.exitCode, kChildExitCode) << "exit code " << Hex(child.exitCode) << " (a crash gives another)";
    ASSERT_GT(child.Value("exit_tick"), 0) << child.text;
    const long long exitMs = static_cast<long long>(child.endTick) - child.Value("exit_tick");
    EXPECT_LT(exitMs, 5000) << "ExitProcess took " << exitMs << " ms with a prompt open";
}

TEST(UnloadIdle, FreeLibraryWithoutPromptReturnsAtOnce) {
    const ChildRun child = RunUnloadChild("free-idle");
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;

    EXPECT_LT(child.Value("free_unused_ms"), kPromptFreeMs) << "unload of a library that never ran a prompt";
    EXPECT_EQ(child.Value("unloaded_unused"), 1);
    EXPECT_EQ(child.Value("prompt_found"), 1) << "no prompt after loading the library again";
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK);
    EXPECT_LT(child.Value("free_after_prompt_ms"), kPromptFreeMs) << "unload after the prompt had closed";
    EXPECT_EQ(child.Value("unloaded_after_prompt"), 1);
}

// ---------------------------------------------------------------------------------------------
// Screen-reader notifications, through a recording uiautomationcore.dll in the prefix's system32

// Puts the stand-in (built next to this program, where it also plays a copy planted in the
// driver's folder) into system32 for child processes and gives Wine's own back afterwards: Wine
// loads a system32 file that is not its builtin even without the override.
class UiaStandIn {
public:
    UiaStandIn() {
        char dir[MAX_PATH] = {};
        GetSystemDirectoryA(dir, MAX_PATH);
        systemDir_ = dir;
        installed_ = systemDir_ + "\\uiautomationcore.dll";
        GetTempPathA(MAX_PATH, dir);
        const std::string temp = std::string(dir) + "quenda-uia-" + std::to_string(GetCurrentProcessId());
        saved_ = temp + ".dll";
        log_ = temp + ".txt";
        DeleteFileA(log_.c_str());
        ready_ = CopyFileA(installed_.c_str(), saved_.c_str(), FALSE) &&
                 CopyFileA((ExeDirectory() + "uiautomationcore.dll").c_str(), installed_.c_str(), FALSE);
        SetEnvironmentVariableA("WINEDLLOVERRIDES", "uiautomationcore=n");
        SetEnvironmentVariableA("QUENDA_UIA_LOG", log_.c_str());
    }
    ~UiaStandIn() {
        SetEnvironmentVariableA("WINEDLLOVERRIDES", nullptr);
        SetEnvironmentVariableA("QUENDA_UIA_LOG", nullptr);
        if (ready_) CopyFileA(saved_.c_str(), installed_.c_str(), FALSE);
        DeleteFileA(saved_.c_str());
        DeleteFileA(log_.c_str());
    }
    [[nodiscard]] bool Ready() const { return ready_; }
    [[nodiscard]] const std::string& SystemDir() const { return systemDir_; }
    // The recorded lines that start with `kind`.
    [[nodiscard]] std::vector<std::string> Calls(const std::string& kind) const {
        std::vector<std::string> calls;
        std::ifstream log(log_);
        for (std::string line; std::getline(log, line);)
            if (line.rfind(kind + "\t", 0) == 0) calls.push_back(line.substr(kind.size() + 1));
        return calls;
    }

private:
    std::string systemDir_;
    std::string installed_;
    std::string saved_;
    std::string log_;
    bool ready_ = false;
};

TEST(Announcements, OpenSwitchAndOutcomeReachTheReaderFromSystem32Only) {
    const UiaStandIn standIn;
    ASSERT_TRUE(standIn.Ready()) << "cannot copy the stand-in into " << standIn.SystemDir();
    const ChildRun child = RunUnloadChild("announce");
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_EQ(child.Value("end_result"), QUENDA_OK) << child.text;

    const std::vector<std::string> loaded = standIn.Calls("loaded");
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, loaded[0].c_str(),
                             static_cast<int>(standIn.SystemDir().size()), standIn.SystemDir().c_str(), -1),
              CSTR_EQUAL)
        << "loaded from " << loaded[0];

    // From the prompt's thread once it is shown, in order, texts as drawn, the echo marks never.
    const std::string thread = std::to_string(child.Value("prompt_thread")) + "\t";
    const std::vector<std::string> expected{thread + "4\t1\tQuenda.PinPrompt\tEnter PIN & go",
                                            thread + "4\t1\tQuenda.PinPrompt\tConfirm PIN",
                                            thread + "2\t0\tQuenda.PinPrompt\tWrong PIN!"};
    EXPECT_EQ(standIn.Calls("notify"), expected);
    const std::string window = std::to_string(child.Value("prompt_window"));
    EXPECT_EQ(standIn.Calls("provider"), std::vector<std::string>(3, thread + window + "\t1")) << "not shown yet";
    EXPECT_EQ(standIn.Calls("release"), (std::vector<std::string>{"0", "0", "0"})) << "a provider was kept";
}

// The unload holds the loader lock while the prompt's thread shows the cancel outcome: that one
// is not announced, and the announcer does not hold up the unload.
TEST(UnloadWhileOpen, FreeLibraryWithListeningReaderAnnouncesNothingAfterItBegins) {
    const UiaStandIn standIn;
    ASSERT_TRUE(standIn.Ready());
    ExpectUnloadClosedPrompt(RunUnloadChild("free-while-open"));
    const std::vector<std::string> notes = standIn.Calls("notify");
    ASSERT_EQ(notes.size(), 1u) << "only the opened prompt: the outcome came during the unload";
    EXPECT_NE(notes[0].find("\t4\t1\t"), std::string::npos) << notes[0];
}

// ---------------------------------------------------------------------------------------------
// EndDlg in the prompt's own thread, from inside the driver's CancelCallback: its two-second
// wait dispatches the prompt's messages, as the unload's does in the unloading thread.

int DarkRedInResult(const Picture& shot) {
    int count = 0;
    for (int y = kResultArea.top; y < kResultArea.bottom && y < shot.Height(); ++y)
        for (int x = kResultArea.left; x < kResultArea.right && x < shot.Width(); ++x)
            count += shot.Pixel(x, y) == kDarkRed ? 1 : 0;
    return count;
}

struct CallbackEnd {
    std::atomic<bool> inside{false};
    std::atomic<uint32_t> result{0xFFFFFFFFu};
    std::atomic<double> ms{0};
    std::atomic<uint32_t> keyAfterEnd{0xFFFFFFFFu};
};

TEST(EndInPromptThread, OutcomeKeepsPaintingUntilTheCallbackReturns) {
    std::string error;
    std::optional<QuendaModule> module = QuendaModule::Load(error);
    ASSERT_TRUE(module) << error;
    const QuendaApi api = module->Api();
    CancelRecorder& recorder = CancelRecorder::First();
    recorder.Reset();
    auto end = std::make_shared<CallbackEnd>();
    recorder.SetAction([end, api] {
        end->inside = true;
        const double start = NowMs();
        end->result = api.EndDlg(QUENDA_END_CANCEL);
        end->ms = NowMs() - start;
        // The prompt is closed for the driver although the start call has not returned yet.
        end->keyAfterEnd = api.OnKeyPressed(QUENDA_KEY_DIGIT, 0);
        end->inside = false;
    });
    const ScopeExit resetRecorder([&recorder] { recorder.Reset(); });

    auto run = PromptRun::StartDlg(module->Handle(), api, QUENDA_MODE_ENTER_PIN, recorder.Callback());
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    std::optional<Picture> before = SettledShot(dialog);
    ASSERT_TRUE(before) << "the prompt did not settle on screen";
    ASSERT_EQ(DarkRedInResult(*before), 0) << "dark red in the result area before the cancel";

    // The button's click notification: the driver's callback runs in thread A.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(kButtonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, kButtonId)));
    ASSERT_TRUE(recorder.WaitForCount(1, kWindowTimeoutMs)) << "the cancel did not reach the callback";
    EXPECT_EQ(recorder.LastThreadId(), run->ThreadId());

    std::optional<Picture> during;
    const bool shown = WaitUntil(
        [&] {
            during = SettledShot(dialog, 500);
            return during && DarkRedInResult(*during) > 5;
        },
        1500);
    EXPECT_TRUE(shown) << "no dark-red outcome while EndDlg waits in the callback";
    if (during) during->Save("EndInPromptThread.outcome");
    // A fresh paint, asked for from outside, is done while the callback still runs.
    ASSERT_TRUE(InvalidateRect(dialog, nullptr, FALSE));
    std::optional<Picture> repainted = SettledShot(dialog, 800);
    EXPECT_TRUE(end->inside) << "the callback ended before the checks; EndDlg took " << end->ms.load() << " ms";
    ASSERT_TRUE(repainted) << "the prompt was not repainted during the callback";
    EXPECT_GT(DarkRedInResult(*repainted), 5);
    EXPECT_FALSE(run->Returned());

    ASSERT_TRUE(run->Join(static_cast<DWORD>(kEndDlgMaxMs))) << "the start call did not return";
    EXPECT_EQ(run->Result(), QUENDA_OK);
    EXPECT_FALSE(end->inside);
    EXPECT_EQ(end->result.load(), QUENDA_OK);
    EXPECT_GE(end->ms.load(), static_cast<double>(kOutcomeMinMs));
    EXPECT_LE(end->ms.load(), kEndDlgMaxMs);
    EXPECT_EQ(end->keyAfterEnd.load(), QUENDA_INVALID_PARAMETER);
    EXPECT_EQ(recorder.Count(), 1);
    EXPECT_FALSE(IsWindow(dialog));
}

}  // namespace
}  // namespace quenda::test
