// Echo edits driven by a key stream, and the font-height arithmetic on arbitrary numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "QuendaRules.h"

namespace {

int64_t RoundedQuotient(int64_t product, int64_t divisor) {
    if (divisor < 0) {
        divisor = -divisor;
        product = -product;
    }
    const int64_t half = divisor / 2;
    return product >= 0 ? (product + half) / divisor : (product - half) / divisor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bytes 0..11: MulDiv's a, b, c; 12..19: a font height and a DPI. The rest: key stream.
    int32_t a = 0, b = 0, c = 0, height = 0, dpi = 0;
    if (size >= 20) {
        std::memcpy(&a, data, 4);
        std::memcpy(&b, data + 4, 4);
        std::memcpy(&c, data + 8, 4);
        std::memcpy(&height, data + 12, 4);
        std::memcpy(&dpi, data + 16, 4);
        const int32_t r = quenda::MulDivRounded(a, b, c);
        if (c == 0) {
            if (r != -1) std::abort();
        } else {
            const int64_t exact = RoundedQuotient(int64_t{a} * b, c);
            const bool fits =
                exact >= std::numeric_limits<int32_t>::min() && exact <= std::numeric_limits<int32_t>::max();
            if (fits ? r != exact : r != -1) std::abort();
        }
        const int32_t h = quenda::DpiAdjustedHeight(height, dpi);
        if (dpi == 96 || height == 0) {
            if (h != height) std::abort();
        } else if (height >= -19 && height <= -1) {
            // Small stock heights come from the table: negative, no larger in size.
            if (h >= 0 || h < height) std::abort();
        }
        data += 20;
        size -= 20;
    }
    std::string echo;
    size_t expected = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] & 1) {
            echo = quenda::EchoWithDigit(echo);
            ++expected;
        } else {
            echo = quenda::EchoWithBackspace(echo);
            if (expected > 0) --expected;
        }
        if (echo.size() != expected) std::abort();
        if (echo.find_first_not_of('.') != std::string::npos) std::abort();
    }
    return 0;
}
