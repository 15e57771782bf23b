#include "QuendaRules.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace quenda {

void DefaultIfOutOfRange(uint32_t& value, uint32_t def, uint32_t max) {
    if (value == 0 || value > max) value = def;
}

void ResetParams(DlgParams& params) {
    std::memset(&params, 0, sizeof params);
    params.Size = static_cast<int32_t>(sizeof params);
}

void ClearCutPointers(DlgParams& params, size_t taken) {
    const auto* base = reinterpret_cast<const unsigned char*>(&params);
    auto clearIfCut = [&](const char*& field) {
        const auto offset = static_cast<size_t>(reinterpret_cast<const unsigned char*>(&field) - base);
        if (taken > offset && taken < offset + sizeof field) field = nullptr;
    };
    for (const char*& text : params.Texts) clearIfCut(text);
    clearIfCut(params.WinStation);
    clearIfCut(params.Desktop);
}

ParamsResult TakeDriverParams(const DlgParams* driver, DlgParams& out) {
    ResetParams(out);
    if (driver) {
        int32_t size = 0;
        std::memcpy(&size, driver, sizeof size);
        if (size < 0) return ParamsResult::NegativeSize;
        const auto taken = std::min<size_t>(static_cast<size_t>(size), sizeof out);
        std::memcpy(&out, driver, taken);
        ClearCutPointers(out, taken);
    }
    DefaultIfOutOfRange(out.PromptTop, kDefaultPromptTop, kMaxTop);
    DefaultIfOutOfRange(out.EchoTop, kDefaultEchoTop, kMaxTop);
    DefaultIfOutOfRange(out.ResultTop, kDefaultResultTop, kMaxTop);
    if (out.ExtraWidth > std::numeric_limits<uint32_t>::max() - kMinMiddleWidth) {
        ResetParams(out);
        return ParamsResult::WidthOverflow;
    }
    out.ExtraWidth += kMinMiddleWidth;
    DefaultIfOutOfRange(out.ExtraWidth, kMaxMiddleWidth, kMaxMiddleWidth);
    return ParamsResult::Ok;
}

std::string StripMarkup(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    bool inMarkup = false;
    for (const char c : text) {
        if (c == '<') {
            inMarkup = true;
        } else if (inMarkup) {
            if (c == '>') inMarkup = false;
        } else {
            result.push_back(c);
        }
    }
    return result;
}

std::string EchoWithDigit(std::string_view echo) {
    std::string next(echo);
    next.push_back('.');
    return next;
}

std::string EchoWithBackspace(std::string_view echo) {
    return std::string(echo.substr(0, echo.empty() ? 0 : echo.size() - 1));
}

int32_t MulDivRounded(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return -1;
    int64_t product = static_cast<int64_t>(a) * b;
    int64_t divisor = c;
    if (divisor < 0) {
        divisor = -divisor;
        product = -product;
    }
    const int64_t half = divisor / 2;
    const int64_t result = product >= 0 ? (product + half) / divisor : (product - half) / divisor;
    if (result > std::numeric_limits<int32_t>::max() || result < std::numeric_limits<int32_t>::min())
        return -1;
    return static_cast<int32_t>(result);
}

int32_t DpiAdjustedHeight(int32_t height, int32_t dpi) {
    // Heights a font picker offers at 96 DPI, for the small sizes a scaled screen reports.
    static constexpr int32_t kDpiHeightTable[19] = {1, 2,  3,  3,  4,  5,  6,  7,  7, 8,
                                                    9, 10, 11, 11, 12, 13, 14, 15, 15};
    if (dpi == 96 || height == 0) return height;
    if (height >= -19 && height <= -1) return -kDpiHeightTable[-height - 1];
    const int32_t scaled = MulDivRounded(height, 96, dpi);
    // The one scaled height without a positive counterpart stays the largest height there is.
    return scaled == std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::max() : -scaled;
}

bool DeadlinePassed(uint32_t start, uint32_t now, uint32_t duration) {
    return static_cast<uint32_t>(now - start) > duration;
}

uint32_t MillisecondsLeft(uint32_t start, uint32_t now, uint32_t duration) {
    const uint32_t elapsed = now - start;
    return elapsed > duration ? 0 : duration - elapsed + 1;
}

int32_t CenterOffset(int32_t space, int32_t extent) {
    return static_cast<int32_t>((static_cast<int64_t>(space) - extent + 1) / 2);
}

int32_t FocusedTileCount(int32_t left, int32_t right) {
    const int64_t n = (static_cast<int64_t>(right) - 8 - (static_cast<int64_t>(left) + 8)) / 2;
    return n < 0 ? 0 : static_cast<int32_t>(n + 1);
}

}  // namespace quenda
