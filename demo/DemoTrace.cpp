#include "DemoTrace.h"

#include "DemoLog.h"
#include "DemoOwners.h"
#include "DemoRegistry.h"

#include <windows.h>

namespace demo {
namespace {

std::string OwnPath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return path.substr(0, n);
        path.resize(path.size() * 2);
    }
}

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    if (info.fUnicode) return "(a UTF-16 line, not the library's)";
    std::string text(info.nDebugStringLength, '\0');
    SIZE_T read = 0;
    if (text.empty() || !ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &read))
        return "(unreadable)";
    text.resize(read);
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

} // namespace

std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

int RunTraced(const std::vector<std::string>& childArgs) {
    SetThreadTag("trace");
    DwordOverride trace("Trace");
    if (!trace.Apply(1)) return 1;

    const std::string exe = OwnPath();
    std::string commandLine = QuoteArgument(exe);
    for (const std::string& arg : childArgs) {
        commandLine += ' ';
        commandLine += QuoteArgument(arg);
    }
    Log("running %s under a debugger loop; the library's lines follow, tagged \"trace\"", commandLine.c_str());

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &info)) {
        Log("CreateProcess under a debugger FAILED: error %lu", GetLastError());
        return 1;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);

    // The child is stopped at each event until it is continued: every event is continued,
    // and the file handles the events hand over are closed.
    DWORD exitCode = 1;
    unsigned lines = 0;
    bool initialBreakpoint = true;
    for (bool running = true; running;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, INFINITE)) {
            Log("WaitForDebugEvent FAILED: error %lu", GetLastError());
            TerminateProcess(process.get(), 1);
            return 1;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            ++lines;
            Log("%s", ReadDebugString(process.get(), event.u.DebugString).c_str());
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (!(initialBreakpoint && event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT))
                status = DBG_EXCEPTION_NOT_HANDLED;
            initialBreakpoint = false;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode = event.u.ExitProcess.dwExitCode;
            running = false;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    Log("the traced run ended with exit code %lu; %u trace lines captured", exitCode, lines);
    trace.Restore();
    return static_cast<int>(exitCode);
}

} // namespace demo
