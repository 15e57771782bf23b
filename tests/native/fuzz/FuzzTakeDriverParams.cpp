// TakeDriverParams on arbitrary bytes laid into a record-sized buffer (the Size field included):
// accepted records come out in range, refusals happen exactly for a negative Size or an ExtraWidth
// whose sum with the band's minimum overflows, nothing beyond min(Size, record) is read, and no
// pointer comes out cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>

#include "QuendaRules.h"

namespace {

bool AllZeroAfterSize(const DlgParams& p) {
    DlgParams zero{};
    zero.Size = p.Size;
    return std::memcmp(&zero, &p, sizeof p) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes a driver handed over, in a heap block of that size: reading past
    // min(Size, sizeof) leading bytes trips AddressSanitizer.
    const size_t given = std::min(size, sizeof(DlgParams));
    int32_t declared = 0;
    std::memcpy(&declared, data, std::min(size, sizeof declared));
    if (declared >= 0 && static_cast<size_t>(declared) > given) declared = static_cast<int32_t>(given);
    auto block = std::make_unique<unsigned char[]>(std::max<size_t>(given, sizeof(int32_t)));
    std::memset(block.get(), 0, std::max<size_t>(given, sizeof(int32_t)));
    std::memcpy(block.get(), data, given);
    std::memcpy(block.get(), &declared, sizeof declared);
    const auto* driver = reinterpret_cast<const DlgParams*>(block.get());

    DlgParams out;
    std::memset(&out, 0xA5, sizeof out);
    const quenda::ParamsResult result = quenda::TakeDriverParams(driver, out);

    DlgParams expected{};
    const size_t taken = declared < 0 ? 0 : std::min<size_t>(static_cast<size_t>(declared), sizeof expected);
    std::memcpy(&expected, block.get(), taken);
    // A pointer is the driver's whole value or null, never the few bytes of one that Size covers.
    auto wholeOrNull = [taken](const char*& field, size_t offset) {
        if (taken < offset + sizeof field) field = nullptr;
    };
    for (size_t k = 0; k < std::size(expected.Texts); ++k)
        wholeOrNull(expected.Texts[k], offsetof(DlgParams, Texts) + k * sizeof(const char*));
    wholeOrNull(expected.WinStation, offsetof(DlgParams, WinStation));
    wholeOrNull(expected.Desktop, offsetof(DlgParams, Desktop));
    const bool overflow =
        expected.ExtraWidth > std::numeric_limits<uint32_t>::max() - quenda::kMinMiddleWidth;

    if (declared < 0) {
        if (result != quenda::ParamsResult::NegativeSize) std::abort();
    } else if (overflow) {
        if (result != quenda::ParamsResult::WidthOverflow) std::abort();
    } else if (result != quenda::ParamsResult::Ok) {
        std::abort();
    }
    if (result != quenda::ParamsResult::Ok) {
        // Left reset: zero bytes and the record's own Size.
        if (out.Size != static_cast<int32_t>(sizeof(DlgParams)) || !AllZeroAfterSize(out)) std::abort();
        return 0;
    }
    for (uint32_t top : {out.PromptTop, out.EchoTop, out.ResultTop})
        if (top < 1 || top > quenda::kMaxTop) std::abort();
    if (out.ExtraWidth < quenda::kMinMiddleWidth || out.ExtraWidth > quenda::kMaxMiddleWidth) std::abort();
    // In-range values are kept as given.
    if (expected.PromptTop >= 1 && expected.PromptTop <= quenda::kMaxTop &&
        out.PromptTop != expected.PromptTop)
        std::abort();
    if (expected.ExtraWidth + quenda::kMinMiddleWidth <= quenda::kMaxMiddleWidth &&
        out.ExtraWidth != expected.ExtraWidth + quenda::kMinMiddleWidth)
        std::abort();
    // Fields the range rules leave alone are copied byte for byte.
    if (out.Flags != expected.Flags || out.Reserved != expected.Reserved ||
        std::memcmp(out.Texts, expected.Texts, sizeof out.Texts) != 0 ||
        out.WinStation != expected.WinStation || out.Desktop != expected.Desktop)
        std::abort();
    // The null record takes the defaults.
    DlgParams defaults;
    if (quenda::TakeDriverParams(nullptr, defaults) != quenda::ParamsResult::Ok || defaults.PromptTop != 25 ||
        defaults.EchoTop != 50 || defaults.ResultTop != 100 || defaults.ExtraWidth != 135)
        std::abort();
    return 0;
}
