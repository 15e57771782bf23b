#include "QuendaAccess.h"

#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "QuendaUia.h"
#include "QuendaUtil.h"
#include "WinHandles.h"

namespace quenda {

namespace {

constexpr wchar_t kActivityId[] = L"Quenda.PinPrompt";

using SetThreadDpiAwarenessContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
std::atomic<SetThreadDpiAwarenessContextFn> gSetThreadDpiContext{nullptr};

using ClientsAreListeningFn = BOOL(WINAPI*)();
using HostProviderFromHwndFn = HRESULT(WINAPI*)(HWND, IRawElementProviderSimple**);
using RaiseNotificationEventFn = HRESULT(WINAPI*)(IRawElementProviderSimple*, int, int, BSTR, BSTR);
using ReturnRawElementProviderFn = LRESULT(WINAPI*)(HWND, WPARAM, LPARAM, IRawElementProviderSimple*);
using DisconnectProviderFn = HRESULT(WINAPI*)(IRawElementProviderSimple*);
using SysAllocStringLenFn = BSTR(WINAPI*)(const OLECHAR*, UINT);
using SysFreeStringFn = void(WINAPI*)(BSTR);

struct UiaApi {
    ClientsAreListeningFn ClientsAreListening = nullptr;
    HostProviderFromHwndFn HostProviderFromHwnd = nullptr;
    RaiseNotificationEventFn RaiseNotificationEvent = nullptr;
    ReturnRawElementProviderFn ReturnRawElementProvider = nullptr;
    // Windows 8 and later; before it nothing can be disconnected (see LiveAccessibleCount).
    DisconnectProviderFn DisconnectProvider = nullptr;
    SysAllocStringLenFn SysAllocStringLen = nullptr;
    SysFreeStringFn SysFreeString = nullptr;
};

// Written once by PrepareAnnouncer before it is published; read by prompt threads after.
UiaApi gUiaApi;
std::atomic<const UiaApi*> gUia{nullptr};
std::atomic<bool> gPrepared{false};
std::atomic<bool> gStopped{false};
UniqueModule gUiaModule;
UniqueModule gOleAutModule;
std::atomic<int> gLiveProviders{0};
// Taken when a client still holds a provider after its prompt has gone: the provider's code must
// outlive every reference to it.
std::atomic<HMODULE> gProvidersHold{nullptr};

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A plain LoadLibrary would look in the application's folder first, where a planted copy could
// wait; system32 only.
HMODULE LoadFromSystem(const char* name) {
    return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::wstring Widen(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// A provider method from its first statement to its last: UI Automation's threads call in from
// outside like the exports, and the unload waits for them the same way.
class CountedCall {
public:
    CountedCall() noexcept { ArriveInLibrary(); }
    CountedCall(const CountedCall&) = delete;
    CountedCall& operator=(const CountedCall&) = delete;
    ~CountedCall() { DepartFromLibrary(); }
};

// The prompt's element. UI Automation may call it on any of its threads (no
// ProviderOptions_UseComThreading: the driver's thread is in no apartment of ours, and COM is
// never initialised on it), so every method is safe from any thread and none sends to the
// prompt's thread while holding the name lock. Once detached, once its window is gone or once the
// unload has begun, every call answers UIA_E_ELEMENTNOTAVAILABLE and calls nothing outside.
class PromptProvider final : public IRawElementProviderSimple, public uia::IWindowProvider {
public:
    PromptProvider(const UiaApi& api, HWND wnd, UINT closeMessage) noexcept
        : api_(api), wnd_(wnd), closeMessage_(closeMessage) {
        gLiveProviders.fetch_add(1);
    }
    PromptProvider(const PromptProvider&) = delete;
    PromptProvider& operator=(const PromptProvider&) = delete;

    HWND Window() const noexcept { return wnd_.load(); }
    void Detach() noexcept { wnd_.store(nullptr); }
    IRawElementProviderSimple* Simple() noexcept { return this; }

    void SetName(std::wstring name) noexcept {
        std::lock_guard guard(nameLock_);
        name_.swap(name);
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override {
        const CountedCall counted;
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IRawElementProviderSimple)))
            *out = static_cast<IRawElementProviderSimple*>(this);
        else if (IsEqualIID(iid, uia::kIidWindowProvider))
            *out = static_cast<uia::IWindowProvider*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override {
        const CountedCall counted;
        return refs_.fetch_add(1) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() noexcept override {
        // Counted like every method: the last release may let the library go while it is still on
        // its way out.
        const CountedCall counted;
        const ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
            if (gLiveProviders.fetch_sub(1) == 1) LetGoOfLibraryLater(gProvidersHold.exchange(nullptr));
        }
        return left;
    }

    // IRawElementProviderSimple
    HRESULT STDMETHODCALLTYPE get_ProviderOptions(ProviderOptions* result) noexcept override {
        const CountedCall counted;
        if (!result) return E_POINTER;
        *result = ProviderOptions_ServerSideProvider;
        return Live() ? S_OK : uia::kElementNotAvailable;
    }
    HRESULT STDMETHODCALLTYPE GetPatternProvider(PATTERNID pattern, IUnknown** result) noexcept override {
        const CountedCall counted;
        if (!result) return E_POINTER;
        *result = nullptr;
        if (!Live()) return uia::kElementNotAvailable;
        if (pattern == uia::kWindowPatternId) {
            *result = static_cast<uia::IWindowProvider*>(this);
            AddRef();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyValue(PROPERTYID property, VARIANT* result) noexcept override {
        const CountedCall counted;
        if (!result) return E_POINTER;
        result->vt = VT_EMPTY;
        if (!Live()) return uia::kElementNotAvailable;
        switch (property) {
            case uia::kControlTypePropertyId:
                result->vt = VT_I4;
                result->lVal = uia::kWindowControlTypeId;
                break;
            case uia::kIsDialogPropertyId:
                result->vt = VT_BOOL;
                result->boolVal = VARIANT_TRUE;
                break;
            case uia::kNamePropertyId: {
                std::lock_guard guard(nameLock_);
                const BSTR name = api_.SysAllocStringLen(name_.data(), static_cast<UINT>(name_.size()));
                if (!name) return E_OUTOFMEMORY;
                result->vt = VT_BSTR;
                result->bstrVal = name;
                break;
            }
            default:
                break;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE
    get_HostRawElementProvider(IRawElementProviderSimple** result) noexcept override {
        const CountedCall counted;
        if (!result) return E_POINTER;
        *result = nullptr;
        const HWND wnd = LiveWindow();
        if (!wnd) return uia::kElementNotAvailable;
        return api_.HostProviderFromHwnd(wnd, result);
    }

    // IWindowProvider: a modal, topmost prompt of fixed size.
    HRESULT STDMETHODCALLTYPE SetVisualState(int state) noexcept override {
        const CountedCall counted;
        if (!Live()) return uia::kElementNotAvailable;
        return state == uia::kVisualStateNormal ? S_OK : uia::kInvalidOperation;
    }
    // As Escape: a cancel the driver hears of, and the close where no callback takes it. Posted,
    // since the caller may be one of UI Automation's threads.
    HRESULT STDMETHODCALLTYPE Close() noexcept override {
        const CountedCall counted;
        const HWND wnd = LiveWindow();
        if (!wnd) return uia::kElementNotAvailable;
        return PostMessageA(wnd, closeMessage_, 0, 0) ? S_OK : uia::kElementNotAvailable;
    }
    HRESULT STDMETHODCALLTYPE WaitForInputIdle(int milliseconds, BOOL* result) noexcept override {
        const CountedCall counted;
        if (!result) return E_POINTER;
        *result = FALSE;
        const HWND wnd = LiveWindow();
        if (!wnd) return uia::kElementNotAvailable;
        // The prompt's thread has taken a message, so its loop is waiting for input again.
        DWORD_PTR ignored = 0;
        *result = SendMessageTimeoutA(wnd, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                                      static_cast<UINT>(milliseconds < 0 ? 0 : milliseconds), &ignored) != 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CanMaximize(BOOL* result) noexcept override {
        const CountedCall counted;
        return Answer(result, FALSE);
    }
    HRESULT STDMETHODCALLTYPE get_CanMinimize(BOOL* result) noexcept override {
        const CountedCall counted;
        return Answer(result, FALSE);
    }
    HRESULT STDMETHODCALLTYPE get_IsModal(BOOL* result) noexcept override {
        const CountedCall counted;
        return Answer(result, TRUE);
    }
    HRESULT STDMETHODCALLTYPE get_WindowVisualState(int* result) noexcept override {
        return Answer(result, uia::kVisualStateNormal);
    }
    HRESULT STDMETHODCALLTYPE get_WindowInteractionState(int* result) noexcept override {
        return Answer(result, uia::kInteractionReadyForUserInteraction);
    }
    HRESULT STDMETHODCALLTYPE get_IsTopmost(BOOL* result) noexcept override {
        const CountedCall counted;
        const HWND wnd = LiveWindow();
        return Answer(result, wnd && (GetWindowLongPtrA(wnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0);
    }

private:
    ~PromptProvider() = default;

    HWND LiveWindow() const noexcept {
        if (gStopped.load()) return nullptr;
        const HWND wnd = wnd_.load();
        return wnd && IsWindow(wnd) ? wnd : nullptr;
    }
    bool Live() const noexcept { return LiveWindow() != nullptr; }
    template <typename T, typename V>
    HRESULT Answer(T* result, V value) const noexcept {
        if (!result) return E_POINTER;
        *result = static_cast<T>(value);
        return Live() ? S_OK : uia::kElementNotAvailable;
    }

    const UiaApi& api_;
    std::atomic<ULONG> refs_{1};
    std::atomic<HWND> wnd_;
    const UINT closeMessage_;
    CriticalSection nameLock_;
    std::wstring name_;
};

// The open prompt's provider, holding the library's own reference. Prompt thread only.
PromptProvider* gProvider = nullptr;

PromptProvider* ProviderFor(HWND wnd) {
    return gProvider && wnd && gProvider->Window() == wnd ? gProvider : nullptr;
}

}  // namespace

void InitAccessModule(HMODULE user32) noexcept {
    gSetThreadDpiContext.store(
        user32 ? Lookup<SetThreadDpiAwarenessContextFn>(user32, "SetThreadDpiAwarenessContext") : nullptr);
    gUia.store(nullptr);
    gPrepared.store(false);
    gStopped.store(false);
}

void FinalizeAccessModule() noexcept {
    gStopped.store(true);
    gUia.store(nullptr);
    // FreeLibrary is not safe under the loader lock that the unload holds: the last reference to
    // UI Automation would run its detach (and wait for its threads) inside ours. The references
    // go to the process; a later load of this library takes the same modules again.
    (void)gUiaModule.release();
    (void)gOleAutModule.release();
}

DpiUnawareScope::DpiUnawareScope() noexcept {
    const SetThreadDpiAwarenessContextFn set = gSetThreadDpiContext.load();
    if (!set) return;
    // GDI scaling keeps text crisp; systems before Windows 10 1809 refuse it and get plain bitmap
    // scaling.
    previous_ = set(DPI_AWARENESS_CONTEXT_UNAWARE_GDISCALED);
    if (!previous_) previous_ = set(DPI_AWARENESS_CONTEXT_UNAWARE);
}

DpiUnawareScope::~DpiUnawareScope() {
    if (const SetThreadDpiAwarenessContextFn set = gSetThreadDpiContext.load(); set && previous_)
        set(previous_);
}

DpiContextScope::DpiContextScope(DPI_AWARENESS_CONTEXT context) noexcept {
    if (const SetThreadDpiAwarenessContextFn set = gSetThreadDpiContext.load(); set && context)
        previous_ = set(context);
}

DpiContextScope::~DpiContextScope() {
    if (const SetThreadDpiAwarenessContextFn set = gSetThreadDpiContext.load(); set && previous_)
        set(previous_);
}

SystemDpiScope::SystemDpiScope() noexcept {
    if (const SetThreadDpiAwarenessContextFn set = gSetThreadDpiContext.load())
        previous_ = set(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
}

SystemDpiScope::~SystemDpiScope() {
    if (const SetThreadDpiAwarenessContextFn set = gSetThreadDpiContext.load(); set && previous_)
        set(previous_);
}

void PrepareAnnouncer() noexcept {
    if (gStopped.load() || gPrepared.exchange(true)) return;
    UniqueModule uia(LoadFromSystem("uiautomationcore.dll"));
    if (!uia) return;
    UniqueModule oleAut(LoadFromSystem("oleaut32.dll"));
    if (!oleAut) return;
    UiaApi api;
    api.ClientsAreListening = Lookup<ClientsAreListeningFn>(uia.get(), "UiaClientsAreListening");
    api.HostProviderFromHwnd = Lookup<HostProviderFromHwndFn>(uia.get(), "UiaHostProviderFromHwnd");
    // Windows 10 1709 and later; without it nothing is announced.
    api.RaiseNotificationEvent = Lookup<RaiseNotificationEventFn>(uia.get(), "UiaRaiseNotificationEvent");
    api.ReturnRawElementProvider = Lookup<ReturnRawElementProviderFn>(uia.get(), "UiaReturnRawElementProvider");
    api.DisconnectProvider = Lookup<DisconnectProviderFn>(uia.get(), "UiaDisconnectProvider");
    api.SysAllocStringLen = Lookup<SysAllocStringLenFn>(oleAut.get(), "SysAllocStringLen");
    api.SysFreeString = Lookup<SysFreeStringFn>(oleAut.get(), "SysFreeString");
    if (!api.ClientsAreListening || !api.HostProviderFromHwnd || !api.RaiseNotificationEvent ||
        !api.ReturnRawElementProvider || !api.SysAllocStringLen || !api.SysFreeString)
        return;
    gUiaApi = api;
    gUiaModule = std::move(uia);
    gOleAutModule = std::move(oleAut);
    gUia.store(&gUiaApi, std::memory_order_release);
}

void StopAnnouncing() noexcept { gStopped.store(true); }

void Announce(HWND wnd, const std::string& text, Announcement kind) noexcept {
    try {
        const UiaApi* api = gUia.load(std::memory_order_acquire);
        PromptProvider* provider = ProviderFor(wnd);
        if (!api || !provider || gStopped.load() || text.empty() || !api->ClientsAreListening()) return;
        const std::wstring wide = Widen(text);
        const auto freeString = [api](BSTR s) { api->SysFreeString(s); };
        const std::unique_ptr<OLECHAR, decltype(freeString)> display(
            api->SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())), freeString);
        const std::unique_ptr<OLECHAR, decltype(freeString)> activity(
            api->SysAllocStringLen(kActivityId, static_cast<UINT>(std::size(kActivityId) - 1)), freeString);
        if (!display || !activity) return;
        const bool outcome = kind == Announcement::Outcome;
        (void)api->RaiseNotificationEvent(
            provider->Simple(), outcome ? uia::kNotificationKindActionCompleted : uia::kNotificationKindOther,
            outcome ? uia::kNotificationProcessingImportantAll : uia::kNotificationProcessingImportantMostRecent,
            display.get(), activity.get());
    } catch (...) {
    }
}

void AttachAccessible(HWND wnd, UINT closeMessage) noexcept {
    const UiaApi* api = gUia.load(std::memory_order_acquire);
    if (!api || gStopped.load() || gProvider) return;
    gProvider = new (std::nothrow) PromptProvider(*api, wnd, closeMessage);
}

void SetAccessibleName(HWND wnd, const std::string& text) noexcept {
    try {
        if (PromptProvider* provider = ProviderFor(wnd)) provider->SetName(Widen(text));
    } catch (...) {
    }
}

bool AnswerGetObject(HWND wnd, WPARAM wParam, LPARAM lParam, LRESULT& result) noexcept {
    const UiaApi* api = gUia.load(std::memory_order_acquire);
    PromptProvider* provider = ProviderFor(wnd);
    if (!api || !provider || gStopped.load()) return false;
    result = api->ReturnRawElementProvider(wnd, wParam, lParam, provider->Simple());
    return true;
}

void DetachAccessible() noexcept {
    PromptProvider* provider = std::exchange(gProvider, nullptr);
    if (!provider) return;
    const HWND wnd = provider->Window();
    // First, so that a WM_GETOBJECT arriving during the disconnect no longer hands it out.
    provider->Detach();
    if (const UiaApi* api = gUia.load(std::memory_order_acquire)) {
        api->ReturnRawElementProvider(wnd, 0, 0, nullptr);
        if (api->DisconnectProvider) (void)api->DisconnectProvider(provider->Simple());
    }
    provider->Release();
    // A reference a client still holds (no disconnect before Windows 8, or a failed one) keeps the
    // library loaded until its release. Once an unload has begun nothing can be held any more.
    if (gLiveProviders.load() > 0 && !gStopped.load() && !gProvidersHold.load()) {
        gProvidersHold.store(HoldLibrary());
        if (gLiveProviders.load() == 0) LetGoOfLibraryLater(gProvidersHold.exchange(nullptr));
    }
}

int LiveAccessibleCount() noexcept { return gLiveProviders.load(); }

bool IsHighContrastOn() noexcept {
    HIGHCONTRASTA contrast{};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace quenda
