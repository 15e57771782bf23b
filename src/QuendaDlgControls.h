// Controls the prompt draws itself: text labels without windows, the control font, the bitmap
// push button, and the timer stop routine the dialog's timers share.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quenda {

class TApiControl {
public:
    TApiControl(HWND parentWnd, int32_t left, int32_t top, int32_t width, int32_t height) noexcept
        : ParentWnd(parentWnd), Top(top), Left(left), Height(height), Width(width) {}
    TApiControl(const TApiControl&) = delete;
    TApiControl& operator=(const TApiControl&) = delete;
    virtual ~TApiControl() = default;

    virtual void Paint(HDC dc) = 0;
    void Invalidate() const noexcept;
    RECT Bounds() const noexcept;

    HWND ParentWnd;
    int32_t Top;
    int32_t Left;
    int32_t Height;
    int32_t Width;
};

class TApiLabel : public TApiControl {
public:
    // Runs the most derived SetText on the initial text, which constructors cannot reach.
    template <typename Label>
    static std::unique_ptr<Label> Create(HWND parentWnd, int32_t left, int32_t top, int32_t width,
                                         int32_t height, std::string_view text) {
        std::unique_ptr<Label> label(new Label(parentWnd, left, top, width, height));
        label->SetText(text);
        return label;
    }

    void Paint(HDC dc) override;
    // Paint with another text colour (the user's high-contrast one); the label's own is kept.
    void PaintInColor(HDC dc, COLORREF color);
    virtual void SetText(std::string_view text);

    const std::string& Text() const noexcept { return text_; }
    COLORREF Color() const noexcept { return color_; }
    bool Transparent() const noexcept { return transparent_; }
    bool Bold() const noexcept { return bold_; }
    bool WordWrap() const noexcept { return wordWrap_; }
    int32_t FontSize() const noexcept { return fontSize_; }
    const std::string& FontName() const noexcept { return fontName_; }

    void SetColor(COLORREF color);
    void SetBold(bool bold);
    void SetTransparent(bool transparent);
    void SetFontSize(int32_t size);
    void SetFontName(std::string_view name);
    void SetWordWrap(bool wordWrap);

protected:
    TApiLabel(HWND parentWnd, int32_t left, int32_t top, int32_t width, int32_t height) noexcept
        : TApiControl(parentWnd, left, top, width, height) {}
    void StoreText(std::string text);

private:
    std::string text_;
    COLORREF color_ = RGB(0, 0, 0);
    COLORREF backColor_ = RGB(255, 255, 255);
    bool transparent_ = true;
    bool bold_ = false;
    bool italic_ = false;
    bool underline_ = false;
    int32_t fontSize_ = 8;
    std::string fontName_ = "Arial";
    bool wordWrap_ = false;
    bool centered_ = false;
};

// A label that drops markup in angle brackets from every text it is given.
class TApiLabelEx : public TApiLabel {
public:
    void SetText(std::string_view text) override;

protected:
    friend class TApiLabel;
    using TApiLabel::TApiLabel;
};

// The default GUI font and the screen's LOGPIXELSY, as read in the calling thread's context.
struct StockFont {
    LOGFONTA Font{};
    int32_t Dpi = 96;
};
StockFont ReadStockFont() noexcept;
// For the prompt's life, the stock font as read before its thread turned DPI-unaware: there the
// screen reads 96 at every scaling, so the font rule would never see the dpi the stock font was
// made at. Nothing (std::nullopt) means each font reads the stock font afresh.
void UseStockFontForPrompt(std::optional<StockFont> stock) noexcept;

// The default GUI font in the given weight and style, at the pixel size it has at 96 DPI.
// The caller owns the font.
HFONT CreateControlFont(bool bold, bool italic, bool underline);

struct TButtonInfo {
    HWND Handle = nullptr;
    std::string Caption;
    RECT ClientRect{};
    bool Pressed = false;
    bool Hover = false;
    WNDPROC OldWndProc = nullptr;
    // Borrowed: the strip "BITMAP_BUTTON", loaded with the prompt and freed at its close, so that
    // no drawing loads a resource (an unload may hold the loader lock meanwhile).
    HBITMAP Strip = nullptr;
};

enum CaptionStyle { kCaptionNormal = 0, kCaptionDisabled = 1, kCaptionPressed = 2 };

// Under high contrast the button is drawn as a system push button in the user's colours instead
// of the bitmap strip, and has no hover look.
void DrawBitmapButton(const DRAWITEMSTRUCT& drawItem, TButtonInfo& info, bool highContrast = false);
void DrawButtonHover(TButtonInfo& info, bool highContrast = false);
void DrawButtonCaption(HDC dc, std::string_view text, RECT rect, CaptionStyle style);
void CenterTextRect(HDC dc, std::string_view text, RECT& rect);

// Kills a window timer and drops one tick of it if that tick is the first timer message
// waiting for the window.
bool StopTimer(HWND wnd, UINT_PTR timerId);

}  // namespace quenda
