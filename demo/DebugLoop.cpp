#include "DebugLoop.h"

#include <cstdint>
#include <vector>

#include "DemoOwners.h"

namespace debugloop {
namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    const size_t charSize = info.fUnicode ? sizeof(wchar_t) : 1;
    std::vector<char> raw(size_t(info.nDebugStringLength) * charSize);
    SIZE_T read = 0;
    if (raw.empty() || !ReadProcessMemory(process, info.lpDebugStringData, raw.data(), raw.size(), &read))
        return "(unreadable debug string)";
    std::string text;
    for (size_t i = 0; i + charSize <= read; i += charSize) {
        const unsigned value = info.fUnicode ? *reinterpret_cast<const wchar_t*>(&raw[i]) : uint8_t(raw[i]);
        if (value == 0) break;
        text += value < 0x80 ? static_cast<char>(value) : '?';
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

} // namespace

Result Run(const std::string& exe, const std::string& commandLine, DWORD timeoutMs,
           const std::function<void(const std::string&)>& onLine) {
    Result result;
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &info)) {
        result.error = "CreateProcess(" + exe + ") under a debugger failed, error " + std::to_string(GetLastError());
        return result;
    }
    // The system closes the process and thread handles the events carry; these two are ours.
    const demo::UniqueHandle process(info.hProcess);
    const demo::UniqueHandle thread(info.hThread);

    const ULONGLONG deadline = timeoutMs == INFINITE ? ~0ULL : GetTickCount64() + timeoutMs;
    bool initialBreakpoint = true;
    bool terminated = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline && !terminated) {
            // Hung: end it, then drain the events until its exit is reported.
            TerminateProcess(info.hProcess, 1);
            terminated = true;
        }
        const DWORD wait = terminated ? 5000 : deadline == ~0ULL ? INFINITE : static_cast<DWORD>(deadline - now);
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, wait)) {
            if (terminated) break;
            continue;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            const demo::UniqueHandle file(event.u.CreateProcessInfo.hFile);  // ours to close
            break;
        }
        case LOAD_DLL_DEBUG_EVENT: {
            const demo::UniqueHandle file(event.u.LoadDll.hFile);  // ours to close
            break;
        }
        case OUTPUT_DEBUG_STRING_EVENT:
            onLine(ReadDebugString(info.hProcess, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            // Only the loader's first breakpoint is the debugger's own; the rest belong to the process.
            if (!(initialBreakpoint && event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT))
                status = DBG_EXCEPTION_NOT_HANDLED;
            initialBreakpoint = false;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            result.exitCode = event.u.ExitProcess.dwExitCode;
            result.ended = !terminated;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
    return result;
}

} // namespace debugloop
