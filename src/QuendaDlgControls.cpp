#include "QuendaDlgControls.h"

#include <mutex>

#include "QuendaRules.h"
#include "QuendaUtil.h"
#include "WinHandles.h"

namespace quenda {

namespace {

constexpr int kEndWidth = 8;
constexpr int kNormalImage = 0;
constexpr int kDefaultImage = 16;
constexpr int kFocusedImage = 32;
constexpr int kPressedImage = 48;
constexpr int kHoverImage = 64;
constexpr int kDisabledImage = 80;
constexpr int kFocusedTile = 96;
constexpr int kTileWidth = 2;

int DrawTextBytes(HDC dc, std::string_view text, RECT& rect, UINT format) {
    return DrawTextA(dc, text.data(), static_cast<int>(text.size()), &rect, format);
}

// Copies one image of the strip in three pieces: both 8-pixel ends and the stretched column 8.
void DrawImagePieces(HDC dc, HDC strip, int imageX, const RECT& r, int height) {
    BitBlt(dc, r.left, r.top, kEndWidth, height, strip, imageX, 0, SRCCOPY);
    BitBlt(dc, r.right - kEndWidth, r.top, kEndWidth, height, strip, imageX + kEndWidth, 0, SRCCOPY);
    StretchBlt(dc, r.left + kEndWidth, r.top, r.right - r.left - 2 * kEndWidth, height, strip,
               imageX + kEndWidth, 0, 1, height, SRCCOPY);
}

}  // namespace

void TApiControl::Invalidate() const noexcept {
    const RECT bounds = Bounds();
    InvalidateRect(ParentWnd, &bounds, FALSE);
}

RECT TApiControl::Bounds() const noexcept { return MakeRect(Left, Top, Left + Width, Top + Height); }

void TApiLabel::StoreText(std::string text) {
    text_ = std::move(text);
    Invalidate();
}

void TApiLabel::SetText(std::string_view text) { StoreText(std::string(text)); }

void TApiLabelEx::SetText(std::string_view text) { StoreText(StripMarkup(text)); }

void TApiLabel::SetColor(COLORREF color) {
    color_ = color;
    Invalidate();
}

void TApiLabel::SetBold(bool bold) {
    bold_ = bold;
    Invalidate();
}

void TApiLabel::SetTransparent(bool transparent) {
    transparent_ = transparent;
    Invalidate();
}

void TApiLabel::SetFontSize(int32_t size) {
    fontSize_ = size;
    Invalidate();
}

void TApiLabel::SetFontName(std::string_view name) {
    fontName_ = std::string(name);
    Invalidate();
}

void TApiLabel::SetWordWrap(bool wordWrap) {
    wordWrap_ = wordWrap;
    Invalidate();
}

void TApiLabel::Paint(HDC dc) { PaintInColor(dc, color_); }

void TApiLabel::PaintInColor(HDC dc, COLORREF color) {
    const UniqueFont font(CreateControlFont(bold_, italic_, underline_));
    const SelectedObject selected(dc, font.get());
    if (transparent_) {
        SetBkMode(dc, TRANSPARENT);
    } else {
        SetBkMode(dc, OPAQUE);
        SetBkColor(dc, backColor_);
    }
    SetTextColor(dc, color);
    RECT bounds = Bounds();
    UINT format = 0;
    if (wordWrap_) format |= DT_WORDBREAK;
    if (centered_) format |= DT_CENTER;
    DrawTextBytes(dc, text_, bounds, format);
}

StockFont ReadStockFont() noexcept {
    StockFont stock;
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof stock.Font, &stock.Font);
    const WindowDc screen(nullptr);
    stock.Dpi = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return stock;
}

namespace {

CriticalSection gPromptStockLock;
std::optional<StockFont> gPromptStock;  // guarded by gPromptStockLock

}  // namespace

void UseStockFontForPrompt(std::optional<StockFont> stock) noexcept {
    std::lock_guard guard(gPromptStockLock);
    gPromptStock = stock;
}

HFONT CreateControlFont(bool bold, bool italic, bool underline) {
    std::optional<StockFont> stock;
    {
        std::lock_guard guard(gPromptStockLock);
        stock = gPromptStock;
    }
    if (!stock) stock = ReadStockFont();
    LOGFONTA font = stock->Font;
    font.lfHeight = DpiAdjustedHeight(font.lfHeight, stock->Dpi);
    font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    font.lfItalic = italic ? 1 : 0;
    font.lfUnderline = underline ? 1 : 0;
    return CreateFontIndirectA(&font);
}

void CenterTextRect(HDC dc, std::string_view text, RECT& rect) {
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    RECT measured = MakeRect(0, 0, width, height);
    DrawTextBytes(dc, text, measured, DT_CALCRECT);
    const LONG dx = CenterOffset(width, measured.right - measured.left);
    const LONG dy = CenterOffset(height, measured.bottom - measured.top);
    OffsetRect(&measured, rect.left + dx, rect.top + dy);
    rect = measured;
}

