// Unloading the library and ending the process while a prompt is open, and EndDlg run in the
// prompt's own thread. The unload cases run QuendaUnloadChild.exe, a driver process of their own
// that reports what it saw in a file, so that a crash or hang there fails the case here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DebugLoop.h"
#include "QuendaRules.h"
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
    std::vector<std::string> debugStrings;  // only when run under the debugger loop

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

void RunPlain(const std::string& exe, const std::string& commandLine, ChildRun& run);
void ReadReport(const std::string& reportPath, ChildRun& run);

// Runs the child with `mode` and waits for it; a child still running after the timeout is
// terminated and reported as not ended. `debugged` runs it under the debugger loop.
ChildRun RunUnloadChild(const std::string& mode, bool debugged = false) {
    ChildRun run;
    const std::string exe = ExeDirectory() + "QuendaUnloadChild.exe";
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string reportPath =
        std::string(temp) + "quenda-unload-" + std::to_string(GetCurrentProcessId()) + "-" + mode + ".txt";
    DeleteFileA(reportPath.c_str());
    std::string commandLine = "\"" + exe + "\" " + mode + " \"" + reportPath + "\"";
    if (debugged) {
        const double start = NowMs();
        const debugloop::Result debuggee = debugloop::Run(
            exe, commandLine, kChildTimeoutMs, [&run](const std::string& text) { run.debugStrings.push_back(text); });
        run.error = debuggee.error;
        run.ended = debuggee.ended;
        run.exitCode = debuggee.exitCode;
        run.endTick = GetTickCount64();
        run.ms = NowMs() - start;
    } else {
        RunPlain(exe, commandLine, run);
    }
    ReadReport(reportPath, run);
    return run;
}

void RunPlain(const std::string& exe, const std::string& commandLine, ChildRun& run) {
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const double start = NowMs();
    if (!CreateProcessA(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        run.error = "CreateProcess(" + exe + ") failed, error " + std::to_string(GetLastError());
        return;
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
}

void ReadReport(const std::string& reportPath, ChildRun& run) {
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
}

// ---------------------------------------------------------------------------------------------
// Unload and process end in a driver process of their own

// What an unload with a prompt open must have done, by the child's report. `deferred`: the
// FreeLibrary came while the start call still held the library, so it returned at once and the
// unload ran once the prompt was up.
void ExpectUnloadClosedPrompt(const ChildRun& child, bool deferred = false) {
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    ASSERT_EQ(child.Value("prompt_found"), 1) << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_LT(child.ms, 10000.0);

    // The unload shows the outcome for two seconds before it closes the prompt.
    if (deferred)
        EXPECT_LT(child.Value("free_ms"), kPromptFreeMs) << "the hold was gone before the prompt was up: " << child.text;
    else
        EXPECT_GE(child.Value("free_ms"), kOutcomeMinMs) << child.text;
    EXPECT_LE(child.Value("free_ms"), 8000) << child.text;
    // The outcome's repaint runs while the unload holds the loader lock.
    EXPECT_EQ(child.Value("loads_during_unload"), 0) << "a resource was loaded during the unload";
    EXPECT_EQ(child.Value("visible_during"), 1) << "the prompt was gone one second into the unload";
    EXPECT_GT(child.Value("dark_red_during"), 5) << "no dark-red \"PIN entry cancelled!\" one second into the unload";

    EXPECT_EQ(child.Value("module_unloaded"), 1) << "Quenda.dll is still loaded after the unload";
    EXPECT_EQ(child.Value("prompt_gone"), 1) << "the prompt outlived the unload";
    EXPECT_EQ(child.Value("start_call_returned"), 1) << "thread A did not come back from the start call";
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK);
}

TEST(UnloadWhileOpen, FreeLibraryShowsCancelOutcomeClosesAndProcessGoesOn) {
    const ChildRun child = RunUnloadChild("free-while-open");
    ExpectUnloadClosedPrompt(child);
    EXPECT_EQ(child.Value("hold_released"), 1) << "the start call kept its hold with the prompt up";
    EXPECT_EQ(child.Value("prompt_painted"), 1) << "the prompt text never reached the screen";
    EXPECT_EQ(child.Value("dark_red_before"), 0) << "dark red in the result area before the unload";
}

// Thread A has not drawn any text yet: a first use of the platform that needs the loader lock
// would stop both threads for good if the unload waited for it there. The start call still
// holds the library, so the unload waits until the prompt has been painted and shown.
TEST(UnloadWhileOpen, FreeLibraryBeforeFirstPaint) {
    const ChildRun child = RunUnloadChild("free-at-first-paint");
    EXPECT_EQ(child.Value("first_paint_reached"), 1) << child.text;
    ExpectUnloadClosedPrompt(child, true);
}

// What every unload must leave: a process that went on, a start call that came back, the library
// gone (at the latest once thread A is done with it) and no prompt of it on screen.
void ExpectUnloadLeftNothing(const ChildRun& child) {
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_EQ(child.Value("start_call_returned"), 1) << child.text;
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK) << child.text;
    EXPECT_EQ(child.Value("module_unloaded"), 1) << child.text;
    EXPECT_EQ(child.Value("prompt_left"), 0) << "a prompt outlived the library: " << child.text;
}

