// A recording uiautomationcore.dll for the tests (Wine's has no UiaRaiseNotificationEvent) that
// holds the library to Microsoft's documented contract instead of accepting whatever it is given:
// - UiaHostProviderFromHwnd: "You cannot use the object to raise events, provide properties, and so
//   on": a host provider handed to UiaRaiseNotificationEvent is refused (E_INVALIDARG).
// - UiaRaiseNotificationEvent: "If your window uses the WS_POPUP style, it must also implement the
//   Window Control Pattern and handle the WM_GETOBJECT message": the provider must be server-side,
//   name its window through a host provider from UiaHostProviderFromHwnd, offer the Window pattern
//   and be what the window answers to WM_GETOBJECT; otherwise refused, and not recorded as spoken.
// - UiaReturnRawElementProvider: "The control should pass the wParam and lParam parameters to
//   the UiaReturnRawElementProvider function without filtering them first": every call is
//   recorded with its object id; only the root element's keeps a reference, as UI Automation does,
//   until UiaDisconnectProvider, which checks that the provider of a destroyed window answers
//   UIA_E_ELEMENTNOTAVAILABLE.
// - A client of its own (QuendaStandIn* exports) holds a reference of its own and calls the
//   Window pattern from the test's threads, as UI Automation's threads would.
// A client always listens. Each call is appended to the file named by QUENDA_UIA_LOG as a
// tab-separated line:
//   loaded path | host thread window visible | return thread window element | asked window objid |
//   reset window |
//   notify thread kind processing activity text | refused reason | disconnect thread gone kept-released
// where element is "options type dialog name window-pattern host" of the provider as checked.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "QuendaUia.h"

