#include "WindowsVersions.h"

namespace quenda {

namespace {
PlatformVersion gVersion;
bool gIsWinNT = false;
}  // namespace

void InitWindowsVersions() noexcept {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool ok = GetVersionExA(&info) != FALSE;
#pragma GCC diagnostic pop
    gVersion = ok ? PlatformVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion}
                  : PlatformVersion{};
    gIsWinNT = ok && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsWinNT() noexcept { return gIsWinNT; }

PlatformVersion GetPlatformVersion() noexcept { return gVersion; }

bool HasForegroundLock(const PlatformVersion& version) noexcept {
    if (version.platformId == VER_PLATFORM_WIN32_NT) return version.major > 4;
    if (version.platformId == VER_PLATFORM_WIN32_WINDOWS)
        return version.major > 4 || (version.major == 4 && version.minor > 0);
    return false;
}

}  // namespace quenda
