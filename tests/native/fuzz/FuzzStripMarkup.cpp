// StripMarkup on arbitrary bytes: no '<' survives, the output never grows, every byte kept comes
// from the input in order, and input without '<' is returned unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "QuendaRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string out = quenda::StripMarkup(input);
    if (out.size() > input.size()) std::abort();
    if (out.find('<') != std::string::npos) std::abort();
    size_t from = 0;
    for (const char c : out) {
        from = input.find(c, from);
        if (from == std::string_view::npos) std::abort();
        ++from;
    }
    if (input.find('<') == std::string_view::npos && out != input) std::abort();
    // Stripping is idempotent: what is left has no markup.
    if (quenda::StripMarkup(out) != out) std::abort();
    return 0;
}
