// The bitmap button's drawing, its hover look, StopTimer and the emulated mouse-leave tracking,
// run in this thread against the strip linked into the test program from the library's resources.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "QuendaDlg.h"
#include "QuendaDlgControls.h"
#include "QuendaUtil.h"
#include "WinHandles.h"
#include "WindowsVersions.h"

using namespace quenda;

namespace {

constexpr int kButtonWidth = 98;
constexpr int kButtonHeight = 25;
constexpr int kEndWidth = 8;
// First column of each image in the strip.
constexpr int kNormalImage = 0;
constexpr int kDefaultImage = 16;
constexpr int kFocusedImage = 32;
constexpr int kPressedImage = 48;
constexpr int kHoverImage = 64;
constexpr int kDisabledImage = 80;
constexpr int kFocusedTile = 96;
// Never part of the strip or of a caption: shows where nothing was drawn.
constexpr COLORREF kUntouched = RGB(1, 2, 3);
constexpr COLORREF kCaptionInk = RGB(0, 0, 255);
constexpr DWORD kLeaveTimeoutMs = 1500;

using UniqueWindow = UniqueHandle<HWND, DestroyWindow>;

// Pixels in COLORREF order, row 0 at the top.
class Pixels {
public:
    Pixels(int width, int height) : width_(width), height_(height), data_(size_t(width) * height) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    COLORREF At(int x, int y) const { return data_[size_t(y) * width_ + x]; }
    void Set(int x, int y, COLORREF c) { data_[size_t(y) * width_ + x] = c; }

private:
    int width_;
    int height_;
    std::vector<COLORREF> data_;
};

BITMAPINFO TopDown32(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// 32-bit DIB pixels are 0x00RRGGBB.
COLORREF FromDib(DWORD value) { return RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF); }

std::string Text(COLORREF c) {
    char text[32];
    std::snprintf(text, sizeof text, "RGB(%u,%u,%u)", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

std::optional<Pixels> LoadStrip() {
    const UniqueBitmap strip(LoadBitmapA(GetModuleHandleA(nullptr), "BITMAP_BUTTON"));
    if (!strip) return std::nullopt;
    BITMAP info{};
    if (GetObjectA(strip.get(), sizeof info, &info) != sizeof info) return std::nullopt;
    if (info.bmWidth != kButtonWidth || info.bmHeight != kButtonHeight) return std::nullopt;
    const WindowDc screen(nullptr);
    BITMAPINFO request = TopDown32(info.bmWidth, info.bmHeight);
    std::vector<DWORD> bits(size_t(info.bmWidth) * info.bmHeight);
    if (GetDIBits(screen.get(), strip.get(), 0, info.bmHeight, bits.data(), &request, DIB_RGB_COLORS) != info.bmHeight)
        return std::nullopt;
    Pixels pixels(info.bmWidth, info.bmHeight);
    for (int y = 0; y < info.bmHeight; ++y)
        for (int x = 0; x < info.bmWidth; ++x) pixels.Set(x, y, FromDib(bits[size_t(y) * info.bmWidth + x]));
    return pixels;
}

// A 32-bit DIB section in a memory DC, filled with kUntouched: the surface a draw request brings.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height), dc_(CreateCompatibleDC(nullptr)) {
        BITMAPINFO info = TopDown32(width, height);
        bitmap_.reset(CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits_, nullptr, 0));
        if (!bitmap_ || !bits_) return;
        selected_.emplace(dc_.get(), bitmap_.get());
        const UniqueBrush brush(CreateSolidBrush(kUntouched));
        const RECT all{0, 0, width, height};
        FillRect(dc_.get(), &all, brush.get());
    }
    bool Ok() const { return bits_ != nullptr && selected_.has_value(); }
    HDC Dc() const { return dc_.get(); }
    Pixels Read() const {
        GdiFlush();
        Pixels pixels(width_, height_);  // all black when the canvas could not be made
        if (!Ok()) return pixels;
        const auto* data = static_cast<const DWORD*>(bits_);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) pixels.Set(x, y, FromDib(data[size_t(y) * width_ + x]));
        return pixels;
    }

private:
    int width_;
    int height_;
    UniqueMemDc dc_;
    UniqueBitmap bitmap_;
    void* bits_ = nullptr;
    std::optional<SelectedObject> selected_;  // goes first: the bitmap is deselected before deletion
};

LRESULT CALLBACK HostProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

int gMouseLeaves = 0;
// The foreground lock timeout as each activation of a host window found it.
std::vector<DWORD> gLockTimeoutAtActivation;

const char* HostClass() {
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = HostProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        wc.lpszClassName = "QuendaButtonTestHost";
        return RegisterClassA(&wc);
    }();
    return atom ? "QuendaButtonTestHost" : nullptr;
}

