#include "QuendaRegistry.h"

#include <atomic>
#include <stdexcept>

#include "QuendaLng.h"
#include "QuendaTrace.h"
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

bool ReadTraceSwitch() noexcept {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const UniqueKey owner(key);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    // A longer value answers ERROR_MORE_DATA: not a DWORD, so off.
    const LONG rc = RegQueryValueExA(key, "Trace", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value == 1;
}

uint32_t ReadFixedLng() {
    const UniqueKey key = OpenForReading(kRegistryKey);
    if (!key) return 0;
    const auto value = ReadRegistryValue(key.get(), "FixedLng");
    if (!value) return 0;
    const uint32_t fixedLng = DecodeFixedLng(value->type, value->data);
    if (fixedLng == 0 && TraceOn() && !(value->type == REG_DWORD && value->data == std::string(4, '\0')))
        QUENDA_TRACE("registry", "FixedLng ignored: type %lu, %zu bytes", value->type, value->data.size());
    return fixedLng;
}

std::string ReadTextOverride(uint32_t langId, int textId) {
    if (textId < 1 || textId > kTextCount) return {};
    const std::string subkey = LanguageSubkeyName(langId);
    const UniqueKey key = OpenForReading(std::string(kRegistryKey) + "\\" + subkey);
    if (!key) return {};
    const auto value = ReadRegistryValue(key.get(), TextKeys[textId - 1]);
    if (!value) return {};
    auto text = DecodeOverrideText(value->type, value->data);
    if (!text)
        QUENDA_TRACE("registry", "%s\\%s ignored: type %lu, %zu bytes", subkey.c_str(), TextKeys[textId - 1],
                     value->type, value->data.size());
    return text.value_or(std::string());
}

uint32_t UserDefaultLanguage() {
    const uint32_t forced = gLanguageOverride.load();
    return forced != 0 ? forced : GetUserDefaultLangID();
}

void SetUserDefaultLanguageForTesting(uint32_t langId) { gLanguageOverride.store(langId); }

std::string GetCatalogueText(int textId) {
    if (textId < 1 || textId > kTextCount) throw std::out_of_range("TextId outside 1..10");
    const uint32_t fixedLng = ReadFixedLng();
    const uint32_t lang = EffectiveLanguage(fixedLng, UserDefaultLanguage());
    // Says where a text came from: the catalogue, or the override in a language's subkey.
    const auto traced = [&](bool fromRegistry, uint32_t subkeyLang, std::string text) {
        QUENDA_TRACE("text", "%d %s: %s, language 0x%04x (%s), column %d, length %zu", textId,
                     TextKeys[textId - 1],
                     fromRegistry ? ("registry override in " + LanguageSubkeyName(subkeyLang)).c_str() : "catalogue",
                     lang, fixedLng ? "FixedLng" : "user language", LanguageColumn(lang), text.size());
        return text;
    };
    if (auto text = ReadTextOverride(lang, textId); !text.empty()) return traced(true, lang, std::move(text));
    if (auto text = ReadTextOverride(lang & 0xFF, textId); !text.empty())
        return traced(true, lang & 0xFF, std::move(text));
    return traced(false, 0, std::string(CatalogueEntry(textId, lang)));
}

}  // namespace quenda
