// Registry value decoding on arbitrary values: the first byte picks the type (the next four give a
// full 32-bit type when it is 0xFF), the rest is the value's data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QuendaLng.h"

namespace {
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    uint32_t type = bytes[0];
    size_t skip = 1;
    if (bytes[0] == 0xFF && size >= 5) {
        std::memcpy(&type, bytes + 1, 4);
        skip = 5;
    }
    // An exactly sized copy: a read past the value's end trips AddressSanitizer.
    std::vector<char> owned(bytes + skip, bytes + size);
    const std::string_view data(owned.data(), owned.size());

    const std::optional<std::string> text = quenda::DecodeOverrideText(type, data);
    if (text) {
        if (type != kRegSz && type != kRegExpandSz) std::abort();
        if (text->empty() || text->size() > data.size()) std::abort();
        if (text->find('\0') != std::string::npos) std::abort();
        if (data.substr(0, text->size()) != *text) std::abort();
        if (text->size() < data.size() && data[text->size()] != '\0') std::abort();
    } else if ((type == kRegSz || type == kRegExpandSz) && !data.empty() && data[0] != '\0') {
        std::abort();  // a usable string was dropped
    }

    const uint32_t lang = quenda::DecodeFixedLng(type, data);
    if (type != kRegDword || data.size() != 4) {
        if (lang != 0) std::abort();
    } else {
        uint32_t raw = 0;
        std::memcpy(&raw, data.data(), 4);  // little-endian machine, as REG_DWORD is
        if (lang != (static_cast<int32_t>(raw) < 0 ? 0u : raw)) std::abort();
    }
    // Whatever FixedLng gives, the texts of that language exist and are not empty.
    const uint32_t effective = quenda::EffectiveLanguage(lang, 0x0409);
    for (int id = 1; id <= quenda::kTextCount; ++id)
        if (quenda::CatalogueEntry(id, effective).empty()) std::abort();
    const std::string subkey = quenda::LanguageSubkeyName(lang);
    if (subkey.size() < 4) std::abort();
    for (const char c : subkey)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) std::abort();
    return 0;
}