// Counts WM_MOUSELEAVE; the owner-draw requests of a child button are left undrawn on purpose.
LRESULT CALLBACK HostProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_MOUSELEAVE) ++gMouseLeaves;
    if (msg == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE) {
        DWORD value = 0xFFFFFFFFu;
        SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &value, 0);
        gLockTimeoutAtActivation.push_back(value);
    }
    if (msg == WM_DRAWITEM) return TRUE;
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

UniqueWindow MakeHost(int x, int y, int width, int height, DWORD exStyle = WS_EX_TOPMOST) {
    UniqueWindow wnd(CreateWindowExA(exStyle, HostClass(), "", WS_POPUP | WS_VISIBLE, x, y, width, height, nullptr,
                                     nullptr, GetModuleHandleA(nullptr), nullptr));
    if (wnd) UpdateWindow(wnd.get());
    return wnd;
}

UniqueWindow MakeButton(HWND parent, int x, int y) {
    UniqueWindow button(CreateWindowExA(0, "button", "", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, x, y, kButtonWidth,
                                        kButtonHeight, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(5)),
                                        GetModuleHandleA(nullptr), nullptr));
    if (button) UpdateWindow(button.get());
    return button;
}

void PumpPending() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Dispatches this thread's messages until `done` holds or the time is up.
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        if (done()) return true;
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(timeoutMs - spent, 20), QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

// Under Wine a pointer event of an earlier move that is handled late can put the pointer back;
// the move is repeated until the position holds.
bool MoveCursor(POINT p) {
    const auto there = [p] {
        POINT now{};
        return GetCursorPos(&now) && now.x == p.x && now.y == p.y;
    };
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!SetCursorPos(p.x, p.y)) return false;
        PumpFor(20);
        if (there()) return true;
    }
    return false;
}

// The strip image at column `image`, drawn in three pieces over a rectangle `width` wide.
COLORREF ThreePieces(const Pixels& strip, int image, int x, int y, int width) {
    if (x < kEndWidth) return strip.At(image + x, y);
    if (x >= width - kEndWidth) return strip.At(image + kEndWidth + x - (width - kEndWidth), y);
    return strip.At(image + kEndWidth, y);
}

// The focused image: ends from columns 32 and 40, 2-pixel tiles from the left end on, the last
// one laid over the right end.
COLORREF Focused(const Pixels& strip, int x, int y, int width) {
    const int tiles = (width - 2 * kEndWidth) / 2 + 1;
    const int tilesEnd = kEndWidth + 2 * tiles;
    if (x < kEndWidth) return strip.At(kFocusedImage + x, y);
    if (x < tilesEnd) return strip.At(kFocusedTile + (x - kEndWidth) % 2, y);
    return strip.At(kFocusedImage + kEndWidth + x - (width - kEndWidth), y);
}

template <typename Expect>
int CountMismatches(const Pixels& got, const RECT& item, int rowBegin, int rowEnd, Expect expect, std::string& first) {
    int count = 0;
    for (int y = rowBegin; y < rowEnd; ++y)
        for (int x = 0; x < item.right - item.left; ++x) {
            const COLORREF want = expect(x, y);
            const COLORREF have = got.At(item.left + x, item.top + y);
            if (have != want && count++ == 0)
                first = "button pixel (" + std::to_string(x) + "," + std::to_string(y) + ") is " + Text(have) +
                        ", want " + Text(want);
        }
    return count;
}

int CountOutside(const Pixels& got, const RECT& item) {
    int count = 0;
    for (int y = 0; y < got.Height(); ++y)
        for (int x = 0; x < got.Width(); ++x) {
            const POINT p{x, y};
            if (!PtInRect(&item, p) && got.At(x, y) != kUntouched) ++count;
        }
    return count;
}

DRAWITEMSTRUCT DrawItem(HWND button, HDC dc, const RECT& item, UINT state) {
    DRAWITEMSTRUCT di{};
    di.CtlType = ODT_BUTTON;
    di.CtlID = 5;
    di.itemAction = ODA_DRAWENTIRE;
    di.itemState = state;
    di.hwndItem = button;
    di.hDC = dc;
    di.rcItem = item;
    return di;
}