// While thread A sets its prompt up it may need the loader lock that an unload holds: the
// unload waits until the prompt is up, so FreeLibrary returns at once and the library goes
// (showing the cancel outcome on the prompt) once thread A no longer needs it.
TEST(UnloadWhileOpen, FreeLibraryDuringThePromptsSetUp) {
    for (const char* mode :
         {"free-at-registry", "free-at-create", "free-at-button", "free-while-creating", "free-at-show"}) {
        SCOPED_TRACE(mode);
        const ChildRun child = RunUnloadChild(mode);
        ExpectUnloadLeftNothing(child);
        EXPECT_EQ(child.Value("init_reached"), 1) << child.text;
        EXPECT_LT(child.Value("free_ms"), kPromptFreeMs) << child.text;
    }
}

// Calls inside the library when the unload begins: each is waited for, none runs on in a library
// that has gone, and the unload takes a few seconds at most.
TEST(UnloadWhileOpen, FreeLibraryWhileOtherCallsAreInside) {
    {
        const ChildRun child = RunUnloadChild("free-during-end");
        ExpectUnloadLeftNothing(child);
        EXPECT_EQ(child.Value("end_returned"), 1) << child.text;
        EXPECT_EQ(child.Value("end_result"), QUENDA_OK) << child.text;
        EXPECT_LT(child.Value("free_ms"), 6000) << child.text;
    }
    {
        // The key call outlasts the close: the unload goes on as soon as it has left.
        const ChildRun child = RunUnloadChild("free-while-keys");
        ExpectUnloadLeftNothing(child);
        EXPECT_EQ(child.Value("key_held"), 1) << child.text;
        EXPECT_EQ(child.Value("keys_returned"), 1) << child.text;
        EXPECT_GT(child.Value("keys_answered"), 0) << child.text;
        EXPECT_GT(child.Value("free_after_key_ms"), -50) << "FreeLibrary returned before the call had left";
        EXPECT_LT(child.Value("free_after_key_ms"), 300) << "the unload woke at its bound, not when the call left";
        EXPECT_LT(child.Value("free_ms"), 6000) << child.text;
    }
    {
        // The waiting call holds the library until its own prompt is up; that prompt is the
        // one the unload then cancels.
        const ChildRun child = RunUnloadChild("free-while-waiting");
        ExpectUnloadLeftNothing(child);
        EXPECT_EQ(child.Value("second_call_returned"), 1) << child.text;
        EXPECT_EQ(child.Value("second_call_result"), QUENDA_OK) << child.text;
        EXPECT_LT(child.Value("free_ms"), kPromptFreeMs) << child.text;
    }
}

