#include "QuendaLng.h"

#include <cstdio>
#include <stdexcept>

namespace quenda {

namespace {
// Registry value types, as the registry reports them.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;
}  // namespace

const std::array<const char*, kTextCount> TextKeys = {
    "TXT_ENTER_PIN",  "TXT_OLD_PIN",      "TXT_NEW_PIN",    "TXT_CONFIRM_PIN", "TXT_PIN_OK",
    "TXT_PIN_ERROR",  "TXT_PIN_NO_MATCH", "TXT_END_CANCEL", "TXT_END_TIEMOUT", "TXT_CANCEL",
};

// Non-ASCII letters are byte escapes so that the file's encoding cannot change them.
const std::array<std::array<const char*, kLanguageCount>, kTextCount> TextCatalogue = {{
    {"Bitte PIN eingeben.", "Please enter PIN.", "Escriba su PIN.",
     "Veuillez entrer votre code PIN.", "Sisesta PIN kood."},
    {"Bitte alte PIN eingeben.", "Please enter old PIN.", "Escriba su antiguo PIN.",
     "Veuillez entrer l'ancien code PIN.", "Vana PIN kood."},
    {"Bitte neue PIN eingeben.", "Please enter new PIN.", "Escriba su nuevo PIN.",
     "Veuillez entrer le nouveau code PIN.", "Uus PIN kood."},
    {"Bitte neue PIN best\xE4tigen.", "Please confirm new PIN.", "Confirme su nuevo PIN.",
     "Veuillez confirmer le nouveau code PIN.", "Korda uus PIN."},
    {"PIN ok.", "PIN ok.", "PIN correcto.", "Code PIN OK.", "PIN ok."},
    {"PIN Fehler!", "PIN error!", "Error de PIN!", "Erreur de code PIN!", "Vale PIN-kood!"},
    {"PINs stimmen nicht \xFC" "berein!", "PINs don't match!", "Los c\xF3" "digos PIN no coinciden!",
     "Les codes PIN ne sont pas identiques!", "Uued PIN koodid ei kattu!"},
    {"PIN Eingabe abgebrochen!", "PIN entry cancelled!", "Entrada de PIN cancelada.",
     "Saisie du code PIN annul\xE9" "e.", "PIN sisestus katkestatud!"},
    {"Zeit\xFC" "berschreitung f\xFCr PIN Eingabe!", "Timout for PIN entry!",
     "Superado tiempo de espera para escribir el PIN.", "Temps de saisie du code PIN d\xE9pass\xE9.",
     "PIN'i sisestamiseks antud aeg l\xF5ppes!"},
    {"&Abbrechen", "&Cancel", "&Cancelar", "&Annuler", "&Katkesta"},
}};

int LanguageColumn(uint32_t langId) {
    switch (langId & 0xFF) {
        case 7: return 1;    // German
        case 10: return 3;   // Spanish
        case 12: return 4;   // French
        case 37: return 5;   // Estonian
        default: return 2;   // English, and every language without texts of its own
    }
}

std::string_view CatalogueEntry(int textId, uint32_t langId) {
    if (textId < 1 || textId > kTextCount) throw std::out_of_range("TextId outside 1..10");
    return TextCatalogue[textId - 1][LanguageColumn(langId) - 1];
}

std::string LanguageSubkeyName(uint32_t langId) {
    char name[16];
    std::snprintf(name, sizeof name, "%04X", static_cast<unsigned>(langId));
    return name;
}

std::optional<std::string> DecodeOverrideText(uint32_t type, std::string_view data) {
    if (type != kRegSz && type != kRegExpandSz) return std::nullopt;
    const auto end = data.find('\0');
    const std::string_view text = data.substr(0, end);
    if (text.empty()) return std::nullopt;
    return std::string(text);
}

uint32_t DecodeFixedLng(uint32_t type, std::string_view data) {
    if (type != kRegDword || data.size() != 4) return 0;
    const uint32_t value = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8 |
                           static_cast<uint8_t>(data[2]) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
    return static_cast<int32_t>(value) < 0 ? 0 : value;
}

}  // namespace quenda