// Where and of which colour a caption's fully inked pixels are.
struct Ink {
    std::vector<POINT> points;
    RECT box{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    bool Has(int x, int y) const {
        return std::any_of(points.begin(), points.end(), [&](const POINT& p) { return p.x == x && p.y == y; });
    }
};

Ink FindInk(const Pixels& got, const RECT& area, COLORREF colour) {
    Ink ink;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (got.At(x, y) == colour) {
                ink.points.push_back({x, y});
                ink.box.left = std::min<LONG>(ink.box.left, x);
                ink.box.top = std::min<LONG>(ink.box.top, y);
                ink.box.right = std::max<LONG>(ink.box.right, x + 1);
                ink.box.bottom = std::max<LONG>(ink.box.bottom, y + 1);
            }
    return ink;
}

bool Shifted(const Ink& moved, const Ink& base, int dx, int dy) {
    if (moved.points.size() != base.points.size()) return false;
    for (size_t i = 0; i < base.points.size(); ++i)
        if (moved.points[i].x != base.points[i].x + dx || moved.points[i].y != base.points[i].y + dy) return false;
    return true;
}

// The rectangle CenterTextRect gives for a caption in the control font, as the caption routine
// computes it.
RECT CaptionRect(const std::string& text, RECT rect) {
    const UniqueMemDc dc(CreateCompatibleDC(nullptr));
    const UniqueFont font(CreateControlFont(false, false, false));
    const SelectedObject selected(dc.get(), font.get());
    CenterTextRect(dc.get(), text, rect);
    return rect;
}

SIZE Measure(HDC dc, const std::string& text) {
    RECT r{0, 0, kButtonWidth, kButtonHeight};
    DrawTextA(dc, text.data(), static_cast<int>(text.size()), &r, DT_CALCRECT);
    return {r.right - r.left, r.bottom - r.top};
}

class ButtonDrawing : public ::testing::Test {
protected:
    void SetUp() override {
        std::optional<Pixels> strip = LoadStrip();
        ASSERT_TRUE(strip) << "BITMAP_BUTTON (98 x 25) is not linked into the test program";
        strip_.emplace(std::move(*strip));
        host_ = MakeHost(40, 40, 200, 80);
        ASSERT_TRUE(host_);
        button_ = MakeButton(host_.get(), 10, 10);
        ASSERT_TRUE(button_);
        info_.Handle = button_.get();
        info_.ClientRect = {0, 0, kButtonWidth, kButtonHeight};
        // As the prompt does: loaded once, lent to every drawing.
        stripBitmap_.reset(LoadBitmapA(GetModuleHandleA(nullptr), "BITMAP_BUTTON"));
        info_.Strip = stripBitmap_.get();
    }

    // Draws a request into a fresh canvas whose text colour is kCaptionInk.
    Pixels Draw(UINT state, int width = kButtonWidth) {
        Canvas canvas(width + 20, kButtonHeight + 10);
        EXPECT_TRUE(canvas.Ok());
        SetTextColor(canvas.Dc(), kCaptionInk);
        DrawBitmapButton(DrawItem(button_.get(), canvas.Dc(), Item(width), state), info_);
        return canvas.Read();
    }
    // At (7, 5), so that an origin taken as (0, 0) shows.
    static RECT Item(int width = kButtonWidth) { return {7, 5, 7 + width, 5 + kButtonHeight}; }

    const Pixels& Strip() const { return *strip_; }

