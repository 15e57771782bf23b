// Command line of the simulated reader driver.
#ifndef QUENDA_DEMO_OPTIONS_H
#define QUENDA_DEMO_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace demo {

struct Options {
    uint32_t mode = 1;
    uint32_t digits = 4;
    uint32_t outcome = 3;
    std::optional<uint32_t> extraWidth;
    bool interactive = false;
    std::optional<std::string> shotsDir;
    std::optional<uint32_t> lang;
    std::optional<std::string> promptText;
    bool keepDesktop = false;
    bool highContrast = false;
    bool trace = false;
    bool help = false;

    // The options that only a DlgParams record can carry.
    [[nodiscard]] bool NeedsRecord() const { return extraWidth || promptText || keepDesktop; }
};

struct ParseResult {
    std::optional<Options> options; // empty: error holds why
    std::string error;
};

[[nodiscard]] ParseResult ParseOptions(const std::vector<std::string>& args);
[[nodiscard]] const char* UsageText();

// Strict: the whole text must be the number, nothing above 32 bits.
[[nodiscard]] std::optional<uint32_t> ParseDecimal(const std::string& text);
[[nodiscard]] std::optional<uint32_t> ParseLangId(const std::string& text);

} // namespace demo

#endif
