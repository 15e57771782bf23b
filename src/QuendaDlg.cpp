#include "QuendaDlg.h"

#include <atomic>
#include <memory>

#include "QuendaAccess.h"
#include "QuendaRules.h"
#include "QuendaTrace.h"
#include "QuendaUtil.h"
#include "WindowsVersions.h"

namespace quenda {

namespace {

constexpr int kTemplateId = 100;
constexpr int kButtonId = 5;
constexpr UINT_PTR kForegroundTimerId = 7;
constexpr UINT kForegroundPeriod = 250;
constexpr UINT kLeavePollPeriod = 100;
constexpr int kHeight = 177;
constexpr int kLeftWidth = 167;
constexpr int kRightWidth = 4;
constexpr int kLabelLeft = 165;
constexpr int kButtonWidth = 98;
constexpr int kButtonHeight = 25;
constexpr int kButtonTop = 140;
constexpr int kButtonRightGap = 113;
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kDarkRed = RGB(128, 0, 0);
// Carries no data: the handler reads the labels as they are when it runs, so posts that arrive
// late or together still end on the latest text.
constexpr UINT kTextChangedMessage = WM_APP + 1;
constexpr UINT kDisableButtonMessage = WM_APP + 2;
// Posted once the prompt has been painted and is visible. A dialog is created hidden and shown
// only when its message traffic has gone idle, so a message posted at WM_INITDIALOG is taken
// while it is still hidden (Wine shows it earlier).
constexpr UINT kShownMessage = WM_APP + 3;
// A UI Automation client closed the prompt through its Window pattern.
constexpr UINT kAutomationCloseMessage = WM_APP + 4;

// One lock guards everything another thread may touch: the window handle as seen from outside,
// the three labels and the button handle. Label setters (driver threads), painting (dialog
// thread) and the close (dialog thread) all take it, so a driver thread that found the prompt
// open works on live labels until it lets go, and a paint never reads a text being replaced.
// It is never held across SendMessage, DialogBoxParam or the driver's callback, and nothing run
// under it waits for another thread.
CriticalSection gLock;

struct DialogState {
    HWND DialogWnd = nullptr;
    std::unique_ptr<TApiLabelEx> PromptLabel;
    std::unique_ptr<TApiLabelEx> EchoLabel;
    std::unique_ptr<TApiLabelEx> ResultLabel;
};
DialogState gDialog;  // guarded by gLock
bool gUnloadBegun = false;  // guarded by gLock

// Dialog thread only.
TButtonInfo gCancelButton;
// The whole prompt's look: the band, the labels and the button in the user's colours.
bool gHighContrast = false;
DialogSetup gSetup;
bool gForegroundBusy = false;
// The trace notes the prompt reaching the front once, not at every tick it stays there.
bool gInFrontTraced = false;
// The prompt as the start call set it up, announced once the window is shown: a switch made
// meanwhile comes after it, in its own announcement.
std::string gOpeningText;
bool gOpeningAnnounced = false;
// What the reader heard last, so that a text is announced once however many notices bring it.
std::string gAnnouncedText;
// The first show: painted once and visible, then kShownMessage, once per prompt.
bool gFirstPaintDone = false;
bool gShownPosted = false;
// The context thread A had before the prompt's DPI-unaware scope, for the driver's callback.
DPI_AWARENESS_CONTEXT gCallerDpiContext = nullptr;

// The pictures the prompt draws, loaded with it while the start call holds the library and freed
// at its close: an unload may hold the loader lock while the outcome is painted, and a resource
// may come from a language resource module. Dialog thread only.
struct PromptBitmaps {
    UniqueBitmap Left;
    UniqueBitmap Right;
    UniqueBitmap Button;
};
PromptBitmaps gBitmaps;

std::atomic<CancelHandlerFn> gCancelHandler{nullptr};
std::atomic<bool> gRunActive{false};
std::atomic<TrackMouseEventFn> gTrackMouseLeave{nullptr};
UniqueModule gUser32Module;

void CopyBitmap(HDC dc, HBITMAP bitmap, int x, int width, int srcX, int srcWidth, bool stretch) {
    const UniqueMemDc memDc(CreateCompatibleDC(dc));
    const SelectedObject selected(memDc.get(), bitmap);
    if (stretch)
        StretchBlt(dc, x, 0, width, kHeight, memDc.get(), srcX, 0, srcWidth, kHeight, SRCCOPY);
    else
        BitBlt(dc, x, 0, width, kHeight, memDc.get(), srcX, 0, SRCCOPY);
}

void PaintDialog(HDC dc, uint32_t middleWidth, bool highContrast) {
    const int middle = static_cast<int>(middleWidth);
    {
        const UniqueMemDc memDc(CreateCompatibleDC(dc));
        const SelectedObject selected(memDc.get(), gBitmaps.Left.get());
        BitBlt(dc, 0, 0, kLeftWidth, kHeight, memDc.get(), 0, 0, SRCCOPY);
        if (!highContrast)
            StretchBlt(dc, kLeftWidth, 0, middle, kHeight, memDc.get(), kLeftWidth - 1, 0, 1, kHeight,
                       SRCCOPY);
    }
    if (highContrast) {
        // The reader picture stays; the text stands on the user's own window colour.
        const RECT band = MakeRect(kLeftWidth, 0, kLeftWidth + middle + kRightWidth, kHeight);
        FillRect(dc, &band, GetSysColorBrush(COLOR_WINDOW));
    } else {
        CopyBitmap(dc, gBitmaps.Right.get(), kLeftWidth + middle, kRightWidth, 0, kRightWidth, false);
    }
    const COLORREF highContrastText = highContrast ? GetSysColor(COLOR_WINDOWTEXT) : 0;
    std::lock_guard guard(gLock);
    for (TApiLabelEx* label : {gDialog.PromptLabel.get(), gDialog.ResultLabel.get(), gDialog.EchoLabel.get()}) {
        if (!label) continue;
        if (highContrast)
            label->PaintInColor(dc, highContrastText);
        else
            label->Paint(dc);
    }
}

// Reads the setting afresh and redraws the window and the button at once.
void FollowHighContrast(HWND wnd) {
    gHighContrast = IsHighContrastOn();
    RedrawWindow(wnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

std::unique_ptr<TApiLabelEx> MakeLabel(HWND wnd, int top, int width, int height,
                                       const std::string& text, COLORREF color) {
    auto label = TApiLabel::Create<TApiLabelEx>(wnd, kLabelLeft, top, width, height, text);
    label->SetColor(color);
    label->SetTransparent(true);
    label->SetBold(true);
    label->SetFontSize(-11);
    label->SetFontName("Tahoma");
    label->SetWordWrap(true);
    return label;
}

// The text as DrawText shows it with prefix processing: "&&" shows one "&", a lone "&" none.
std::string WithoutMnemonics(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            shown += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '&') {
            shown += '&';
            ++i;
        }
    }
    return shown;
}

// What the prompt shows for screen readers: the outcome once one is shown, else the prompt; as
// drawn, without mnemonic ampersands. False when the prompt is gone.
bool ShownText(HWND wnd, std::string& text, Announcement& kind) {
    {
        std::lock_guard guard(gLock);
        if (gDialog.DialogWnd != wnd || !gDialog.PromptLabel || !gDialog.ResultLabel) return false;
        text = gDialog.ResultLabel->Text();
        kind = text.empty() ? Announcement::Prompt : Announcement::Outcome;
        if (text.empty()) text = gDialog.PromptLabel->Text();
    }
    text = WithoutMnemonics(text);
    return true;
}

HWND CurrentDialogWindow();

// The unload has begun: thread A changes no text and raises no event from here on (WinEvents
// reach in-context hooks, DLLs that the system loads into the process).
bool UnloadBegun() {
    std::lock_guard guard(gLock);
    return gUnloadBegun;
}

// The window has no caption, so its text is free for screen readers. The echo marks stay out of
// it.
void FollowLabelsInWindowText(HWND wnd) {
    if (UnloadBegun()) return;
    std::string text;
    Announcement kind = Announcement::Prompt;
    if (!ShownText(wnd, text, kind)) return;
    char current[512]{};
    GetWindowTextA(wnd, current, sizeof current);
    if (text != current) {
        SetAccessibleName(wnd, text);
        SetWindowTextA(wnd, text.c_str());
        NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, wnd, OBJID_WINDOW, CHILDID_SELF);
    }
    // A name change is spoken only for the focused window; a notification reaches the reader
    // whatever has the focus. Nothing goes out before the opening text (kShownMessage).
    if (gOpeningAnnounced && text != gAnnouncedText) {
        gAnnouncedText = text;
        Announce(wnd, text, kind);
    }
}

void AnnounceOpening(HWND wnd) {
    gOpeningAnnounced = true;
    gAnnouncedText = gOpeningText;
    Announce(wnd, gOpeningText, Announcement::Prompt);
    // A switch made while the prompt was being set up is heard after the opening text.
    FollowLabelsInWindowText(wnd);
}

// As Escape: the cancel reaches the driver's callback, which disables the button and keeps the
// prompt open; without a callback the button stays enabled and the prompt closes.
void CloseLikeEscape(HWND wnd) {
    QUENDA_TRACE("close", "UI Automation Close: handled as Escape");
    SendMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    const HWND button = OpenDialog().Button();
    if (CurrentDialogWindow() == wnd && button && IsWindowEnabled(button)) SendMessageA(wnd, WM_CLOSE, 0, 0);
}


void CALLBACK ForegroundTimerProc(HWND, UINT, UINT_PTR, DWORD) noexcept;
LRESULT CALLBACK ButtonSubclassProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;

HWND CurrentDialogWindow() {
    std::lock_guard guard(gLock);
    return gDialog.DialogWnd;
}

void OnInitDialog(HWND wnd) {
    bool unloading = false;
    {
        std::lock_guard guard(gLock);
        unloading = gUnloadBegun;
        if (!unloading) gDialog.DialogWnd = wnd;
    }
    if (unloading) {
        // The unload found no prompt and will not look again: this one must not outlive it, nor
        // be shown, since a first activation may take the loader lock that the unload holds.
        // Ended here, a modal dialog is destroyed before it is shown.
        EndDialog(wnd, 0);
        return;
    }
    gHighContrast = IsHighContrastOn();
    SetWindowLongA(wnd, GWL_STYLE, static_cast<LONG>(WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN));
    SetWindowLongA(wnd, GWL_EXSTYLE, WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_CONTROLPARENT);
    const int middle = static_cast<int>(gSetup.MiddleWidth);
    const int width = middle + kLeftWidth + kRightWidth;
    MoveWindow(wnd, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2, width, kHeight, TRUE);

    gCancelButton.Caption = gSetup.ButtonCaption;
    gCancelButton.ClientRect = MakeRect(0, 0, kButtonWidth, kButtonHeight);
    const HWND button = CreateWindowExA(0, "button", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW,
                                        width - kButtonRightGap, kButtonTop, gCancelButton.ClientRect.right,
                                        gCancelButton.ClientRect.bottom, wnd,
                                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonId)),
                                        ThisModule(), nullptr);
    gCancelButton.Hover = false;
    gCancelButton.Pressed = false;
    gCancelButton.Strip = gBitmaps.Button.get();
    gCancelButton.OldWndProc = nullptr;
    if (button) {
        gCancelButton.OldWndProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ButtonSubclassProc)));
    }

    const int labelWidth = middle - 14;
    auto prompt = MakeLabel(wnd, static_cast<int>(gSetup.PromptTop), labelWidth, 90, gSetup.PromptText, kWhite);
    auto echo = MakeLabel(wnd, static_cast<int>(gSetup.EchoTop), labelWidth, 20, gSetup.EchoText, kWhite);
    auto result = MakeLabel(wnd, static_cast<int>(gSetup.ResultTop), labelWidth, 90, gSetup.ResultText, kDarkRed);
    // Taken before the labels can be found: a switch made from here on is not the opening.
    gOpeningText = WithoutMnemonics(result->Text().empty() ? prompt->Text() : result->Text());
    gOpeningAnnounced = false;
    gAnnouncedText.clear();
    AttachAccessible(wnd, kAutomationCloseMessage);
    {
        std::lock_guard guard(gLock);
        gCancelButton.Handle = button;
        gDialog.PromptLabel = std::move(prompt);
        gDialog.EchoLabel = std::move(echo);
        gDialog.ResultLabel = std::move(result);
    }
    FollowLabelsInWindowText(wnd);

    gForegroundBusy = false;
    gInFrontTraced = false;
    SetTimer(wnd, kForegroundTimerId, kForegroundPeriod, &ForegroundTimerProc);
    QUENDA_TRACE("dialog", "open: window %p, %d x %d, button %p", static_cast<void*>(wnd), width, kHeight,
                 static_cast<void*>(button));
}

