// Forces the prompt's language for one run through the library's FixedLng registry value.
#ifndef QUENDA_DEMO_REGISTRY_H
#define QUENDA_DEMO_REGISTRY_H

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace demo {

// Sets FixedLng and puts back exactly what was there before (value, type and data, or nothing,
// and the keys it had to create) when destroyed, when Restore is called, or on Ctrl+C.
class FixedLngOverride {
public:
    FixedLngOverride() = default;
    FixedLngOverride(const FixedLngOverride&) = delete;
    FixedLngOverride& operator=(const FixedLngOverride&) = delete;
    ~FixedLngOverride();

    [[nodiscard]] bool Apply(uint32_t langId);
    void Restore() noexcept;

private:
    void RestoreLocked() noexcept;
    static BOOL WINAPI OnConsoleCtrl(DWORD type) noexcept;

    std::mutex mutex_;
    bool applied_ = false;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
    std::vector<const char*> createdKeys_; // deepest last
};

} // namespace demo

#endif
