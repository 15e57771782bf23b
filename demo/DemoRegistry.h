// Sets one of the library's registry values for one run: FixedLng (the prompt's language) or
// Trace (the field trace).
#ifndef QUENDA_DEMO_REGISTRY_H
#define QUENDA_DEMO_REGISTRY_H

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace demo {

// Sets a REG_DWORD under the library's key and puts back exactly what was there before (value,
// type and data, or nothing, and the keys it had to create) when destroyed, when Restore is
// called, or on Ctrl+C. Two may be applied at once; restore them in the reverse order.
class DwordOverride {
public:
    explicit DwordOverride(const char* valueName) : valueName_(valueName) {}
    DwordOverride(const DwordOverride&) = delete;
    DwordOverride& operator=(const DwordOverride&) = delete;
    ~DwordOverride();

    [[nodiscard]] bool Apply(uint32_t value);
    void Restore() noexcept;

private:
    void RestoreLocked() noexcept;
    static BOOL WINAPI OnConsoleCtrl(DWORD type) noexcept;

    const char* valueName_;
    std::mutex mutex_;
    bool applied_ = false;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
    std::vector<const char*> createdKeys_; // deepest last
};

} // namespace demo

#endif
