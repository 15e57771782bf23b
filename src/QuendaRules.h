// Platform-independent rules of the prompt: parameter copy and ranges, label markup, echo edits,
// font height, tick arithmetic and button geometry. No Windows header here, so this logic also
// builds and runs natively.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quenda.h"

namespace quenda {

inline constexpr uint32_t kMinMiddleWidth = 135;
inline constexpr uint32_t kMaxMiddleWidth = 600;
inline constexpr uint32_t kMaxTop = 150;
inline constexpr uint32_t kDefaultPromptTop = 25;
inline constexpr uint32_t kDefaultEchoTop = 50;
inline constexpr uint32_t kDefaultResultTop = 100;

// V becomes Def when it is 0 or above Max (unsigned); a value equal to Max stays.
void DefaultIfOutOfRange(uint32_t& value, uint32_t def, uint32_t max);

// All bytes zero, then Size = sizeof(DlgParams).
void ResetParams(DlgParams& params);

enum class ParamsResult { Ok, NegativeSize, WidthOverflow };

// A pointer field that the first `taken` bytes cover only in part is null: half a pointer points
// nowhere the driver meant. Number fields keep their partial bytes.
void ClearCutPointers(DlgParams& params, size_t taken);

// Resets `out`, copies min(Size, sizeof) leading bytes of `driver` (null copies nothing), clears
// the pointers the copy cut and applies the range rules. On failure `out` is left reset.
[[nodiscard]] ParamsResult TakeDriverParams(const DlgParams* driver, DlgParams& out);

// Removes text enclosed in angle brackets; nesting is not counted, an unclosed "<" drops the rest.
std::string StripMarkup(std::string_view text);

// The echo label is the only record of the marks.
std::string EchoWithDigit(std::string_view echo);
std::string EchoWithBackspace(std::string_view echo);

// Windows' MulDiv: a * b / c rounded half away from zero; -1 when c is 0 or the result overflows.
int32_t MulDivRounded(int32_t a, int32_t b, int32_t c);

// Height of the control font at `dpi` for a stock font of height `height` (LOGFONT lfHeight).
int32_t DpiAdjustedHeight(int32_t height, int32_t dpi);

// True once `now` lies more than `duration` ms after `start`, across the 49.7-day wrap.
bool DeadlinePassed(uint32_t start, uint32_t now, uint32_t duration);
// Milliseconds left until DeadlinePassed turns true (at least 1 while it is false).
uint32_t MillisecondsLeft(uint32_t start, uint32_t now, uint32_t duration);

// Offset that centres an extent in a space, the spare odd pixel going to the left (top).
int32_t CenterOffset(int32_t space, int32_t extent);

// Number of 2-pixel tiles laid over the focused button's middle (0 when none fit).
int32_t FocusedTileCount(int32_t left, int32_t right);

}  // namespace quenda
