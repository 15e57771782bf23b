// A process run under a minimal debugger loop, for the lines it writes with OutputDebugString:
// the demo's --trace prints them, the tests check them. Runs where a real debugger would (also
// under Wine), and needs no debugger installed.
#ifndef QUENDA_DEBUG_LOOP_H
#define QUENDA_DEBUG_LOOP_H

#include <windows.h>

#include <functional>
#include <string>

namespace debugloop {

struct Result {
    std::string error;   // why the process could not be started
    bool ended = false;  // false: still running at the timeout, then terminated
    DWORD exitCode = 0;
};

// Starts `commandLine` with DEBUG_ONLY_THIS_PROCESS and calls `onLine` in this thread for each
// OUTPUT_DEBUG_STRING_EVENT, its text without the line end and with bytes outside ASCII as '?'.
// Every event is continued; the file handles events hand over are closed. `timeoutMs` may be
// INFINITE.
Result Run(const std::string& exe, const std::string& commandLine, DWORD timeoutMs,
           const std::function<void(const std::string&)>& onLine);

} // namespace debugloop

#endif
