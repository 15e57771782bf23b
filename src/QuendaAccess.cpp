#include "QuendaAccess.h"

#include <unknwn.h>

#include <atomic>
#include <iterator>
#include <memory>

#include "WinHandles.h"

namespace quenda {

namespace {

// uiautomationcore.h values (Windows 10 1709); the SDK headers of this toolchain lack them.
constexpr int kNotificationKindActionCompleted = 2;
constexpr int kNotificationKindOther = 4;
constexpr int kNotificationProcessingImportantAll = 0;
constexpr int kNotificationProcessingImportantMostRecent = 1;
constexpr wchar_t kActivityId[] = L"Quenda.PinPrompt";

using SetThreadDpiAwarenessContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
std::atomic<SetThreadDpiAwarenessContextFn> gSetThreadDpiContext{nullptr};

// The provider is used only through IUnknown::Release, so it is declared as IUnknown.
using ClientsAreListeningFn = BOOL(WINAPI*)();
using HostProviderFromHwndFn = HRESULT(WINAPI*)(HWND, IUnknown**);
using RaiseNotificationEventFn = HRESULT(WINAPI*)(IUnknown*, int, int, wchar_t*, wchar_t*);
using SysAllocStringLenFn = wchar_t*(WINAPI*)(const wchar_t*, UINT);
using SysFreeStringFn = void(WINAPI*)(wchar_t*);

struct UiaApi {
    ClientsAreListeningFn ClientsAreListening = nullptr;
    HostProviderFromHwndFn HostProviderFromHwnd = nullptr;
    RaiseNotificationEventFn RaiseNotificationEvent = nullptr;
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
    api.SysAllocStringLen = Lookup<SysAllocStringLenFn>(oleAut.get(), "SysAllocStringLen");
    api.SysFreeString = Lookup<SysFreeStringFn>(oleAut.get(), "SysFreeString");
    if (!api.ClientsAreListening || !api.HostProviderFromHwnd || !api.RaiseNotificationEvent ||
        !api.SysAllocStringLen || !api.SysFreeString)
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
        if (!api || gStopped.load() || text.empty() || !api->ClientsAreListening()) return;
        const std::wstring wide = Widen(text);
        IUnknown* provider = nullptr;
        if (FAILED(api->HostProviderFromHwnd(wnd, &provider)) || !provider) return;
        const ScopeExit releaseProvider([provider] { provider->Release(); });
        const auto freeString = [api](wchar_t* s) { api->SysFreeString(s); };
        const std::unique_ptr<wchar_t, decltype(freeString)> display(
            api->SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())), freeString);
        const std::unique_ptr<wchar_t, decltype(freeString)> activity(
            api->SysAllocStringLen(kActivityId, static_cast<UINT>(std::size(kActivityId) - 1)), freeString);
        if (!display || !activity) return;
        const bool outcome = kind == Announcement::Outcome;
        (void)api->RaiseNotificationEvent(
            provider, outcome ? kNotificationKindActionCompleted : kNotificationKindOther,
            outcome ? kNotificationProcessingImportantAll : kNotificationProcessingImportantMostRecent,
            display.get(), activity.get());
    } catch (...) {
    }
}

bool IsHighContrastOn() noexcept {
    HIGHCONTRASTA contrast{};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace quenda
