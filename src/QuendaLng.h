// The built-in texts in five languages and the choice among them. Registry access lives in
// QuendaRegistry; what is here has no Windows dependency.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quenda {

inline constexpr int kTextCount = 10;
inline constexpr int kLanguageCount = 5;

// Value names of the registry overrides, by TextId - 1. TextId 9's key keeps its historic spelling.
extern const std::array<const char*, kTextCount> TextKeys;

// Windows-1252 texts by TextId - 1 and LanguageColumn - 1 (German, English, Spanish, French,
// Estonian).
extern const std::array<std::array<const char*, kLanguageCount>, kTextCount> TextCatalogue;

// Catalogue column 1..5 for a language identifier; English for anything unlisted.
int LanguageColumn(uint32_t langId);

// Catalogue entry; throws std::out_of_range for a TextId outside 1..10.
std::string_view CatalogueEntry(int textId, uint32_t langId);

// Registry subkey name of a language: upper-case hex, at least four digits.
std::string LanguageSubkeyName(uint32_t langId);

// Registry value decoding. `data` is what the registry returned for a value of `type`.
// A string value gives its bytes up to the first NUL, never reading past `data`; an empty or
// unusable value gives nothing.
std::optional<std::string> DecodeOverrideText(uint32_t type, std::string_view data);
// FixedLng: a REG_DWORD of exactly four bytes, not negative as a signed number; else 0.
uint32_t DecodeFixedLng(uint32_t type, std::string_view data);

// The language the texts follow: FixedLng when set, else the user's default language.
inline uint32_t EffectiveLanguage(uint32_t fixedLng, uint32_t userDefault) {
    return fixedLng != 0 ? fixedLng : userDefault;
}

}  // namespace quenda