// Thread A stays on the desktop opened for its prompt, where its callback made a window: the kept
// handle is protected from closing and still in use, so the unload gives it up rather than close it.
TEST(UnloadWhileOpen, FreeLibraryClosesNoProtectedHandle) {
    const ChildRun child = RunUnloadChild("free-kept-desktop");
    ASSERT_TRUE(child.ended) << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK) << child.text;
    ASSERT_EQ(child.Value("stayed_on_prompt_desktop"), 1) << "no handle was kept: " << child.text;
    EXPECT_EQ(child.Value("module_unloaded"), 1) << child.text;
    EXPECT_EQ(child.Value("protected_closes"), 0) << "a protected handle was closed at the unload";
}

// A start call that waits for a closed prompt's call sleeps until that call leaves, also after
// the interleaving that once left its wake-up set while the next call was inside.
TEST(UnloadIdle, WaitingStartCallDoesNotSpin) {
    const ChildRun child = RunUnloadChild("wait-cpu");
    ASSERT_TRUE(child.ended) << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    EXPECT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_EQ(child.Value("third_shown"), 1) << child.text;
    EXPECT_GE(child.Value("wait_cpu_ms"), 0) << child.text;
    EXPECT_LT(child.Value("wait_cpu_ms"), 300) << "a start call that waited 2.5 s burned the CPU: " << child.text;
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

// The prompt as an element: a server-side provider (options 2) of control type Window (50032),
// a dialog, named with the prompt as drawn; Window pattern: cannot maximise or minimise, modal,
// topmost, normal, ready for input, refuses to be minimised; its host provider is its window's.
std::string PromptElement(const std::string& name) {
    return "2 50032 1 [" + name + "] 0,0,1,1,0,2,fixed host-ok";
}

// Opened, switched (also while the prompt is being set up) and ended, with a client asking for
// the prompt's element in between: the reader hears each text once, in order, through the
// library's own provider, which is disconnected once the window is gone.
TEST(Announcements, OpenSwitchAndOutcomeReachTheReaderFromSystem32Only) {
    for (const char* mode : {"announce", "announce-setup"}) {
        SCOPED_TRACE(mode);
        const UiaStandIn standIn;
        ASSERT_TRUE(standIn.Ready()) << "cannot copy the stand-in into " << standIn.SystemDir();
        const ChildRun child = RunUnloadChild(mode);
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
        EXPECT_EQ(standIn.Calls("refused"), std::vector<std::string>{});

        const std::string window = std::to_string(child.Value("prompt_window"));
        EXPECT_NE(child.Value("root_answer"), 0) << "WM_GETOBJECT for the root element was not answered";
        EXPECT_EQ(child.Value("client_answer"), 0) << "another object id was answered with the element";
        const std::vector<std::string> asked = standIn.Calls("asked");
        EXPECT_NE(std::find(asked.begin(), asked.end(), window + "\t" + std::to_string(OBJID_CLIENT)), asked.end())
            << "WM_GETOBJECT for OBJID_CLIENT was filtered: " << ::testing::PrintToString(asked);
        const std::vector<std::string> returned = standIn.Calls("return");
        EXPECT_NE(std::find(returned.begin(), returned.end(), thread + window + "\t" + PromptElement("Confirm PIN")),
                  returned.end())
            << "the client's WM_GETOBJECT; answered: " << ::testing::PrintToString(returned);
        for (const std::string& line : returned) EXPECT_EQ(line.rfind(thread + window + "\t", 0), 0u) << line;
        EXPECT_EQ(standIn.Calls("reset"), std::vector<std::string>{window});
        EXPECT_EQ(standIn.Calls("disconnect"), std::vector<std::string>{thread + "1\t1"})
            << "after the window is gone: on its thread, the element unavailable, the kept reference let go";
    }
}

// Close through the Window pattern is Escape: without a callback the prompt closes.
TEST(Announcements, WindowPatternCloseEndsAPromptWithoutCallback) {
    const UiaStandIn standIn;
    ASSERT_TRUE(standIn.Ready());
    const ChildRun child = RunUnloadChild("automation-close");
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.Value("done"), 1) << child.text;
    EXPECT_NE(child.Value("root_answer"), 0);
    EXPECT_EQ(child.Value("close_hresult"), S_OK);
    EXPECT_EQ(child.Value("start_call_returned"), 1) << "the prompt stayed open";
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK);
    const std::string thread = std::to_string(child.Value("prompt_thread")) + "\t";
    EXPECT_EQ(standIn.Calls("disconnect"), std::vector<std::string>{thread + "1\t1"});
}

