// Language setting and per-language text overrides under HKEY_LOCAL_MACHINE, read afresh for every
// text. Nothing is ever written.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quenda {

inline constexpr const char* kRegistryKey = "Software\\Halberk\\Vorlix\\QUENDA.DLL";

// Trace (REG_DWORD) under the library's key is exactly 1: one key open, one value query.
bool ReadTraceSwitch() noexcept;
// FixedLng, or 0 when it is absent or unusable.
uint32_t ReadFixedLng();
// Override of a TextId in the subkey of a language, or empty.
std::string ReadTextOverride(uint32_t langId, int textId);
// Registry override or catalogue text of a TextId in the current language; never empty.
std::string GetCatalogueText(int textId);

// The user's default language; a test build may replace it (0 restores the system's).
uint32_t UserDefaultLanguage();
void SetUserDefaultLanguageForTesting(uint32_t langId);

// Raw value read that copes with any type and size, also one that changes between the size
// query and the read. Gives the type and exactly the bytes stored, or nothing.
struct RegistryValue {
    DWORD type = 0;
    std::string data;
};
std::optional<RegistryValue> ReadRegistryValue(HKEY key, const char* name);

}  // namespace quenda
