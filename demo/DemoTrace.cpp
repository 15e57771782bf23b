#include "DemoTrace.h"

#include "DebugLoop.h"
#include "DemoLog.h"
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

    unsigned lines = 0;
    const debugloop::Result run = debugloop::Run(exe, commandLine, INFINITE, [&lines](const std::string& line) {
        ++lines;
        Log("%s", line.c_str());
    });
    if (!run.error.empty()) {
        Log("%s", run.error.c_str());
        return 1;
    }
    const DWORD exitCode = run.exitCode;
    Log("the traced run ended with exit code %lu; %u trace lines captured", exitCode, lines);
    trace.Restore();
    return static_cast<int>(exitCode);
}

} // namespace demo