// A client inside the provider when the unload comes, and a client whose last release comes after
// the driver's FreeLibrary: the library's code outlives both.
TEST(Announcements, ClientCallsAndReleasesNeverOutliveTheLibrary) {
    const UiaStandIn standIn;
    ASSERT_TRUE(standIn.Ready());
    {
        const ChildRun child = RunUnloadChild("client-call");
        ExpectUnloadLeftNothing(child);
        EXPECT_NE(child.Value("root_answer"), 0) << child.text;
        EXPECT_EQ(child.Value("client_inside"), 1) << child.text;
        EXPECT_EQ(child.Value("client_returned"), 1) << child.text;
        EXPECT_GE(child.Value("free_after_client_ms"), 0) << "the library went while a client was inside";
    }
    {
        const ChildRun child = RunUnloadChild("client-release");
        ASSERT_TRUE(child.ended) << child.text;
        ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
        EXPECT_EQ(child.Value("done"), 1) << child.text;
        EXPECT_EQ(child.Value("client_holds"), 1) << child.text;
        EXPECT_EQ(child.Value("loaded_after_free"), 1) << "the client's reference did not keep the library";
        EXPECT_EQ(child.Value("module_unloaded"), 1) << "the last release did not let the library go";
    }
}

// ---------------------------------------------------------------------------------------------
// The label font at 150 %. Wine, like Windows, answers LOGPIXELSY 96 in a DPI-unaware thread;
// Wine also answers the stock font at its 96 DPI height there (measured: -11 at LogPixels 144,
// -17 in a system-aware thread). The prompt's thread runs unaware, so the rule must take the pair
// read before that: the stock font and the dpi it was made at.

// Sets the current user's LogPixels, which each Wine process reads at its start, and removes it
// again (the prefix has none).
class LogPixels {
public:
    explicit LogPixels(DWORD dpi) {
        set_ = RegSetKeyValueA(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels", REG_DWORD, &dpi,
                               sizeof dpi) == ERROR_SUCCESS;
    }
    ~LogPixels() {
        if (set_) RegDeleteKeyValueA(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels");
    }
    [[nodiscard]] bool Set() const { return set_; }

private:
    bool set_ = false;
};

TEST(LabelFont, AtLogPixels144TheRuleTakesTheDpiTheStockFontWasMadeAt) {
    ChildRun child;
    {
        const LogPixels at144(144);
        ASSERT_TRUE(at144.Set());
        child = RunUnloadChild("label-font");
    }
    ASSERT_TRUE(child.ended) << "the driver process hung; it reported: " << child.text;
    ASSERT_EQ(child.Value("done"), 1) << child.text;
    ASSERT_EQ(child.Value("system_dpi"), 144) << "Wine did not take the LogPixels value";
    const auto stock = static_cast<int32_t>(child.Value("stock_height"));
    EXPECT_LT(stock, -11) << "the stock font was not made at 144 dpi";
    EXPECT_EQ(child.Value("label_font_height"), DpiAdjustedHeight(stock, 144));
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

// ---------------------------------------------------------------------------------------------
// The field trace, as a debugger attached to the driver's process sees it

constexpr char kLibraryKey[] = "Software\\Halberk\\Vorlix\\QUENDA.DLL";

// The library's key with a Trace value for one test; removed on both ends, as the registry
// tests expect to start without it.
class TraceSwitch {
public:
    TraceSwitch() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLibraryKey); }
    TraceSwitch(const TraceSwitch&) = delete;
    TraceSwitch& operator=(const TraceSwitch&) = delete;
    ~TraceSwitch() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLibraryKey); }

    [[nodiscard]] testing::AssertionResult Set(DWORD type, const void* data, DWORD size) {
        const LONG rc = RegSetKeyValueA(HKEY_LOCAL_MACHINE, kLibraryKey, "Trace", type, data, size);
        if (rc == ERROR_SUCCESS) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "RegSetKeyValueA(Trace) = " << rc;
    }
    [[nodiscard]] testing::AssertionResult On() {
        const DWORD one = 1;
        return Set(REG_DWORD, &one, sizeof one);
    }
};