void OnClose(HWND wnd) {
    QUENDA_TRACE("close", "WM_CLOSE: prompt %p closes", static_cast<void*>(wnd));
    HWND button = nullptr;
    {
        std::lock_guard guard(gLock);
        gDialog.PromptLabel.reset();
        gDialog.EchoLabel.reset();
        gDialog.ResultLabel.reset();
        button = std::exchange(gCancelButton.Handle, nullptr);
        if (gDialog.DialogWnd == wnd) gDialog.DialogWnd = nullptr;
    }
    StopTimer(wnd, kForegroundTimerId);
    if (button) DestroyWindow(button);
    EndDialog(wnd, 0);
    gCancelHandler.store(nullptr);
    if (gSetup.OnClosed) gSetup.OnClosed();
}

// Painted once and visible: the first show is behind the prompt, and kShownMessage goes out. Looked
// at after each paint and at each message of the prompt until then: no busy wait.
void PostShownWhenUp(HWND wnd) {
    if (gShownPosted || !gFirstPaintDone || !IsWindowVisible(wnd)) return;
    gShownPosted = true;
    PostMessageA(wnd, kShownMessage, 0, 0);
}

INT_PTR CALLBACK PinDialogProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        if (gFirstPaintDone && !gShownPosted && msg != WM_INITDIALOG) PostShownWhenUp(wnd);
        switch (msg) {
            case WM_INITDIALOG:
                OnInitDialog(wnd);
                return TRUE;
            case WM_PAINT: {
                {
                    const PaintDc paint(wnd);
                    PaintDialog(paint.get(), gSetup.MiddleWidth, gHighContrast);
                }
                gFirstPaintDone = true;
                PostShownWhenUp(wnd);
                return TRUE;
            }
            case WM_CTLCOLORDLG:
                return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
            case WM_DRAWITEM:
                if (wParam == kButtonId && lParam)
                    DrawBitmapButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), gCancelButton,
                                     gHighContrast);
                return TRUE;
            case WM_COMMAND:
                if (HIWORD(wParam) == 0 && (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == kButtonId)) {
                    if (const CancelHandlerFn handler = gCancelHandler.load()) {
                        // The driver's callback runs in thread A's own DPI context: a window it
                        // makes must not be unaware behind its back.
                        const DpiContextScope callerDpi(gCallerDpiContext);
                        handler();
                    }
                }
                return TRUE;
            case WM_CLOSE:
                OnClose(wnd);
                return TRUE;
            case kTextChangedMessage:
                FollowLabelsInWindowText(wnd);
                return TRUE;
            case kDisableButtonMessage:
                if (gCancelButton.Handle) EnableWindow(gCancelButton.Handle, FALSE);
                return TRUE;
            case kShownMessage:
                AnnounceOpening(wnd);
                // Shown, and the first announcement made: the set-up's first uses are behind it.
                if (gSetup.OnShown) gSetup.OnShown();
                return TRUE;
            case kAutomationCloseMessage:
                CloseLikeEscape(wnd);
                return TRUE;
            case WM_GETOBJECT: {
                LRESULT result = 0;
                if (!AnswerGetObject(wnd, wParam, lParam, result)) return FALSE;
                SetWindowLongPtrA(wnd, DWLP_MSGRESULT, result);
                return TRUE;
            }
            case WM_SETTINGCHANGE:
                if (wParam == SPI_SETHIGHCONTRAST) FollowHighContrast(wnd);
                return FALSE;
            case WM_SYSCOLORCHANGE:
            case WM_THEMECHANGED:
                FollowHighContrast(wnd);
                return FALSE;
            default:
                // Unnamed messages get the dialog manager's own default handling.
                return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

