#include "DemoOptions.h"

#include <cctype>
#include <charconv>
#include <set>

namespace demo {
namespace {

constexpr uint32_t kMaxDigits = 32;
// The library adds 135 to ExtraWidth in 32 bits; anything larger overflows and is refused.
constexpr uint32_t kMaxExtraWidth = 0xFFFFFFFFu - 135u;

std::optional<uint32_t> ParseBase(const std::string& text, int base) {
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc{} || ptr != last) return std::nullopt;
    return value;
}

} // namespace

std::optional<uint32_t> ParseDecimal(const std::string& text) { return ParseBase(text, 10); }

std::optional<uint32_t> ParseLangId(const std::string& text) {
    std::optional<uint32_t> value;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        value = ParseBase(text.substr(2), 16);
    } else {
        bool hexLetters = false;
        for (char c : text) {
            if (std::isxdigit(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)))
                hexLetters = true;
        }
        // LANGIDs are written as four hex digits ("0407"); a leading zero marks that notation.
        const bool hex = hexLetters || (text.size() > 1 && text[0] == '0');
        value = ParseBase(text, hex ? 16 : 10);
    }
    if (!value || *value > 0xFFFF) return std::nullopt;
    return value;
}

const char* UsageText() {
    return "Usage: QuendaDemo [options]\n"
           "Plays a smart-card reader driver: opens the PIN prompt of Quenda.dll (next to this\n"
           "program) in one thread and types on the simulated keypad from another.\n"
           "\n"
           "  --mode 1|2|5          prompt: 1 enter PIN (default), 2 old PIN, 5 new PIN\n"
           "  --digits N            digits to type, 0..32 (default 4), then one backspace\n"
           "  --outcome 1..5        EndDlg outcome: 1 cancelled, 2 timeout, 3 PIN ok (default),\n"
           "                        4 PIN error, 5 PINs don't match\n"
           "  --extra-width N       pixels added to the 135-pixel middle band (band at most 600)\n"
           "  --prompt-text TEXT    driver's own prompt text for all three modes\n"
           "  --keep-desktop        keep the calling thread's window station and desktop\n"
           "  --lang LANGID         force the language for this run (registry value FixedLng,\n"
           "                        restored afterwards); hex with a leading 0, 0x or a letter\n"
           "                        (0407, 040C, 0x1009), otherwise decimal (1036)\n"
           "  --high-contrast       show the high-contrast look: the library is told high\n"
           "                        contrast is on and a black scheme is set for the run\n"
           "  --trace               switch on the library's trace for this run (registry value\n"
           "                        Trace, restored afterwards) and print the lines it writes\n"
           "  --interactive         keep the prompt open until Cancel is clicked, then end it\n"
           "                        with outcome 1 (not with --outcome)\n"
           "  --shots DIR           save a PNG of the prompt at every step into DIR; the pointer\n"
           "                        is moved over Cancel and pressed there for its hover and\n"
           "                        pressed looks (released away from it: no click)\n"
           "  --help                this text\n"
           "\n"
           "--extra-width, --prompt-text and --keep-desktop make the demo call StartDlgEx with a\n"
           "DlgParams record; otherwise it calls StartDlg.\n"
           "Exit code: 0 when every call answered as promised (and every picture was written),\n"
           "1 when not, 2 for a usage error.\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
    Options options;
    std::set<std::string> seen;
    auto fail = [](std::string why) { return ParseResult{std::nullopt, std::move(why)}; };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        if (!seen.insert(name).second) return fail(name + " is given twice");

        const bool isFlag = name == "--interactive" || name == "--keep-desktop" || name == "--high-contrast" ||
                            name == "--trace" ||
                            name == "--help" || name == "-h";
        if (isFlag) {
            if (inlineValue) return fail(name + " takes no value");
            if (name == "--interactive") options.interactive = true;
            else if (name == "--keep-desktop") options.keepDesktop = true;
            else if (name == "--high-contrast") options.highContrast = true;
            else if (name == "--trace") options.trace = true;
            else options.help = true;
            continue;
        }

        static const std::set<std::string> kValued = {"--mode",  "--digits", "--outcome",    "--extra-width",
                                                      "--shots", "--lang",   "--prompt-text"};
        if (!kValued.count(name)) return fail("unknown option '" + args[i] + "'");
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }

        if (name == "--mode") {
            auto v = ParseDecimal(value);
            if (!v || (*v != 1 && *v != 2 && *v != 5)) return fail("--mode must be 1, 2 or 5, not '" + value + "'");
            options.mode = *v;
        } else if (name == "--digits") {
            auto v = ParseDecimal(value);
            if (!v || *v > kMaxDigits) return fail("--digits must be 0..32, not '" + value + "'");
            options.digits = *v;
        } else if (name == "--outcome") {
            auto v = ParseDecimal(value);
            if (!v || *v < 1 || *v > 5) return fail("--outcome must be 1..5, not '" + value + "'");
            options.outcome = *v;
        } else if (name == "--extra-width") {
            auto v = ParseDecimal(value);
            if (!v || *v > kMaxExtraWidth)
                return fail("--extra-width must be 0.." + std::to_string(kMaxExtraWidth) + ", not '" + value + "'");
            options.extraWidth = *v;
        } else if (name == "--shots") {
            if (value.empty()) return fail("--shots needs a directory");
            options.shotsDir = value;
        } else if (name == "--lang") {
            auto v = ParseLangId(value);
            if (!v) return fail("--lang must be a language identifier 0..FFFF, not '" + value + "'");
            options.lang = *v;
        } else if (name == "--prompt-text") {
            options.promptText = value;
        }
    }
    if (options.interactive && seen.count("--outcome"))
        return fail("--interactive always ends with outcome 1; leave out --outcome");
    if (options.interactive) options.outcome = 1;
    return ParseResult{options, {}};
}

} // namespace demo