std::vector<std::string> TraceLines(const ChildRun& child) {
    std::vector<std::string> lines;
    for (const std::string& text : child.debugStrings)
        if (text.rfind("Quenda ", 0) == 0) lines.push_back(text);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  " + line + "\n";
    return text;
}

// Each fragment is found in a later line than the one before it (Wine's ok_sequence, by text).
void ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& fragments) {
    size_t next = 0;
    for (const std::string& fragment : fragments) {
        while (next < lines.size() && lines[next].find(fragment) == std::string::npos) ++next;
        if (next == lines.size()) {
            ADD_FAILURE() << "no line with \"" << fragment << "\" in order; the trace was:\n" << Joined(lines);
            return;
        }
        ++next;
    }
}

TEST(FieldTrace, OnExplainsRefusalsTheFailedDesktopIgnoredValuesKeysAndTheEnd) {
    TraceSwitch trace;
    ASSERT_TRUE(trace.On());
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kLibraryKey, "FixedLng", REG_SZ, "0407", 5), ERROR_SUCCESS);
    const ChildRun child = RunUnloadChild("trace-sequence", true);
    ASSERT_TRUE(child.error.empty()) << child.error;
    ASSERT_TRUE(child.ended) << "the driver process hung under the debugger; it reported: " << child.text;
    ASSERT_EQ(child.exitCode, 0u) << "exit code " << Hex(child.exitCode) << "; it reported: " << child.text;
    EXPECT_EQ(child.Value("key_before_open"), QUENDA_INVALID_PARAMETER);
    EXPECT_EQ(child.Value("invalid_mode"), QUENDA_INVALID_PARAMETER);
    EXPECT_EQ(child.Value("negative_size"), QUENDA_INVALID_PARAMETER);
    EXPECT_EQ(child.Value("second_start"), QUENDA_OK);
    EXPECT_EQ(child.Value("end"), QUENDA_OK);
    EXPECT_EQ(child.Value("start_call_result"), QUENDA_OK);

    char record[64];
    std::snprintf(record, sizeof record, "record: Size %u, Flags 0x0, band 135", unsigned(sizeof(DlgParams)));
    const std::vector<std::string> lines = TraceLines(child);
    EXPECT_EQ(lines.size(), child.debugStrings.size()) << "lines without the prefix:\n" << Joined(child.debugStrings);
    ExpectInOrder(lines, {
        "StartDlg: mode 3, 0", "StartDlg: answer 87: invalid mode",
        "OnKeyPressed: key 1, 0", "refused: 87: no prompt open", "OnKeyPressed: answer 87",
        "StartDlgEx: record 0x", "StartDlgEx: answer 87: negative Size",
        "StartDlgEx: record 0x", record,
        "station: current WinSta0, asked (none), target (stay), desktop QuendaNoSuchDesk",
        "station: OpenDesktopA(QuendaNoSuchDesk", "station: restored desktop",
        "registry: FixedLng ignored: type 1, 5 bytes", "text: 1 TXT_ENTER_PIN: catalogue",
        "text: 10 TXT_CANCEL: catalogue", "dialog: open",
        "StartDlg: answer 0 at once: another start call runs",
        "key: event 1 handled, echo length 1", "OnKeyPressed: answer 0", "key: event 1 handled, echo length 2",
        "EndDlg: outcome 3", "text: 5 TXT_PIN_OK", "close: outcome 3 on screen", "close: WM_CLOSE",
        "EndDlg: answer 0", "StartDlgEx: answer 0, leaving the library",
    });
    // One answer per call: the refused record and the prompt.
    const auto isStartAnswer = [](const std::string& line) {
        return line.find("StartDlgEx: answer") != std::string::npos;
    };
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), isStartAnswer), 2) << Joined(lines);
    // The desktop's name is longer than a line: its line is cut, and says so.
    const auto isCut = [](const std::string& line) {
        return line.size() >= 250 && line.find("...") != std::string::npos &&
               line.find("QuendaNoSuchDesk") != std::string::npos;
    };
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), isCut), 2) << Joined(lines);
    for (const std::string& line : lines) {
        EXPECT_LT(line.size(), 256u) << line;
        const size_t failed = line.find(" failed, error ");
        if (failed != std::string::npos) {
            EXPECT_NE(line.find_first_of("0123456789", failed + 15), std::string::npos) << "no error code: " << line;
        }
        for (const char c : line) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << "not printable ASCII: " << line;
    }
}