void CALLBACK ForegroundTimerProc(HWND, UINT, UINT_PTR, DWORD) noexcept {
    const HWND wnd = CurrentDialogWindow();
    if (!wnd || gForegroundBusy) return;
    PostShownWhenUp(wnd);
    gForegroundBusy = true;
    const ScopeExit clearBusy([] { gForegroundBusy = false; });
    SetWindowPos(wnd, HWND_TOPMOST, 0, 0, 100, 100, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(wnd);
    ForceForeground(wnd);
}

LRESULT CALLBACK ButtonSubclassProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    const WNDPROC oldProc = gCancelButton.OldWndProc;
    try {
        switch (msg) {
            case WM_KEYUP:
                if (wParam == VK_ESCAPE) {
                    QUENDA_TRACE("close", "Escape released on the button: the prompt closes itself");
                    if (const HWND dialog = CurrentDialogWindow())
                        SendMessageA(dialog, WM_CLOSE, 0, 0);
                    // The close destroyed the button; its own procedure has nothing left to do.
                    if (!IsWindow(wnd)) return 0;
                }
                break;
            case WM_MOUSEMOVE: {
                TRACKMOUSEEVENT request{};
                request.cbSize = sizeof request;
                request.dwFlags = TME_LEAVE;
                request.hwndTrack = gCancelButton.Handle;
                if (const TrackMouseEventFn track = gTrackMouseLeave.load()) track(&request);
                DrawButtonHover(gCancelButton, gHighContrast);
                break;
            }
            case WM_MOUSELEAVE:
                if (gCancelButton.Hover) {
                    gCancelButton.Hover = false;
                    InvalidateRect(wnd, nullptr, FALSE);
                    UpdateWindow(wnd);
                }
                break;
            default:
                break;
        }
    } catch (...) {
    }
    return oldProc ? CallWindowProcA(oldProc, wnd, msg, wParam, lParam) : DefWindowProcA(wnd, msg, wParam, lParam);
}