namespace {

using quenda::uia::IWindowProvider;
namespace uia = quenda::uia;

void Log(std::string line) {
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("QUENDA_UIA_LOG", path, sizeof path)) return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    line += '\n';
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// Appended rather than concatenated: GCC 12 warns falsely on "literal" + string.
std::string Field(unsigned long long value) { return std::string(1, '\t').append(std::to_string(value)); }

std::string Field(const wchar_t* text) {
    char buffer[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, text ? text : L"(null)", -1, buffer, sizeof buffer - 1, nullptr, nullptr);
    return std::string(1, '\t').append(buffer);
}

std::string Field(HWND wnd) { return Field(reinterpret_cast<UINT_PTR>(wnd)); }

// What UiaHostProviderFromHwnd hands out: usable only to answer get_HostRawElementProvider.
class HostProvider final : public IRawElementProviderSimple {
public:
    explicit HostProvider(HWND wnd) : wnd_(wnd) {}
    HWND Window() const { return wnd_; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(IRawElementProviderSimple)))
            return E_NOINTERFACE;
        *out = static_cast<IRawElementProviderSimple*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE get_ProviderOptions(ProviderOptions* result) override {
        *result = ProviderOptions_ServerSideProvider;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPatternProvider(PATTERNID, IUnknown** result) override {
        *result = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyValue(PROPERTYID, VARIANT* result) override {
        result->vt = VT_EMPTY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HostRawElementProvider(IRawElementProviderSimple** result) override {
        *result = nullptr;
        return S_OK;
    }

private:
    ~HostProvider() = default;
    HWND wnd_;
    std::atomic<ULONG> references_{1};
};

std::mutex gLock;
std::vector<IRawElementProviderSimple*> gHosts;  // alive host providers, guarded by gLock
struct Returned {
    HWND wnd;
    IRawElementProviderSimple* provider;  // one reference held
};
std::vector<Returned> gReturned;  // guarded by gLock

ULONG HostProvider::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        {
            std::lock_guard guard(gLock);
            std::erase(gHosts, static_cast<IRawElementProviderSimple*>(this));
        }
        delete this;
    }
    return left;
}

bool IsHost(IUnknown* object) {
    std::lock_guard guard(gLock);
    for (IRawElementProviderSimple* host : gHosts)
        if (static_cast<IUnknown*>(host) == object) return true;
    return false;
}

bool WasReturnedFor(HWND wnd, IRawElementProviderSimple* provider) {
    std::lock_guard guard(gLock);
    for (const Returned& r : gReturned)
        if (r.wnd == wnd && r.provider == provider) return true;
    return false;
}

// The window the provider names through its host provider, or null when it names none of ours.
HWND HostWindowOf(IRawElementProviderSimple* provider) {
    IRawElementProviderSimple* host = nullptr;
    if (FAILED(provider->get_HostRawElementProvider(&host)) || !host) return nullptr;
    HWND wnd = nullptr;
    {
        std::lock_guard guard(gLock);
        for (IRawElementProviderSimple* known : gHosts)
            if (known == host) wnd = static_cast<HostProvider*>(host)->Window();
    }
    host->Release();
    return wnd;
}

// The Window pattern's answers: can maximise, can minimise, modal, topmost, visual state,
// interaction state; "none" without the pattern.
std::string WindowPatternOf(IRawElementProviderSimple* provider) {
    IUnknown* pattern = nullptr;
    if (FAILED(provider->GetPatternProvider(uia::kWindowPatternId, &pattern)) || !pattern) return "none";
    IWindowProvider* window = nullptr;
    const HRESULT asked = pattern->QueryInterface(uia::kIidWindowProvider, reinterpret_cast<void**>(&window));
    pattern->Release();
    if (FAILED(asked) || !window) return "none";
    BOOL canMaximize = -1, canMinimize = -1, modal = -1, topmost = -1;
    int visual = -1, interaction = -1;
    window->get_CanMaximize(&canMaximize);
    window->get_CanMinimize(&canMinimize);
    window->get_IsModal(&modal);
    window->get_IsTopmost(&topmost);
    window->get_WindowVisualState(&visual);
    window->get_WindowInteractionState(&interaction);
    const bool refusesMinimise = window->SetVisualState(uia::kVisualStateMinimized) == uia::kInvalidOperation;
    window->Release();
    return std::to_string(canMaximize) + "," + std::to_string(canMinimize) + "," + std::to_string(modal) + "," +
           std::to_string(topmost) + "," + std::to_string(visual) + "," + std::to_string(interaction) + "," +
           (refusesMinimise ? "fixed" : "resizable");
}

// The element as a reader sees it: "options type dialog name window-pattern host".
std::string Describe(IRawElementProviderSimple* provider, HWND wnd) {
    ProviderOptions options{};
    provider->get_ProviderOptions(&options);
    VARIANT type{}, dialog{}, name{};
    provider->GetPropertyValue(uia::kControlTypePropertyId, &type);
    provider->GetPropertyValue(uia::kIsDialogPropertyId, &dialog);
    provider->GetPropertyValue(uia::kNamePropertyId, &name);
    std::string line = std::to_string(static_cast<int>(options)) + " " +
                       std::to_string(type.vt == VT_I4 ? type.lVal : -1) + " " +
                       std::to_string(dialog.vt == VT_BOOL && dialog.boolVal ? 1 : 0) + " ";
    char text[512] = {};
    if (name.vt == VT_BSTR && name.bstrVal) {
        WideCharToMultiByte(CP_ACP, 0, name.bstrVal, -1, text, sizeof text - 1, nullptr, nullptr);
        SysFreeString(name.bstrVal);
    }
    line.append("[").append(text).append("] ").append(WindowPatternOf(provider)).append(" ");
    return line.append(HostWindowOf(provider) == wnd ? "host-ok" : "host-wrong");
}

// Why raising an event with this object breaks the contract, or null when it does not.
const char* RaiseRefusal(IUnknown* object) {
    if (!object) return "no provider";
    if (IsHost(object)) return "a host provider raised an event";
    IRawElementProviderSimple* provider = nullptr;
    if (FAILED(object->QueryInterface(__uuidof(IRawElementProviderSimple), reinterpret_cast<void**>(&provider))))
        return "not an IRawElementProviderSimple";
    const char* refusal = nullptr;
    ProviderOptions options{};
    const HWND wnd = HostWindowOf(provider);
    if (FAILED(provider->get_ProviderOptions(&options)) || !(options & ProviderOptions_ServerSideProvider))
        refusal = "not a server-side provider";
    else if (!wnd)
        refusal = "no host provider of its window";
    else if (GetWindowLongPtrA(wnd, GWL_STYLE) & WS_POPUP) {
        if (WindowPatternOf(provider) == "none") refusal = "a popup without the Window pattern";
        DWORD_PTR ignored = 0;
        if (!refusal && !WasReturnedFor(wnd, provider))
            SendMessageTimeoutA(wnd, WM_GETOBJECT, 0, static_cast<LPARAM>(uia::kRootObjectId), SMTO_NORMAL, 2000,
                                &ignored);
        if (!refusal && !WasReturnedFor(wnd, provider)) refusal = "a popup that does not answer WM_GETOBJECT with it";
    }
    provider->Release();
    return refusal;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    char path[MAX_PATH] = {};
    if (reason == DLL_PROCESS_ATTACH && GetModuleFileNameA(instance, path, MAX_PATH))
        Log(std::string("loaded\t").append(path));
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI UiaClientsAreListening() { return TRUE; }

__declspec(dllexport) HRESULT WINAPI UiaHostProviderFromHwnd(HWND wnd, IRawElementProviderSimple** provider) {
    if (!provider) return E_INVALIDARG;
    *provider = nullptr;
    if (!IsWindow(wnd)) return E_INVALIDARG;
    HostProvider* host = new HostProvider(wnd);
    {
        std::lock_guard guard(gLock);
        gHosts.push_back(host);
    }
    *provider = host;
    Log("host" + Field(GetCurrentThreadId()) + Field(wnd) + Field(IsWindowVisible(wnd) ? 1 : 0));
    return S_OK;
}

__declspec(dllexport) LRESULT WINAPI UiaReturnRawElementProvider(HWND wnd, WPARAM, LPARAM lParam,
                                                                  IRawElementProviderSimple* provider) {
    if (!provider) {
        Log("reset" + Field(wnd));
        return 0;
    }
    Log("asked" + Field(wnd) + "\t" + std::to_string(static_cast<LONG>(lParam)));
    // Other object ids are Active Accessibility's, which this stand-in does not serve.
    if (static_cast<LONG>(lParam) != uia::kRootObjectId) return 0;
    if (!WasReturnedFor(wnd, provider)) {
        provider->AddRef();
        std::lock_guard guard(gLock);
        gReturned.push_back(Returned{wnd, provider});
    }
    Log("return" + Field(GetCurrentThreadId()) + Field(wnd) + "\t" + Describe(provider, wnd));
    return 1;
}

__declspec(dllexport) HRESULT WINAPI UiaRaiseNotificationEvent(IUnknown* provider, int kind, int processing,
                                                               wchar_t* text, wchar_t* activity) {
    if (const char* refusal = RaiseRefusal(provider)) {
        Log(std::string("refused\t").append(refusal));
        return E_INVALIDARG;
    }
    Log("notify" + Field(GetCurrentThreadId()) + Field(kind) + Field(processing) + Field(activity) + Field(text));
    return S_OK;
}

__declspec(dllexport) HRESULT WINAPI UiaDisconnectProvider(IRawElementProviderSimple* provider) {
    if (!provider) return E_INVALIDARG;
    VARIANT name{};
    const bool gone = provider->GetPropertyValue(uia::kNamePropertyId, &name) == uia::kElementNotAvailable;
    if (name.vt == VT_BSTR) SysFreeString(name.bstrVal);
    std::vector<IRawElementProviderSimple*> released;
    {
        std::lock_guard guard(gLock);
        for (auto it = gReturned.begin(); it != gReturned.end();) {
            if (it->provider == provider) {
                released.push_back(it->provider);
                it = gReturned.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (IRawElementProviderSimple* kept : released) kept->Release();
    Log("disconnect" + Field(GetCurrentThreadId()) + Field(gone ? 1 : 0) + Field(released.size()));
    return S_OK;
}

// The client's own reference, taken on what the window answered and let go of by QuendaStandInLetGo.
std::atomic<IRawElementProviderSimple*> gClientHeld{nullptr};

IRawElementProviderSimple* TakeReturned(HWND wnd) {
    IRawElementProviderSimple* provider = nullptr;
    std::lock_guard guard(gLock);
    for (const Returned& r : gReturned)
        if (r.wnd == wnd) provider = r.provider;
    if (provider) provider->AddRef();
    return provider;
}

// The Window pattern's WaitForInputIdle on what the window answered, holding a reference for the
// call's length only, as a client thread of UI Automation does; its HRESULT.
__declspec(dllexport) HRESULT WINAPI QuendaStandInWaitForInputIdle(HWND wnd, int milliseconds) {
    IRawElementProviderSimple* provider = TakeReturned(wnd);
    if (!provider) return E_FAIL;
    const struct Let {
        IRawElementProviderSimple* provider;
        ~Let() { provider->Release(); }
    } let{provider};
    IUnknown* pattern = nullptr;
    HRESULT result = provider->GetPatternProvider(uia::kWindowPatternId, &pattern);
    if (FAILED(result) || !pattern) return FAILED(result) ? result : E_FAIL;
    uia::IWindowProvider* window = nullptr;
    result = pattern->QueryInterface(uia::kIidWindowProvider, reinterpret_cast<void**>(&window));
    pattern->Release();
    if (FAILED(result) || !window) return FAILED(result) ? result : E_FAIL;
    BOOL idle = FALSE;
    result = window->WaitForInputIdle(milliseconds, &idle);
    window->Release();
    return result;
}

__declspec(dllexport) BOOL WINAPI QuendaStandInHold(HWND wnd) {
    IRawElementProviderSimple* provider = TakeReturned(wnd);
    if (provider) gClientHeld.store(provider);
    return provider != nullptr;
}

__declspec(dllexport) void WINAPI QuendaStandInLetGo() {
    if (IRawElementProviderSimple* provider = gClientHeld.exchange(nullptr)) provider->Release();
}

// For the tests, as a client would: the Window pattern's Close on what the window answered.
__declspec(dllexport) HRESULT WINAPI QuendaStandInClose(HWND wnd) {
    IRawElementProviderSimple* provider = nullptr;
    {
        std::lock_guard guard(gLock);
        for (const Returned& r : gReturned)
            if (r.wnd == wnd) provider = r.provider;
        if (provider) provider->AddRef();
    }
    if (!provider) return E_FAIL;
    IUnknown* pattern = nullptr;
    HRESULT result = provider->GetPatternProvider(uia::kWindowPatternId, &pattern);
    // Qualified: mingw-w64 12's headers declare a global IWindowProvider too.
    uia::IWindowProvider* window = nullptr;
    if (SUCCEEDED(result) && pattern)
        result = pattern->QueryInterface(uia::kIidWindowProvider, reinterpret_cast<void**>(&window));
    if (pattern) pattern->Release();
    if (window) {
        result = window->Close();
        window->Release();
    }
    provider->Release();
    return result;
}

}  // extern "C"