    std::optional<Pixels> strip_;
    UniqueBitmap stripBitmap_;
    UniqueWindow host_;
    UniqueWindow button_;
    TButtonInfo info_;
};

TEST_F(ButtonDrawing, EachStateCopiesItsImageInThreePieces) {
    info_.Caption.clear();  // the images alone: every pixel of the button is the strip's
    struct Case {
        const char* name;
        UINT state;
        bool enabled;
        int image;
    };
    const Case cases[] = {
        {"normal", 0, true, kNormalImage},
        {"default", ODS_DEFAULT, true, kDefaultImage},
        {"pressed", ODS_SELECTED, true, kPressedImage},
        {"pressed wins over focus and default", ODS_SELECTED | ODS_FOCUS | ODS_DEFAULT, true, kPressedImage},
        {"focus wins over default", ODS_FOCUS | ODS_DEFAULT, true, kFocusedImage},
        {"disabled window, whatever the item state says", ODS_SELECTED | ODS_FOCUS, false, kDisabledImage},
        {"disabled window", 0, false, kDisabledImage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EnableWindow(button_.get(), c.enabled);
        const Pixels got = Draw(c.state);
        std::string first;
        const int wrong =
            c.image == kFocusedImage
                ? CountMismatches(
                      got, Item(), 0, kButtonHeight, [&](int x, int y) { return Focused(Strip(), x, y, kButtonWidth); },
                      first)
                : CountMismatches(
                      got, Item(), 0, kButtonHeight,
                      [&](int x, int y) { return ThreePieces(Strip(), c.image, x, y, kButtonWidth); }, first);
        EXPECT_EQ(wrong, 0) << first;
        EXPECT_EQ(CountOutside(got, Item()), 0) << "drawn outside the item rectangle";
    }
}

// Column 8 of the focused image (strip column 40) has the focus dot at row 4, column 9 (41) not:
// tiling shows as alternating dots, stretching would give a solid line.
TEST_F(ButtonDrawing, FocusedMiddleIsTiledUpToTheRightEnd) {
    info_.Caption.clear();
    ASSERT_NE(Strip().At(kFocusedTile, 4), Strip().At(kFocusedTile + 1, 4))
        << "the tile's two columns must differ on the dotted row for this test to see the tiles";
    ASSERT_NE(Strip().At(kFocusedImage + kEndWidth, 4), Strip().At(kFocusedTile + 1, 4))
        << "the right end's first column must differ from the tile's second one on the dotted row";
    for (const int width : {kButtonWidth, kButtonWidth - 1}) {
        SCOPED_TRACE("item rectangle " + std::to_string(width) + " wide");
        const Pixels got = Draw(ODS_FOCUS, width);
        std::string first;
        EXPECT_EQ(
            CountMismatches(
                got, Item(width), 0, kButtonHeight, [&](int x, int y) { return Focused(Strip(), x, y, width); }, first),
            0)
            << first;
        const RECT item = Item(width);
        // 98 wide: 42 tiles end on column 91; 97 wide: 41 tiles end on column 89, one column into
        // the right end (which starts at 89).
        const int lastTileColumn = width == kButtonWidth ? 91 : 89;
        EXPECT_EQ(got.At(item.left + lastTileColumn, item.top + 4), Strip().At(kFocusedTile + 1, 4))
            << "the last tile's second column at button column " << lastTileColumn;
        EXPECT_EQ(got.At(item.left + lastTileColumn + 1, item.top + 4),
                  Strip().At(kFocusedImage + kEndWidth + lastTileColumn + 1 - (width - kEndWidth), 4))
            << "the right end after the last tile";
    }
}

TEST_F(ButtonDrawing, CaptionNormalPressedAndEngraved) {
    info_.Caption = "Cancel";
    const RECT item = Item();
    const RECT caption = CaptionRect(info_.Caption, item);
    ASSERT_GT(caption.right - caption.left, 0);

    EnableWindow(button_.get(), TRUE);
    for (int y = 0; y < kButtonHeight; ++y)
        for (int x = 0; x < kButtonWidth; ++x)
            ASSERT_NE(Strip().At(x, y), kCaptionInk) << "the strip itself holds the caption colour";
    const Pixels normal = Draw(0);
    const Ink normalInk = FindInk(normal, item, kCaptionInk);
    ASSERT_FALSE(normalInk.points.empty()) << "no pixel in the DC's text colour: the caption is missing";
    EXPECT_GE(normalInk.box.left, caption.left);
    EXPECT_GE(normalInk.box.top, caption.top);
    EXPECT_LE(normalInk.box.right, caption.right);
    EXPECT_LE(normalInk.box.bottom, caption.bottom);
    // Rows above and below the centred caption keep the image.
    std::string first;
    EXPECT_EQ(CountMismatches(
                  normal, item, 0, caption.top - item.top,
                  [&](int x, int y) { return ThreePieces(Strip(), kNormalImage, x, y, kButtonWidth); }, first),
              0)
        << first;
    EXPECT_EQ(CountMismatches(
                  normal, item, caption.bottom - item.top, kButtonHeight,
                  [&](int x, int y) { return ThreePieces(Strip(), kNormalImage, x, y, kButtonWidth); }, first),
              0)
        << first;

    const Pixels defaultLook = Draw(ODS_DEFAULT);
    EXPECT_TRUE(Shifted(FindInk(defaultLook, item, kCaptionInk), normalInk, 0, 0))
        << "the default image gets the normal caption";

    const Pixels pressed = Draw(ODS_SELECTED);
    const Ink pressedInk = FindInk(pressed, item, kCaptionInk);
    EXPECT_TRUE(Shifted(pressedInk, normalInk, 1, 1))
        << "pressed caption box (" << pressedInk.box.left << "," << pressedInk.box.top << ")-(" << pressedInk.box.right
        << "," << pressedInk.box.bottom << "), normal (" << normalInk.box.left << "," << normalInk.box.top << ")-("
        << normalInk.box.right << "," << normalInk.box.bottom << ")";

    // Where the glyphs touch the button at all: the normal look with and without its caption.
    info_.Caption.clear();
    const Pixels normalImage = Draw(0);
    const auto inked = [&](int x, int y) { return normal.At(x, y) != normalImage.At(x, y); };

    EnableWindow(button_.get(), FALSE);
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    const Pixels disabledImage = Draw(0);
    ASSERT_TRUE(FindInk(disabledImage, item, highlight).points.empty() &&
                FindInk(disabledImage, item, shadow).points.empty())
        << "the disabled image itself uses the highlight or shadow colour; the engraving cannot be told apart";
    info_.Caption = "Cancel";
    const Pixels disabled = Draw(0);
    EXPECT_TRUE(FindInk(disabled, item, kCaptionInk).points.empty()) << "the DC's text colour is not used";
    const Ink shadowInk = FindInk(disabled, item, shadow);
    EXPECT_TRUE(Shifted(shadowInk, normalInk, 0, 0)) << "the shadow copy lies where the normal caption does";
    // Text is smoothed, so only fully inked pixels are exact. One pixel right and down of a fully
    // inked glyph pixel, where the glyph itself does not reach, only the highlight copy lies.
    int exposed = 0;
    std::string wrong;
    for (const POINT& p : normalInk.points) {
        if (inked(p.x + 1, p.y + 1)) continue;
        ++exposed;
        if (disabled.At(p.x + 1, p.y + 1) != highlight && wrong.empty())
            wrong = "(" + std::to_string(p.x + 1) + "," + std::to_string(p.y + 1) + ") is " +
                    Text(disabled.At(p.x + 1, p.y + 1));
    }
    EXPECT_GT(exposed, 0);
    EXPECT_TRUE(wrong.empty()) << "highlight copy missing at " << wrong << ", want " << Text(highlight);
    // And no highlight anywhere else: each one has glyph ink one pixel left and up.
    const Ink highlightInk = FindInk(disabled, item, highlight);
    const auto stray = std::count_if(highlightInk.points.begin(), highlightInk.points.end(),
                                     [&](const POINT& p) { return !inked(p.x - 1, p.y - 1); });
    EXPECT_EQ(stray, 0) << "highlight pixels that are not the caption moved by (+1, +1)";
}

TEST_F(ButtonDrawing, FlagsFollowTheDrawRequest) {
    info_.Caption = "Cancel";
    for (const bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enabled" : "disabled");
        EnableWindow(button_.get(), enabled);
        info_.Hover = true;
        info_.Pressed = false;
        (void)Draw(ODS_SELECTED);
        EXPECT_TRUE(info_.Pressed);
        EXPECT_FALSE(info_.Hover) << "a full drawing replaces the hover image";
        info_.Hover = true;
        (void)Draw(ODS_FOCUS);
        EXPECT_FALSE(info_.Pressed);
        EXPECT_FALSE(info_.Hover);
    }
}

TEST(CenterTextRect, CentresTheMeasuredTextWithTheSpareOddPixelLeft) {
    const UniqueMemDc dc(CreateCompatibleDC(nullptr));
    const UniqueFont font(CreateControlFont(false, false, false));
    const SelectedObject selected(dc.get(), font.get());
    // Texts of both parities, and one wider than the button (negative offset, truncated toward 0).
    std::vector<std::string> texts = {"Cancel", "Abbrechen", "Annuler", "W", "&Cancel"};
    // Even width, so that the spare space plus one is odd and negative: -21 / 2 is -10, not -11.
    std::string wide = "Cancel";
    const auto wideAndEven = [&] {
        const LONG width = Measure(dc.get(), wide).cx;
        return width > kButtonWidth && width % 2 == 0;
    };
    for (int i = 0; i < 60 && !wideAndEven(); ++i) wide += i % 3 == 2 ? "i" : "m";
    ASSERT_TRUE(wideAndEven()) << "no caption of even width above 98 pixels found";
    texts.push_back(wide);
    bool oddSpare = false;
    bool evenSpare = false;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const SIZE size = Measure(dc.get(), text);
        ASSERT_GT(size.cx, 0);
        oddSpare = oddSpare || (kButtonWidth - size.cx) % 2 != 0;
        evenSpare = evenSpare || (kButtonWidth - size.cx) % 2 == 0;
        // For a 37 x 13 caption this is (31, 6, 68, 19); a 120-pixel one starts at -10.
        const LONG dx = (kButtonWidth - size.cx + 1) / 2;
        const LONG dy = (kButtonHeight - size.cy + 1) / 2;
        for (const POINT origin : {POINT{0, 0}, POINT{10, 140}}) {
            RECT r{origin.x, origin.y, origin.x + kButtonWidth, origin.y + kButtonHeight};
            CenterTextRect(dc.get(), text, r);
            EXPECT_EQ(r.left, origin.x + dx);
            EXPECT_EQ(r.top, origin.y + dy);
            EXPECT_EQ(r.right, origin.x + dx + size.cx);
            EXPECT_EQ(r.bottom, origin.y + dy + size.cy);
        }
    }
    EXPECT_TRUE(oddSpare && evenSpare) << "the texts did not cover both parities of the spare space";
    EXPECT_LT((kButtonWidth - Measure(dc.get(), wide).cx + 1) / 2, 0);
    EXPECT_EQ(Measure(dc.get(), "&Cancel").cx, Measure(dc.get(), "Cancel").cx)
        << "the ampersand is measured as DrawText draws it";
}

class ButtonHover : public ::testing::Test {
protected:
    void SetUp() override {
        std::optional<Pixels> strip = LoadStrip();
        ASSERT_TRUE(strip);
        strip_.emplace(std::move(*strip));
        host_ = MakeHost(300, 200, 160, 60);
        ASSERT_TRUE(host_);
        button_ = MakeButton(host_.get(), 20, 20);
        ASSERT_TRUE(button_);
        PumpFor(50);
        info_.Handle = button_.get();
        info_.ClientRect = {0, 0, kButtonWidth, kButtonHeight};
        stripBitmap_.reset(LoadBitmapA(GetModuleHandleA(nullptr), "BITMAP_BUTTON"));
        info_.Strip = stripBitmap_.get();
        ASSERT_TRUE(ClientToScreen(button_.get(), &origin_));  // the button's client (0, 0)
        inside_ = {origin_.x + 40, origin_.y + 12};
        outside_ = {origin_.x - 10, origin_.y + 12};
    }