void CALLBACK MouseLeavePollProc(HWND wnd, UINT, UINT_PTR timerId, DWORD) noexcept {
    RECT rect{};
    POINT cursor{};
    GetWindowRect(wnd, &rect);
    GetCursorPos(&cursor);
    if (PtInRect(&rect, cursor) && WindowFromPoint(cursor) == wnd) return;
    StopTimer(wnd, timerId);
    PostMessageA(wnd, WM_MOUSELEAVE, 0, 0);
}

}  // namespace

void InitDialogModule() noexcept {
    {
        std::lock_guard guard(gLock);
        gDialog.DialogWnd = nullptr;
        gUnloadBegun = false;
    }
    gCancelHandler.store(nullptr);
    gTrackMouseLeave.store(nullptr);
    gUser32Module.reset(LoadLibraryA("USER32.DLL"));
    if (gUser32Module)
        gTrackMouseLeave.store(reinterpret_cast<TrackMouseEventFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(gUser32Module.get(), "TrackMouseEvent"))));
    if (!gTrackMouseLeave.load()) gTrackMouseLeave.store(&EmulatedTrackMouseEvent);
    InitAccessModule(gUser32Module.get());
}

void FinalizeDialogModule(bool processExiting) noexcept {
    FinalizeAccessModule();
    if (processExiting) return;
    gSetup = DialogSetup{};
    gCancelButton.Caption.clear();
    gCancelButton.Caption.shrink_to_fit();
    gUser32Module.reset();
}