void DrawButtonCaption(HDC dc, std::string_view text, RECT rect, CaptionStyle style) {
    if (text.empty()) return;
    const UniqueFont font(CreateControlFont(false, false, false));
    const SelectedObject selected(dc, font.get());
    RECT t = rect;
    CenterTextRect(dc, text, t);
    // A leading W overhangs the box that DT_CALCRECT measures.
    if (text.front() == 'W' || text.front() == 'w') InflateRect(&t, 1, 0);
    SetBkMode(dc, TRANSPARENT);
    constexpr UINT kFormat = DT_CENTER | DT_VCENTER;
    switch (style) {
        case kCaptionDisabled:
            OffsetRect(&t, 1, 1);
            SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
            DrawTextBytes(dc, text, t, kFormat);
            OffsetRect(&t, -1, -1);
            SetTextColor(dc, GetSysColor(COLOR_BTNSHADOW));
            DrawTextBytes(dc, text, t, kFormat);
            break;
        case kCaptionPressed:
            OffsetRect(&t, 1, 1);
            DrawTextBytes(dc, text, t, kFormat);
            break;
        case kCaptionNormal:
            DrawTextBytes(dc, text, t, kFormat);
            break;
    }
}

namespace {

// A system push button: face, edges and caption in the user's colours, mnemonic underlined, and
// the focus rectangle.
void DrawHighContrastButton(const DRAWITEMSTRUCT& drawItem, TButtonInfo& info) {
    RECT r = drawItem.rcItem;
    const HDC dc = drawItem.hDC;
    const bool selected = (drawItem.itemState & ODS_SELECTED) != 0;
    const bool disabled = !IsWindowEnabled(info.Handle);
    info.Pressed = selected;
    info.Hover = false;
    DrawFrameControl(dc, &r, DFC_BUTTON,
                     DFCS_BUTTONPUSH | (selected ? DFCS_PUSHED : 0) | (disabled ? DFCS_INACTIVE : 0));
    if (!info.Caption.empty()) {
        const UniqueFont font(CreateControlFont(false, false, false));
        const SelectedObject selectedFont(dc, font.get());
        RECT t = drawItem.rcItem;
        CenterTextRect(dc, info.Caption, t);
        if (selected) OffsetRect(&t, 1, 1);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
        DrawTextBytes(dc, info.Caption, t, DT_CENTER | DT_VCENTER);
    }
    if ((drawItem.itemState & ODS_FOCUS) != 0 && !disabled) {
        RECT focus = drawItem.rcItem;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(dc, &focus);
    }
}

}  // namespace

void DrawBitmapButton(const DRAWITEMSTRUCT& drawItem, TButtonInfo& info, bool highContrast) {
    if (highContrast) {
        DrawHighContrastButton(drawItem, info);
        return;
    }
    const RECT r = drawItem.rcItem;
    const HDC dc = drawItem.hDC;
    const bool selected = (drawItem.itemState & ODS_SELECTED) != 0;
    const bool focused = (drawItem.itemState & ODS_FOCUS) != 0;
    const bool isDefault = (drawItem.itemState & ODS_DEFAULT) != 0;
    const CaptionStyle style = !IsWindowEnabled(info.Handle) ? kCaptionDisabled
                               : selected                    ? kCaptionPressed
                                                             : kCaptionNormal;
    info.Pressed = selected;
    {
        const UniqueMemDc memDc(CreateCompatibleDC(dc));
        const SelectedObject selectedStrip(memDc.get(), info.Strip);
        info.Hover = false;
        const int height = r.bottom - r.top;
        if (style == kCaptionDisabled) {
            DrawImagePieces(dc, memDc.get(), kDisabledImage, r, height);
        } else if (selected) {
            DrawImagePieces(dc, memDc.get(), kPressedImage, r, height);
        } else if (focused) {
            BitBlt(dc, r.left, r.top, kEndWidth, height, memDc.get(), kFocusedImage, 0, SRCCOPY);
            BitBlt(dc, r.right - kEndWidth, r.top, kEndWidth, height, memDc.get(),
                   kFocusedImage + kEndWidth, 0, SRCCOPY);
            const int tiles = FocusedTileCount(r.left, r.right);
            for (int i = 0; i < tiles; ++i)
                BitBlt(dc, r.left + kEndWidth + kTileWidth * i, r.top, kTileWidth, height, memDc.get(),
                       kFocusedTile, 0, SRCCOPY);
        } else if (isDefault) {
            DrawImagePieces(dc, memDc.get(), kDefaultImage, r, height);
        } else {
            DrawImagePieces(dc, memDc.get(), kNormalImage, r, height);
        }
    }
    DrawButtonCaption(dc, info.Caption, r, style);
}

void DrawButtonHover(TButtonInfo& info, bool highContrast) {
    if (highContrast) return;
    const WindowDc dc(info.Handle);
    if (!dc || info.Hover || info.Pressed || !IsWindowEnabled(info.Handle)) return;
    POINT cursor{};
    if (!GetCursorPos(&cursor) || !ScreenToClient(info.Handle, &cursor)) return;
    if (cursor.x < 0 || cursor.x >= info.ClientRect.right || cursor.y < 0 ||
        cursor.y >= info.ClientRect.bottom)
        return;
    const UniqueMemDc memDc(CreateCompatibleDC(dc.get()));
    const SelectedObject selectedStrip(memDc.get(), info.Strip);
    DrawImagePieces(dc.get(), memDc.get(), kHoverImage, info.ClientRect,
                    info.ClientRect.bottom - info.ClientRect.top);
    DrawButtonCaption(dc.get(), info.Caption, info.ClientRect, kCaptionNormal);
    info.Hover = true;
}

bool StopTimer(HWND wnd, UINT_PTR timerId) {
    if (!KillTimer(wnd, timerId)) return false;
    MSG msg;
    if (PeekMessageA(&msg, wnd, WM_TIMER, WM_TIMER, PM_NOREMOVE) && msg.wParam == timerId)
        PeekMessageA(&msg, wnd, WM_TIMER, WM_TIMER, PM_REMOVE);
    return true;
}

}  // namespace quenda
