// What the platform is, read once when the library loads.
#pragma once

#include <windows.h>

namespace quenda {

struct PlatformVersion {
    DWORD platformId = 0;
    DWORD major = 0;
    DWORD minor = 0;
};

// Reads the version; called by the load-time initialisation.
void InitWindowsVersions() noexcept;

bool IsWinNT() noexcept;
PlatformVersion GetPlatformVersion() noexcept;
// Windows 98/ME and NT 5 and later refuse SetForegroundWindow from background threads.
bool HasForegroundLock(const PlatformVersion& version) noexcept;

}  // namespace quenda
