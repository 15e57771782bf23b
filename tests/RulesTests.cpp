#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>

#include "QuendaRules.h"

using namespace quenda;

namespace {

DlgParams Record() {
    DlgParams p;
    ResetParams(p);
    return p;
}

}  // namespace

TEST(DefaultIfOutOfRange, ZeroAndValuesAboveTheMaximumTakeTheDefault) {
    const struct {
        uint32_t in, def, max, out;
    } cases[] = {{0, 25, 150, 25},    {1, 25, 150, 1},     {150, 25, 150, 150},
                 {151, 25, 150, 25},  {0xFFFFFFFF, 25, 150, 25}, {0, 600, 600, 600},
                 {600, 600, 600, 600}, {601, 600, 600, 600}, {599, 600, 600, 599}};
    for (const auto& c : cases) {
        uint32_t v = c.in;
        DefaultIfOutOfRange(v, c.def, c.max);
        EXPECT_EQ(v, c.out) << "value " << c.in << " default " << c.def << " max " << c.max;
    }
}

TEST(TakeDriverParams, NullRecordGivesTheDefaultGeometry) {
    DlgParams out;
    ASSERT_EQ(TakeDriverParams(nullptr, out), ParamsResult::Ok);
    EXPECT_EQ(out.Size, static_cast<int32_t>(sizeof(DlgParams)));
    EXPECT_EQ(out.ExtraWidth, 135u);
    EXPECT_EQ(out.PromptTop, 25u);
    EXPECT_EQ(out.EchoTop, 50u);
    EXPECT_EQ(out.ResultTop, 100u);
    EXPECT_EQ(out.Flags, 0u);
    for (const char* text : out.Texts) EXPECT_EQ(text, nullptr);
}

TEST(TakeDriverParams, SizeDecidesHowManyBytesAreTaken) {
    DlgParams in = Record();
    in.Flags = 1;
    in.ExtraWidth = 0x00010064;  // low two bytes 100, high two bytes 1
    in.PromptTop = 140;
    in.Desktop = "Other";

    in.Size = 0;
    DlgParams out;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.Flags, 0u) << "Size 0 copies nothing";
    EXPECT_EQ(out.ExtraWidth, 135u);

    // A record cut inside ExtraWidth takes its low bytes only; later fields keep their defaults.
    in.Size = static_cast<int32_t>(offsetof(DlgParams, ExtraWidth) + 2);
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.Flags, 1u);
    EXPECT_EQ(out.ExtraWidth, 235u);
    EXPECT_EQ(out.PromptTop, 25u);
    EXPECT_EQ(out.Desktop, nullptr);

    in.Size = 100000;  // larger than the record: the whole record
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.PromptTop, 140u);
    EXPECT_STREQ(out.Desktop, "Other");
    EXPECT_EQ(out.ExtraWidth, 600u) << "0x10064 + 135 is above the 600 maximum";
}

// Every Size, with every pointer set: a pointer is either the driver's whole or null, never the
// few bytes of one that a short record happens to cover.
TEST(TakeDriverParams, PointersCutBySizeCountAsNull) {
    static const char kMark[] = "mark";
    DlgParams in = Record();
    for (const char*& text : in.Texts) text = kMark;
    in.WinStation = kMark;
    in.Desktop = kMark;
    in.ExtraWidth = 0x00010064;
    for (int32_t size = 0; size <= static_cast<int32_t>(sizeof(DlgParams)); ++size) {
        in.Size = size;
        DlgParams out;
        ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok) << size;
        auto expectWholeOrNull = [&](const char* field, size_t offset, const char* name) {
            const bool whole = static_cast<size_t>(size) >= offset + sizeof(const char*);
            EXPECT_EQ(field, whole ? kMark : nullptr) << name << " at Size " << size;
        };
        for (size_t k = 0; k < std::size(out.Texts); ++k)
            expectWholeOrNull(out.Texts[k], offsetof(DlgParams, Texts) + k * sizeof(const char*), "Texts");
        expectWholeOrNull(out.WinStation, offsetof(DlgParams, WinStation), "WinStation");
        expectWholeOrNull(out.Desktop, offsetof(DlgParams, Desktop), "Desktop");
    }

    // The sizes a driver meets, typed per layout: a 32-bit driver's record handed to the 64-bit
    // build ends inside Texts[8]; numbers cut short keep their low bytes.
    DlgParams out;