    // The button's pixels as its own DC holds them.
    Pixels Read() const {
        Canvas canvas(kButtonWidth, kButtonHeight);
        const WindowDc dc(button_.get());
        BitBlt(canvas.Dc(), 0, 0, kButtonWidth, kButtonHeight, dc.get(), 0, 0, SRCCOPY);
        return canvas.Read();
    }
    void Clear() const {
        const WindowDc dc(button_.get());
        const UniqueBrush brush(CreateSolidBrush(kUntouched));
        FillRect(dc.get(), &info_.ClientRect, brush.get());
    }
    bool Untouched() const {
        const Pixels got = Read();
        for (int y = 0; y < kButtonHeight; ++y)
            for (int x = 0; x < kButtonWidth; ++x)
                if (got.At(x, y) != kUntouched) return false;
        return true;
    }
    static void CursorAt(POINT p) { ASSERT_TRUE(MoveCursor(p)) << "the cursor did not move"; }

    std::optional<Pixels> strip_;
    UniqueWindow host_;
    UniqueWindow button_;
    UniqueBitmap stripBitmap_;
    TButtonInfo info_;
    POINT origin_{};
    POINT inside_{};
    POINT outside_{};
};

TEST_F(ButtonHover, DrawsOnlyForTheCursorOnTheEnabledIdleButton) {
    info_.Caption.clear();
    Clear();
    ASSERT_TRUE(Untouched()) << "the button's DC does not read back what was drawn";

    // Left of the button, and just past its right and bottom edges (which are exclusive).
    for (const POINT outside :
         {outside_, POINT{origin_.x + kButtonWidth, inside_.y}, POINT{inside_.x, origin_.y + kButtonHeight}}) {
        CursorAt(outside);
        DrawButtonHover(info_);
        EXPECT_TRUE(Untouched()) << "cursor outside at (" << outside.x << "," << outside.y << ")";
        EXPECT_FALSE(info_.Hover);
    }

    CursorAt(inside_);
    EnableWindow(button_.get(), FALSE);
    DrawButtonHover(info_);
    EXPECT_TRUE(Untouched()) << "disabled button";
    EXPECT_FALSE(info_.Hover);
    EnableWindow(button_.get(), TRUE);
    UpdateWindow(button_.get());  // the repaint that enabling asks for must not erase what follows
    Clear();

    info_.Pressed = true;
    DrawButtonHover(info_);
    EXPECT_TRUE(Untouched()) << "pressed button";
    EXPECT_FALSE(info_.Hover);
    info_.Pressed = false;

    info_.Hover = true;
    DrawButtonHover(info_);
    EXPECT_TRUE(Untouched()) << "hover image already shown";
    EXPECT_TRUE(info_.Hover);
    info_.Hover = false;

    // The last pixel inside the button counts as inside.
    CursorAt({origin_.x + kButtonWidth - 1, origin_.y + kButtonHeight - 1});
    DrawButtonHover(info_);
    EXPECT_TRUE(info_.Hover);
    const Pixels got = Read();
    std::string first;
    EXPECT_EQ(CountMismatches(
                  got, info_.ClientRect, 0, kButtonHeight,
                  [&](int x, int y) { return ThreePieces(*strip_, kHoverImage, x, y, kButtonWidth); }, first),
              0)
        << first;

    Clear();
    DrawButtonHover(info_);
    EXPECT_TRUE(Untouched()) << "a second movement draws nothing new";
    EXPECT_TRUE(info_.Hover);
}

TEST_F(ButtonHover, CaptionIsDrawnInTheWindowDcsTextColour) {
    info_.Caption = "Cancel";
    Clear();
    CursorAt(inside_);
    DrawButtonHover(info_);
    ASSERT_TRUE(info_.Hover);
    const RECT caption = CaptionRect(info_.Caption, info_.ClientRect);
    const Pixels got = Read();
    // A fresh window DC holds black as its text colour.
    const Ink ink = FindInk(got, info_.ClientRect, RGB(0, 0, 0));
    ASSERT_FALSE(ink.points.empty()) << "no caption";
    EXPECT_GE(ink.box.left, caption.left);
    EXPECT_GE(ink.box.top, caption.top);
    EXPECT_LE(ink.box.right, caption.right);
    EXPECT_LE(ink.box.bottom, caption.bottom);
}

// Posted WM_TIMER messages stand in for pending ticks: they wait in the queue ahead of the
// window system's own timer messages, in the order they were posted, so the queue's head is
// known exactly.
class StopTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        wnd_ = MakeHost(0, 0, 10, 10, 0);
        ASSERT_TRUE(wnd_);
        PumpPending();
    }
    void TearDown() override { Drain(); }
    void PostTick(UINT_PTR id) const { PostMessageA(wnd_.get(), WM_TIMER, id, 0); }
    // The timer ids of the WM_TIMER messages waiting for the window, in order; removes them.
    std::vector<UINT_PTR> Drain() const {
        std::vector<UINT_PTR> ids;
        MSG msg;
        while (ids.size() < 10 && PeekMessageA(&msg, wnd_.get(), WM_TIMER, WM_TIMER, PM_REMOVE))
            ids.push_back(msg.wParam);
        return ids;
    }
    UniqueWindow wnd_;
};

