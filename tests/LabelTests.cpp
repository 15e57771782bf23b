#include <windows.h>

#include <gtest/gtest.h>

#include "QuendaDlgControls.h"
#include "WinHandles.h"

using namespace quenda;

namespace {

struct ParentWindow {
    ParentWindow() {
        wnd = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
        UpdateWindow(wnd);
    }
    ~ParentWindow() { DestroyWindow(wnd); }
    // The area waiting for a repaint, after which it counts as painted.
    RECT TakeUpdateRect() const {
        RECT r{};
        GetUpdateRect(wnd, &r, FALSE);
        ValidateRect(wnd, nullptr);
        return r;
    }
    HWND wnd;
};

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

TEST(TApiLabelEx, StripsMarkupFromTheFirstTextAndLaterOnes) {
    ParentWindow parent;
    auto label = TApiLabel::Create<TApiLabelEx>(parent.wnd, 165, 25, 121, 90, "Please <b>enter</b> PIN.");
    EXPECT_EQ(label->Text(), "Please enter PIN.");
    label->SetText("a<x>b<unclosed");
    EXPECT_EQ(label->Text(), "ab");
    auto plain = TApiLabel::Create<TApiLabel>(parent.wnd, 0, 0, 10, 10, "<b>kept</b>");
    EXPECT_EQ(plain->Text(), "<b>kept</b>") << "the base label stores tags unchanged";
}

TEST(TApiLabel, ConstructionKeepsTheArgumentOrderApartFromTheFields) {
    ParentWindow parent;
    auto label = TApiLabel::Create<TApiLabelEx>(parent.wnd, 165, 25, 121, 90, "");
    EXPECT_EQ(label->Left, 165);
    EXPECT_EQ(label->Top, 25);
    EXPECT_EQ(label->Width, 121);
    EXPECT_EQ(label->Height, 90);
    EXPECT_EQ(label->Color(), RGB(0, 0, 0));
    EXPECT_TRUE(label->Transparent());
    EXPECT_FALSE(label->Bold());
    EXPECT_FALSE(label->WordWrap());
    EXPECT_EQ(label->FontSize(), 8);
    EXPECT_EQ(label->FontName(), "Arial");
}

TEST(TApiLabel, EverySetterInvalidatesTheBoundsEvenWithoutAChange) {
    ParentWindow parent;
    auto label = TApiLabel::Create<TApiLabelEx>(parent.wnd, 20, 30, 100, 40, "x");
    const RECT bounds{20, 30, 120, 70};
    EXPECT_TRUE(SameRect(parent.TakeUpdateRect(), bounds)) << "creation invalidates the bounds";
    const auto expectInvalidated = [&](const char* what) {
        EXPECT_TRUE(SameRect(parent.TakeUpdateRect(), bounds)) << what;
    };
    label->SetColor(RGB(1, 2, 3));
    expectInvalidated("SetColor");
    label->SetColor(RGB(1, 2, 3));
    expectInvalidated("SetColor with the same value");
    label->SetFontName("Tahoma");
    expectInvalidated("SetFontName");
    label->SetFontSize(-11);
    expectInvalidated("SetFontSize");
    label->SetBold(true);
    expectInvalidated("SetBold");
    label->SetWordWrap(true);
    expectInvalidated("SetWordWrap");
    label->SetTransparent(true);
    expectInvalidated("SetTransparent");
    label->SetText("y");
    expectInvalidated("SetText");
}

TEST(CreateControlFont, TakesTheStockFontAndSetsOnlyWeightAndStyle) {
    LOGFONTA stock{};
    ASSERT_GT(GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock), 0);
    const WindowDc screen(nullptr);
    ASSERT_EQ(GetDeviceCaps(screen.get(), LOGPIXELSY), 96) << "the test display runs at 96 DPI";
    const UniqueFont font(CreateControlFont(true, true, false));
    LOGFONTA made{};
    ASSERT_GT(GetObjectA(font.get(), sizeof made, &made), 0);
    EXPECT_EQ(made.lfHeight, stock.lfHeight);
    EXPECT_EQ(made.lfWeight, FW_BOLD);
    EXPECT_EQ(made.lfItalic, 1);
    EXPECT_EQ(made.lfUnderline, 0);
    EXPECT_STREQ(made.lfFaceName, stock.lfFaceName);
    const UniqueFont normal(CreateControlFont(false, false, true));
    ASSERT_GT(GetObjectA(normal.get(), sizeof made, &made), 0);
    EXPECT_EQ(made.lfWeight, FW_NORMAL);
    EXPECT_EQ(made.lfUnderline, 1);
}

// The prompt's thread runs DPI-unaware, where the screen reads 96 at every scaling: the rule
// takes the dpi the stock font was read with before that, whatever the screen says now.
TEST(CreateControlFont, PromptStockFontDecidesTheHeightNotTheScreen) {
    const ScopeExit forget([] { UseStockFontForPrompt(std::nullopt); });
    StockFont stock = ReadStockFont();
    ASSERT_EQ(stock.Dpi, 96) << "the test display runs at 96 DPI";
    struct Case {
        int32_t stockHeight;
        int32_t dpi;
        int32_t expected;
    };
    // 100 %, 125 %, 150 %, 175 % through the table; 200 % beyond it (MulDiv, sign turned).
    for (const Case c : {Case{-11, 96, -11}, Case{-13, 96, -13}, Case{-13, 120, -11}, Case{-16, 144, -13},
                         Case{-19, 168, -15}, Case{-22, 192, 11}}) {
        stock.Font.lfHeight = c.stockHeight;
        stock.Dpi = c.dpi;
        UseStockFontForPrompt(stock);
        const UniqueFont font(CreateControlFont(true, false, false));
        LOGFONTA made{};
        ASSERT_GT(GetObjectA(font.get(), sizeof made, &made), 0);
        EXPECT_EQ(made.lfHeight, c.expected) << "stock " << c.stockHeight << " at " << c.dpi << " dpi";
        EXPECT_EQ(made.lfWeight, FW_BOLD);
    }
    UseStockFontForPrompt(std::nullopt);
    const UniqueFont afresh(CreateControlFont(false, false, false));
    LOGFONTA made{};
    ASSERT_GT(GetObjectA(afresh.get(), sizeof made, &made), 0);
    EXPECT_EQ(made.lfHeight, ReadStockFont().Font.lfHeight) << "outside a prompt the font reads the screen again";
}

TEST(TApiLabel, PaintDrawsTheTextInItsColourAndReleasesItsFont) {
    const UniqueMemDc dc(CreateCompatibleDC(nullptr));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 120;
    info.bmiHeader.biHeight = -40;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    const UniqueBitmap bitmap(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    ASSERT_TRUE(bitmap);
    const SelectedObject selected(dc.get(), bitmap.get());
    const HGDIOBJ fontBefore = GetCurrentObject(dc.get(), OBJ_FONT);
    auto label = TApiLabel::Create<TApiLabelEx>(nullptr, 0, 0, 120, 40, "&Wide");
    label->SetColor(RGB(0, 0, 255));
    label->Paint(dc.get());
    GdiFlush();
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), fontBefore);
    int blue = 0;
    const auto* pixels = static_cast<const DWORD*>(bits);
    for (int i = 0; i < 120 * 40; ++i)
        if ((pixels[i] & 0xFFFFFF) == 0x0000FF) ++blue;  // DIB order is 0xRRGGBB
    EXPECT_GT(blue, 20) << "the label text is drawn in its colour";
}
