#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "QuendaLng.h"

using namespace quenda;

TEST(Catalogue, EveryEntryIsNonEmptyAndFiveTextsAreExact) {
    for (int id = 1; id <= kTextCount; ++id)
        for (int column = 0; column < kLanguageCount; ++column)
            EXPECT_GT(std::strlen(TextCatalogue[id - 1][column]), 0u) << id << "/" << column;
    EXPECT_EQ(CatalogueEntry(9, 0x0409), "Timout for PIN entry!");
    EXPECT_EQ(CatalogueEntry(10, 0x0409), "&Cancel");
    EXPECT_STREQ(TextKeys[8], "TXT_END_TIEMOUT");
    // Accented letters are the Windows-1252 bytes, whatever the source file's encoding.
    EXPECT_EQ(CatalogueEntry(4, 0x0407), std::string("Bitte neue PIN best\xE4tigen."));
    EXPECT_EQ(CatalogueEntry(7, 0x0407), std::string("PINs stimmen nicht \xFC" "berein!"));
    EXPECT_EQ(CatalogueEntry(7, 0x040A), std::string("Los c\xF3" "digos PIN no coinciden!"));
    EXPECT_EQ(CatalogueEntry(8, 0x040C), std::string("Saisie du code PIN annul\xE9" "e."));
    EXPECT_EQ(CatalogueEntry(9, 0x0425), std::string("PIN'i sisestamiseks antud aeg l\xF5ppes!"));
}

TEST(Catalogue, LanguagesFollowThePrimaryLanguage) {
    EXPECT_EQ(CatalogueEntry(1, 0x0407), "Bitte PIN eingeben.");
    EXPECT_EQ(CatalogueEntry(1, 0x0807), "Bitte PIN eingeben.") << "Swiss German";
    EXPECT_EQ(CatalogueEntry(1, 0x0413), "Please enter PIN.") << "Dutch falls back to English";
    EXPECT_EQ(CatalogueEntry(1, 0x0425), "Sisesta PIN kood.");
    EXPECT_EQ(CatalogueEntry(5, 0x040C), "Code PIN OK.");
    EXPECT_EQ(CatalogueEntry(5, 0x0C0A), "PIN correcto.");
    EXPECT_EQ(LanguageColumn(0), 2);
    EXPECT_THROW(CatalogueEntry(0, 0x0409), std::out_of_range);
    EXPECT_THROW(CatalogueEntry(11, 0x0409), std::out_of_range);
}

TEST(LanguageSubkeyName, UpperCaseHexOfAtLeastFourDigits) {
    EXPECT_EQ(LanguageSubkeyName(0x0407), "0407");
    EXPECT_EQ(LanguageSubkeyName(7), "0007");
    EXPECT_EQ(LanguageSubkeyName(0x0C0A), "0C0A");
    EXPECT_EQ(LanguageSubkeyName(0x12345), "12345");
    EXPECT_EQ(LanguageSubkeyName(0xFFFFFFFF), "FFFFFFFF");
}

TEST(RegistryDecoding, OverrideTextsAreStringsUpToTheFirstNul) {
    constexpr uint32_t kSz = 1, kExpandSz = 2, kBinary = 3, kDword = 4, kMultiSz = 7;
    EXPECT_EQ(DecodeOverrideText(kSz, std::string("Hallo\0", 6)), "Hallo");
    EXPECT_EQ(DecodeOverrideText(kSz, "no terminator"), "no terminator");
    EXPECT_EQ(DecodeOverrideText(kExpandSz, std::string("%PATH%\0", 7)), "%PATH%");
    EXPECT_EQ(DecodeOverrideText(kSz, std::string("a\0b\0", 4)), "a");
    EXPECT_FALSE(DecodeOverrideText(kSz, std::string("\0", 1)).has_value());
    EXPECT_FALSE(DecodeOverrideText(kSz, "").has_value());
    EXPECT_FALSE(DecodeOverrideText(kMultiSz, std::string("x\0\0", 3)).has_value());
    EXPECT_FALSE(DecodeOverrideText(kBinary, "x").has_value());
    EXPECT_FALSE(DecodeOverrideText(kDword, "abcd").has_value());
}

TEST(RegistryDecoding, FixedLngIsAFourByteNonNegativeDword) {
    constexpr uint32_t kSz = 1, kDword = 4, kQword = 11;
    EXPECT_EQ(DecodeFixedLng(kDword, std::string("\x0C\x04\0\0", 4)), 0x040Cu);
    EXPECT_EQ(DecodeFixedLng(kDword, std::string("\xFF\xFF\xFF\xFF", 4)), 0u) << "negative";
    EXPECT_EQ(DecodeFixedLng(kDword, std::string("\x0C\x04", 2)), 0u) << "two bytes";
    EXPECT_EQ(DecodeFixedLng(kDword, std::string("\x0C\x04\0\0\0\0\0\0", 8)), 0u) << "eight bytes";
    EXPECT_EQ(DecodeFixedLng(kQword, std::string("\x0C\x04\0\0\0\0\0\0", 8)), 0u);
    EXPECT_EQ(DecodeFixedLng(kSz, std::string("1036\0", 5)), 0u);
    EXPECT_EQ(EffectiveLanguage(0, 0x0407), 0x0407u);
    EXPECT_EQ(EffectiveLanguage(0x040C, 0x0407), 0x040Cu);
}