#if UINTPTR_MAX == 0xFFFFFFFFu
    in.Size = 10;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.Texts[0], nullptr);
    in.Size = 50;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.Texts[9], kMark);
    EXPECT_EQ(out.ExtraWidth, 100u + 135u) << "two bytes of ExtraWidth";
#else
    in.Size = 76;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.Texts[7], kMark);
    EXPECT_EQ(out.Texts[8], nullptr);
    EXPECT_EQ(out.Texts[9], nullptr);
    in.Size = 90;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.Texts[9], kMark);
    EXPECT_EQ(out.ExtraWidth, 100u + 135u) << "two bytes of ExtraWidth";
#endif
}

TEST(TakeDriverParams, TopsAndWidthFollowTheirRanges) {
    DlgParams in = Record();
    DlgParams out;
    in.PromptTop = 150;
    in.EchoTop = 151;
    in.ResultTop = 0xFFFFFFFF;  // negative as signed: a large unsigned value
    in.ExtraWidth = 465;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.PromptTop, 150u);
    EXPECT_EQ(out.EchoTop, 50u);
    EXPECT_EQ(out.ResultTop, 100u);
    EXPECT_EQ(out.ExtraWidth, 600u);
    in.ExtraWidth = 466;
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.ExtraWidth, 600u);
    in.ExtraWidth = 0xFFFFFFFFu - 135;  // the largest value whose sum with 135 still fits
    ASSERT_EQ(TakeDriverParams(&in, out), ParamsResult::Ok);
    EXPECT_EQ(out.ExtraWidth, 600u);
}

TEST(TakeDriverParams, OutOfRangeRecordsAreRefusedAndLeaveTheCopyReset) {
    DlgParams in = Record();
    in.PromptTop = 99;
    DlgParams out;
    for (const uint32_t width : {4294967161u, 0xFFFFFFFFu}) {
        in.ExtraWidth = width;
        EXPECT_EQ(TakeDriverParams(&in, out), ParamsResult::WidthOverflow) << width;
        EXPECT_EQ(out.PromptTop, 0u) << "refused record leaves the copy reset";
        EXPECT_EQ(out.Size, static_cast<int32_t>(sizeof(DlgParams)));
    }
    in.ExtraWidth = 0;
    for (const int32_t size : {-1, std::numeric_limits<int32_t>::min()}) {
        in.Size = size;
        EXPECT_EQ(TakeDriverParams(&in, out), ParamsResult::NegativeSize) << size;
        EXPECT_EQ(out.PromptTop, 0u);
    }
}

