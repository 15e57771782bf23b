#include "DemoLog.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace demo {
namespace {

thread_local const char* tThreadTag = "?";
std::mutex gLogMutex;
ULONGLONG gStartTick = 0;

} // namespace

void SetThreadTag(const char* tag) noexcept { tThreadTag = tag; }

void Log(const char* format, ...) noexcept {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    std::lock_guard lock(gLogMutex);
    const ULONGLONG now = GetTickCount64();
    if (gStartTick == 0) gStartTick = now;
    // Lines from three threads interleave; flushing each keeps them in the order they happened.
    std::printf("[%6llu ms] %-5s %s\n", now - gStartTick, tThreadTag, text);
    std::fflush(stdout);
}

} // namespace demo