TEST_F(StopTimerTest, UnknownTimerIsReportedAndItsTickLeftAlone) {
    PostTick(9);
    EXPECT_FALSE(StopTimer(wnd_.get(), 9));
    EXPECT_EQ(Drain(), std::vector<UINT_PTR>{9});
}

TEST_F(StopTimerTest, RemovesOneTickOfItsTimerOnlyFromTheHead) {
    ASSERT_NE(SetTimer(wnd_.get(), 1, 60000, nullptr), 0u);
    PostTick(1);
    PostTick(1);
    EXPECT_TRUE(StopTimer(wnd_.get(), 1));
    EXPECT_EQ(Drain(), std::vector<UINT_PTR>{1}) << "exactly one pending tick is removed";
    EXPECT_FALSE(KillTimer(wnd_.get(), 1)) << "the timer is gone";

    ASSERT_NE(SetTimer(wnd_.get(), 1, 60000, nullptr), 0u);
    PostTick(2);
    PostTick(1);
    EXPECT_TRUE(StopTimer(wnd_.get(), 1));
    EXPECT_EQ(Drain(), (std::vector<UINT_PTR>{2, 1})) << "another timer's tick at the head keeps both";
}

// Under Wine a timer's tick is made when the queue is read while the timer is due; once the
// timer is killed no tick of it is made any more.
TEST_F(StopTimerTest, NoTickOfAStoppedRealTimerArrives) {
    ASSERT_NE(SetTimer(wnd_.get(), 3, 1, nullptr), 0u);
    MSG msg{};
    const auto tickWaiting = [&] { return PeekMessageA(&msg, wnd_.get(), WM_TIMER, WM_TIMER, PM_NOREMOVE) != 0; };
    const DWORD start = GetTickCount();
    while (!tickWaiting() && GetTickCount() - start < 1000) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_TIMER);
    ASSERT_TRUE(tickWaiting()) << "the 1 ms timer never came due";
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_TRUE(StopTimer(wnd_.get(), 3));
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_TIMER);
    EXPECT_EQ(Drain(), std::vector<UINT_PTR>{});
}