TEST(StripMarkup, DropsBracketedTextWithoutCountingNesting) {
    EXPECT_EQ(StripMarkup("Please <b>enter</b> PIN."), "Please enter PIN.");
    EXPECT_EQ(StripMarkup("a > b"), "a > b");
    EXPECT_EQ(StripMarkup("keep <unclosed rest"), "keep ");
    EXPECT_EQ(StripMarkup("x<<a>y"), "xy");
    EXPECT_EQ(StripMarkup("x<a<b>>y"), "x>y");
    EXPECT_EQ(StripMarkup(""), "");
    EXPECT_EQ(StripMarkup(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(EchoEdits, DigitsAppendAndBackspaceDropsTheLastMark) {
    std::string echo;
    for (int i = 0; i < 3; ++i) echo = EchoWithDigit(echo);
    EXPECT_EQ(echo, "...");
    echo = EchoWithBackspace(echo);
    EXPECT_EQ(echo, "..");
    EXPECT_EQ(EchoWithBackspace(""), "");
}

TEST(DpiAdjustedHeight, TableForSmallHeightsScaledOtherwise) {
    EXPECT_EQ(DpiAdjustedHeight(-13, 96), -13) << "96 DPI keeps the stock height";
    EXPECT_EQ(DpiAdjustedHeight(-13, 120), -11);
    EXPECT_EQ(DpiAdjustedHeight(-11, 144), -9);
    EXPECT_EQ(DpiAdjustedHeight(-1, 192), -1);
    EXPECT_EQ(DpiAdjustedHeight(-19, 72), -15) << "the table applies below 96 DPI too";
    EXPECT_EQ(DpiAdjustedHeight(-20, 192), 10) << "scaled heights change sign";
    EXPECT_EQ(DpiAdjustedHeight(16, 120), -13);
    EXPECT_EQ(DpiAdjustedHeight(0, 120), 0);
    EXPECT_EQ(DpiAdjustedHeight(-1073741824, 48), INT32_MAX) << "scales to INT32_MIN, which has no negation";
}

// The whole table away from 96 DPI, typed from the font picker's sizes: one wrong entry shows
// only on a scaled screen, which the driver-level tests never have.
TEST(DpiAdjustedHeight, EveryTableEntryAtAScaledScreen) {
    const int32_t expected[19] = {1, 2, 3, 3, 4, 5, 6, 7, 7, 8, 9, 10, 11, 11, 12, 13, 14, 15, 15};
    for (int32_t n = 1; n <= 19; ++n) {
        EXPECT_EQ(DpiAdjustedHeight(-n, 144), -expected[n - 1]) << "height -" << n << " at 144 DPI";
        EXPECT_EQ(DpiAdjustedHeight(-n, 120), -expected[n - 1]) << "height -" << n << " at 120 DPI";
    }
}

TEST(MulDivRounded, RoundsHalfAwayFromZeroLikeTheSystem) {
    EXPECT_EQ(MulDivRounded(5, 1, 2), 3);
    EXPECT_EQ(MulDivRounded(-5, 1, 2), -3);
    EXPECT_EQ(MulDivRounded(7, 96, 120), 6);
    EXPECT_EQ(MulDivRounded(1, 1, 0), -1);
    EXPECT_EQ(MulDivRounded(std::numeric_limits<int32_t>::max(), 2, 1), -1);
}

TEST(TickArithmetic, DeadlineHoldsAcrossTheCounterWrap) {
    EXPECT_FALSE(DeadlinePassed(1000, 3000, 2000));
    EXPECT_TRUE(DeadlinePassed(1000, 3001, 2000));
    const uint32_t nearWrap = 0xFFFFFF00u;
    EXPECT_FALSE(DeadlinePassed(nearWrap, nearWrap + 1000, 2000)) << "wrapped, only 1 s passed";
    EXPECT_TRUE(DeadlinePassed(nearWrap, nearWrap + 2001, 2000));
    EXPECT_TRUE(DeadlinePassed(0, 1, 0));
    EXPECT_EQ(MillisecondsLeft(nearWrap, nearWrap + 1500, 2000), 501u);
    EXPECT_EQ(MillisecondsLeft(10, 5000, 2000), 0u);
}

TEST(ButtonGeometry, CaptionCentringAndFocusedTiles) {
    EXPECT_EQ(CenterOffset(98, 37), 31);
    EXPECT_EQ(CenterOffset(25, 13), 6);
    EXPECT_EQ(CenterOffset(98, 120), -10);
    EXPECT_EQ(FocusedTileCount(0, 98), 42) << "82-pixel middle";
    EXPECT_EQ(FocusedTileCount(0, 97), 41) << "81-pixel middle";
    EXPECT_EQ(FocusedTileCount(0, 10), 0);
}