TEST(FieldTrace, OffForZeroOtherTypesOrNoValueWritesNothing) {
    const DWORD zero = 0;
    const DWORD two = 2;
    const char text[] = "1";
    const unsigned long long wide = 1;
    const struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {"REG_DWORD 0", REG_DWORD, &zero, sizeof zero},
        {"REG_DWORD 2", REG_DWORD, &two, sizeof two},
        {"REG_SZ \"1\"", REG_SZ, text, sizeof text},
        {"REG_QWORD 1", REG_QWORD, &wide, sizeof wide},
        {"no value", 0, nullptr, 0},
    };
    for (const auto& value : cases) {
        SCOPED_TRACE(value.name);
        TraceSwitch trace;
        if (value.data) {
            ASSERT_TRUE(trace.Set(value.type, value.data, value.size));
        }
        const ChildRun child = RunUnloadChild("trace-sequence", true);
        ASSERT_TRUE(child.error.empty()) << child.error;
        ASSERT_TRUE(child.ended) << child.text;
        EXPECT_EQ(child.Value("done"), 1) << child.text;
        EXPECT_TRUE(child.debugStrings.empty()) << Joined(child.debugStrings);
    }
}

// A debugger that stops the process at each line changes nothing of what the unload does; the
// unload and the process's end write no line.
TEST(FieldTrace, UnloadWhileOpenUnderTheDebuggerWithTraceOn) {
    TraceSwitch trace;
    ASSERT_TRUE(trace.On());
    for (const char* mode : {"free-while-open", "free-at-first-paint"}) {
        SCOPED_TRACE(mode);
        const ChildRun child = RunUnloadChild(mode, true);
        ExpectUnloadClosedPrompt(child, std::string(mode) == "free-at-first-paint");
        const std::vector<std::string> lines = TraceLines(child);
        ExpectInOrder(lines, {"StartDlg: mode 1", "dialog: open"});
        // The unload switches the trace off before anything else.
        for (const std::string& line : lines) EXPECT_EQ(line.find("close: outcome 1"), std::string::npos) << line;
    }

    // On process exit the library's detach runs with the other threads gone: it writes nothing.
    const ChildRun exiting = RunUnloadChild("exit-while-open", true);
    ASSERT_TRUE(exiting.ended) << exiting.text;
    EXPECT_EQ(exiting.exitCode, kChildExitCode) << "exit code " << Hex(exiting.exitCode);
    const std::vector<std::string> lines = TraceLines(exiting);
    ExpectInOrder(lines, {"StartDlg: mode 1", "dialog: open"});
    for (const std::string& line : lines) EXPECT_EQ(line.find("unload:"), std::string::npos) << line;
}

// A reader that has stopped reading holds each line for ten seconds: the unload writes none.
TEST(FieldTrace, UnloadWithAReaderThatStoppedReading) {
    TraceSwitch trace;
    ASSERT_TRUE(trace.On());
    const ChildRun child = RunUnloadChild("free-hung-reader");
    ExpectUnloadLeftNothing(child);
    EXPECT_GT(child.Value("lines_read"), 0) << "the trace never reached the reader: " << child.text;
    EXPECT_GE(child.Value("free_ms"), kOutcomeMinMs) << child.text;
    EXPECT_LT(child.Value("free_ms"), 5000) << child.text;
}

}  // namespace
}  // namespace quenda::test