namespace {

// Wine's first DrawText in a process takes the loader lock. An unload holds that lock while it
// waits for this thread, so the first one is made before the prompt can be found and unloaded.
void PrimeTextDrawing() {
    const UniqueMemDc dc(CreateCompatibleDC(nullptr));
    if (!dc) return;
    RECT rect = MakeRect(0, 0, 16, 16);
    DrawTextA(dc.get(), "0", 1, &rect, 0);
}

}  // namespace

void RunPinDialog(DialogSetup setup) {
    if (IsPinDialogOpen() || gRunActive.exchange(true)) {
        QUENDA_TRACE("dialog", "a prompt is already open: nothing shown");
        return;
    }
    const ScopeExit endRun([] {
        {
            std::lock_guard guard(gLock);
            gDialog.DialogWnd = nullptr;
        }
        gRunActive.store(false);
    });
    gSetup = std::move(setup);
    gBitmaps.Left.reset(LoadBitmapA(ThisModule(), "BMP_BG_LEFT"));
    gBitmaps.Right.reset(LoadBitmapA(ThisModule(), "BMP_BG_RIGHT"));
    gBitmaps.Button.reset(LoadBitmapA(ThisModule(), "BITMAP_BUTTON"));
    const ScopeExit freeBitmaps([] {
        gCancelButton.Strip = nullptr;
        gBitmaps = PromptBitmaps{};
    });
    gFirstPaintDone = false;
    gShownPosted = false;
    PrimeTextDrawing();
    PrepareAnnouncer();
    {
        // The stock font and the dpi it was made at, read where neither is scaled to 96.
        const SystemDpiScope systemDpi;
        UseStockFontForPrompt(ReadStockFont());
    }
    const ScopeExit forgetFont([] { UseStockFontForPrompt(std::nullopt); });
    {
        // For the window's life: the system then scales the whole prompt to its monitor.
        const DpiUnawareScope dpiUnaware;
        gCallerDpiContext = dpiUnaware.Previous();
        if (DialogBoxParamA(ThisModule(), MAKEINTRESOURCEA(kTemplateId), nullptr, &PinDialogProc, 0) == -1)
            QUENDA_TRACE("dialog", "DialogBoxParamA failed, error %lu", GetLastError());
        else
            QUENDA_TRACE("dialog", "closed: the modal loop has ended");
        gCallerDpiContext = nullptr;
    }
    // The window is gone and this is no sent message: UI Automation can let the provider go.
    DetachAccessible();
}

