#include "QuendaRegistry.h"

#include <atomic>
#include <stdexcept>

#include "QuendaLng.h"
#include "WinHandles.h"

namespace quenda {

namespace {

std::atomic<uint32_t> gLanguageOverride{0};

UniqueKey OpenForReading(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return UniqueKey();
    return UniqueKey(key);
}

}  // namespace

std::optional<RegistryValue> ReadRegistryValue(HKEY key, const char* name) {
    RegistryValue value;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    // The value may grow between the size query and the read; a few rounds settle it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        value.data.assign(static_cast<size_t>(size) + 1, '\0');
        DWORD read = size;
        const LONG rc = RegQueryValueExA(key, name, nullptr, &value.type,
                                         reinterpret_cast<BYTE*>(value.data.data()), &read);
        if (rc == ERROR_SUCCESS) {
            value.data.resize(read <= size ? read : size);
            return value;
        }
        if (rc != ERROR_MORE_DATA) return std::nullopt;
        size = read;
    }
    return std::nullopt;
}

uint32_t ReadFixedLng() {
    const UniqueKey key = OpenForReading(kRegistryKey);
    if (!key) return 0;
    const auto value = ReadRegistryValue(key.get(), "FixedLng");
    return value ? DecodeFixedLng(value->type, value->data) : 0;
}

std::string ReadTextOverride(uint32_t langId, int textId) {
    if (textId < 1 || textId > kTextCount) return {};
    const UniqueKey key = OpenForReading(std::string(kRegistryKey) + "\\" + LanguageSubkeyName(langId));
    if (!key) return {};
    const auto value = ReadRegistryValue(key.get(), TextKeys[textId - 1]);
    if (!value) return {};
    return DecodeOverrideText(value->type, value->data).value_or(std::string());
}

uint32_t UserDefaultLanguage() {
    const uint32_t forced = gLanguageOverride.load();
    return forced != 0 ? forced : GetUserDefaultLangID();
}

void SetUserDefaultLanguageForTesting(uint32_t langId) { gLanguageOverride.store(langId); }

std::string GetCatalogueText(int textId) {
    if (textId < 1 || textId > kTextCount) throw std::out_of_range("TextId outside 1..10");
    const uint32_t lang = EffectiveLanguage(ReadFixedLng(), UserDefaultLanguage());
    if (auto text = ReadTextOverride(lang, textId); !text.empty()) return text;
    if (auto text = ReadTextOverride(lang & 0xFF, textId); !text.empty()) return text;
    return std::string(CatalogueEntry(textId, lang));
}

}  // namespace quenda