class LeaveTracking : public ::testing::Test {
protected:
    void SetUp() override {
        gMouseLeaves = 0;
        tracked_ = MakeHost(100, 400, 200, 60, 0);
        ASSERT_TRUE(tracked_);
        PumpFor(50);
    }
    void TearDown() override {
        if (tracked_) KillTimer(tracked_.get(), TME_LEAVE);
    }
    TRACKMOUSEEVENT Request() const {
        TRACKMOUSEEVENT request{};
        request.cbSize = sizeof request;
        request.dwFlags = TME_LEAVE;
        request.hwndTrack = tracked_.get();
        return request;
    }
    static void CursorAt(int x, int y) { ASSERT_TRUE(MoveCursor({x, y})) << "the cursor did not move"; }
    UniqueWindow tracked_;
};

TEST_F(LeaveTracking, MalformedRequestsAreRefusedWithoutATimer) {
    TRACKMOUSEEVENT small = Request();
    small.cbSize = sizeof small - 1;
    EXPECT_EQ(EmulatedTrackMouseEvent(&small), 0);
    TRACKMOUSEEVENT hoverOnly = Request();
    hoverOnly.dwFlags = TME_HOVER;
    EXPECT_EQ(EmulatedTrackMouseEvent(&hoverOnly), 0);
    EXPECT_FALSE(KillTimer(tracked_.get(), TME_LEAVE)) << "a refused request started a poll";
    EXPECT_FALSE(KillTimer(tracked_.get(), TME_HOVER)) << "a refused request started a poll";
    HWND gone = nullptr;
    {
        const UniqueWindow window = MakeHost(0, 0, 10, 10, 0);
        gone = window.get();
    }
    TRACKMOUSEEVENT noWindow = Request();
    noWindow.hwndTrack = gone;
    EXPECT_EQ(EmulatedTrackMouseEvent(&noWindow), 0);
}