bool IsPinDialogOpen() { return OpenDialog().IsOpen(); }

void ClosePinDialog(HWND onlyWindow, DWORD timeoutMillis) {
    const HWND wnd = CurrentDialogWindow();
    if (!wnd || (onlyWindow && wnd != onlyWindow)) return;
    if (timeoutMillis == INFINITE) {
        SendMessageA(wnd, WM_CLOSE, 0, 0);
    } else {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(wnd, WM_CLOSE, 0, 0, SMTO_NORMAL, timeoutMillis, &ignored);
    }
}

void SetCancelHandler(CancelHandlerFn handler) noexcept { gCancelHandler.store(handler); }

void BeginDialogUnload() noexcept {
    std::lock_guard guard(gLock);
    gUnloadBegun = true;
}

void PostDisableButton(HWND wnd) noexcept {
    if (wnd) PostMessageA(wnd, kDisableButtonMessage, 0, 0);
}


OpenDialog::OpenDialog() : lock_(gLock) {}

OpenDialog::~OpenDialog() {
    if (shownTextChanged_ && gDialog.DialogWnd) PostMessageA(gDialog.DialogWnd, kTextChangedMessage, 0, 0);
}

bool OpenDialog::IsOpen() const {
    return gDialog.DialogWnd && gDialog.PromptLabel && IsWindow(gDialog.DialogWnd);
}