TEST_F(LeaveTracking, OneLeaveAfterTheCursorLeaves) {
    CursorAt(200, 430);
    TRACKMOUSEEVENT request = Request();
    EXPECT_NE(EmulatedTrackMouseEvent(&request), 0);
    // A second request for the window replaces the first poll instead of adding one.
    EXPECT_NE(EmulatedTrackMouseEvent(&request), 0);
    PumpFor(350);
    EXPECT_EQ(gMouseLeaves, 0) << "left while the cursor stayed inside";
    CursorAt(200, 300);
    EXPECT_TRUE(PumpUntil([] { return gMouseLeaves > 0; }, kLeaveTimeoutMs)) << "no WM_MOUSELEAVE";
    PumpFor(300);
    EXPECT_EQ(gMouseLeaves, 1);
    EXPECT_FALSE(KillTimer(tracked_.get(), TME_LEAVE)) << "the poll still runs after the leave";
}

TEST_F(LeaveTracking, PointCoveredByAnotherWindowCountsAsOutside) {
    // Topmost, over the right half of the tracked window.
    const UniqueWindow cover = MakeHost(200, 390, 150, 80);
    ASSERT_TRUE(cover);
    PumpFor(50);
    CursorAt(130, 430);
    ASSERT_EQ(WindowFromPoint(POINT{130, 430}), tracked_.get());
    TRACKMOUSEEVENT request = Request();
    EXPECT_NE(EmulatedTrackMouseEvent(&request), 0);
    PumpFor(250);
    EXPECT_EQ(gMouseLeaves, 0);
    CursorAt(250, 430);  // inside the tracked window's rectangle, under the cover
    ASSERT_EQ(WindowFromPoint(POINT{250, 430}), cover.get());
    EXPECT_TRUE(PumpUntil([] { return gMouseLeaves > 0; }, kLeaveTimeoutMs)) << "no WM_MOUSELEAVE";
    PumpFor(250);
    EXPECT_EQ(gMouseLeaves, 1);
}

// Sets the foreground lock timeout for one test and puts the old value back.
class ForegroundLockTimeout {
public:
    explicit ForegroundLockTimeout(DWORD value) {
        saved_ = SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &old_, 0) != 0;
        if (saved_) Set(value);
    }
    ForegroundLockTimeout(const ForegroundLockTimeout&) = delete;
    ForegroundLockTimeout& operator=(const ForegroundLockTimeout&) = delete;
    ~ForegroundLockTimeout() {
        if (saved_) Set(old_);
    }
    static DWORD Read() {
        DWORD value = 0xFFFFFFFFu;
        SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &value, 0);
        return value;
    }

private:
    static void Set(DWORD value) {
        SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, reinterpret_cast<void*>(UINT_PTR{value}), 0);
    }
    DWORD old_ = 0;
    bool saved_ = false;
};

// Both windows belong to this thread, and a thread cannot attach its input to itself: the
// attempt fails, and the lock timeout has to be switched off around the second attempt.
TEST(ForceForeground, LockTimeoutIsZeroOnlyWhileTheForegroundIsTaken) {
    constexpr DWORD kLockTimeout = 200000;  // Windows' default
    InitWindowsVersions();                  // the library's load-time step
    ASSERT_TRUE(HasForegroundLock(GetPlatformVersion())) << "this system counts as one without a foreground lock";
    const ForegroundLockTimeout lock(kLockTimeout);
    ASSERT_EQ(ForegroundLockTimeout::Read(), kLockTimeout) << "the foreground lock timeout cannot be set";
    const UniqueWindow front = MakeHost(500, 500, 100, 50);
    const UniqueWindow wanted = MakeHost(620, 500, 100, 50, 0);
    ASSERT_TRUE(front && wanted);
    SetForegroundWindow(front.get());
    ASSERT_EQ(GetForegroundWindow(), front.get());
    ASSERT_EQ(AttachThreadInput(GetCurrentThreadId(), GetCurrentThreadId(), TRUE), FALSE)
        << "attaching a thread to itself works here; the fallback would not run";

    gLockTimeoutAtActivation.clear();
    ForceForeground(wanted.get());
    PumpFor(50);
    EXPECT_EQ(GetForegroundWindow(), wanted.get());
    ASSERT_FALSE(gLockTimeoutAtActivation.empty()) << "the window was not activated";
    EXPECT_EQ(gLockTimeoutAtActivation.front(), 0u) << "the lock timeout was not 0 when the window came forward";
    EXPECT_EQ(ForegroundLockTimeout::Read(), kLockTimeout) << "the old timeout is not back";

    gLockTimeoutAtActivation.clear();
    ForceForeground(wanted.get());
    PumpFor(50);
    EXPECT_EQ(GetForegroundWindow(), wanted.get());
    EXPECT_TRUE(gLockTimeoutAtActivation.empty()) << "the window in the foreground already is left alone";

    ShowWindow(wanted.get(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(wanted.get()));
    ForceForeground(wanted.get());
    PumpFor(50);
    EXPECT_FALSE(IsIconic(wanted.get())) << "a minimised window is restored";
    EXPECT_EQ(GetForegroundWindow(), wanted.get());
}

}  // namespace