HWND OpenDialog::Window() const { return gDialog.DialogWnd; }
HWND OpenDialog::Button() const { return gCancelButton.Handle; }
TApiLabelEx& OpenDialog::EchoLabel() const { return *gDialog.EchoLabel; }

void OpenDialog::SetPromptText(const std::string& text) const {
    gDialog.PromptLabel->SetText(text);
    shownTextChanged_ = true;
}

void OpenDialog::SetResultText(const std::string& text) const {
    gDialog.ResultLabel->SetText(text);
    shownTextChanged_ = true;
}

void OpenDialog::SetResultColor(COLORREF color) const { gDialog.ResultLabel->SetColor(color); }

BOOL WINAPI EmulatedTrackMouseEvent(LPTRACKMOUSEEVENT request) {
    if (!request || request->cbSize < sizeof(TRACKMOUSEEVENT)) return FALSE;
    if (!IsWindow(request->hwndTrack)) return FALSE;
    if (!(request->dwFlags & TME_LEAVE)) return FALSE;
    const UINT_PTR timer = SetTimer(request->hwndTrack, request->dwFlags, kLeavePollPeriod, &MouseLeavePollProc);
    if (!timer) MessageBeep(0);
    return timer != 0;
}

TrackMouseEventFn TrackMouseLeave() noexcept { return gTrackMouseLeave.load(); }

void SetTrackMouseLeaveForTesting(TrackMouseEventFn tracker) noexcept { gTrackMouseLeave.store(tracker); }

namespace {

// Where the foreground is after an attempt; noted so that the trace says "in front" only once.
bool NoteForeground(HWND wnd) {
    gInFrontTraced = GetForegroundWindow() == wnd;
    return gInFrontTraced;
}

const char* ForegroundWord(bool inFront) { return inFront ? "prompt in front" : "still behind"; }

}  // namespace

void ForceForeground(HWND wnd) {
    if (IsIconic(wnd)) ShowWindow(wnd, SW_RESTORE);
    if (GetForegroundWindow() == wnd) {
        if (!gInFrontTraced) {
            gInFrontTraced = true;
            QUENDA_TRACE("foreground", "%s", ForegroundWord(true));
        }
        return;
    }
    gInFrontTraced = false;
    if (!HasForegroundLock(GetPlatformVersion())) {
        BringWindowToTop(wnd);
        SetForegroundWindow(wnd);
        const bool inFront = NoteForeground(wnd);
        QUENDA_TRACE("foreground", "plain attempt (no foreground lock): %s", ForegroundWord(inFront));
        return;
    }
    const DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    const DWORD ownThread = GetWindowThreadProcessId(wnd, nullptr);
    bool done = false;
    if (AttachThreadInput(ownThread, foregroundThread, TRUE)) {
        BringWindowToTop(wnd);
        SetForegroundWindow(wnd);
        AttachThreadInput(ownThread, foregroundThread, FALSE);
        done = GetForegroundWindow() == wnd;
    }
    QUENDA_TRACE("foreground", "attempt with attached input of thread %lu: %s", foregroundThread,
                 done ? "prompt in front" : "still behind");
    if (done) {
        gInFrontTraced = true;
        return;
    }
    DWORD savedTimeout = 0;
    if (!SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &savedTimeout, 0)) {
        // Without the old value there is nothing safe to restore: try the plain way only.
        BringWindowToTop(wnd);
        SetForegroundWindow(wnd);
        const bool inFront = NoteForeground(wnd);
        QUENDA_TRACE("foreground", "lock timeout unreadable; plain attempt: %s", ForegroundWord(inFront));
        return;
    }
    SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, SPIF_SENDWININICHANGE);
    BringWindowToTop(wnd);
    SetForegroundWindow(wnd);
    SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                          reinterpret_cast<void*>(static_cast<UINT_PTR>(savedTimeout)), SPIF_SENDWININICHANGE);
    const bool inFront = NoteForeground(wnd);
    QUENDA_TRACE("foreground", "attempt with the lock timeout at 0 (was %lu): %s", savedTimeout,
                 ForegroundWord(inFront));
}

}  // namespace quenda
