// A recording uiautomationcore.dll for the tests (Wine's has no UiaRaiseNotificationEvent). A
// client always listens; each call is appended to the file named by QUENDA_UIA_LOG as one
// tab-separated line, with the path this copy was loaded from first.
//
//   loaded    <module path>
//   provider  <thread id> <window>
//   release   <references left>
//   notify    <thread id> <kind> <processing> <activity id> <text>
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace {

HMODULE gSelf = nullptr;

std::string Narrow(const wchar_t* text) {
    if (!text) return "(null)";
    char buffer[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
    return buffer;
}

void Log(const std::string& line) {
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("QUENDA_UIA_LOG", path, sizeof path)) return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// Counts its references so that the test can see each one handed out come back.
class Provider : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        Log("release\t" + std::to_string(left));
        return left;
    }

private:
    std::atomic<ULONG> references_{0};
};

Provider gProvider;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gSelf = instance;
        char path[MAX_PATH] = {};
        GetModuleFileNameA(gSelf, path, MAX_PATH);
        Log(std::string("loaded\t") + path);
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI UiaClientsAreListening() { return TRUE; }

__declspec(dllexport) HRESULT WINAPI UiaHostProviderFromHwnd(HWND wnd, IUnknown** provider) {
    if (!provider) return E_INVALIDARG;
    gProvider.AddRef();
    *provider = &gProvider;
    Log("provider\t" + std::to_string(GetCurrentThreadId()) + "\t" +
        std::to_string(reinterpret_cast<UINT_PTR>(wnd)));
    return S_OK;
}

__declspec(dllexport) HRESULT WINAPI UiaRaiseNotificationEvent(IUnknown* provider, int kind, int processing,
                                                               wchar_t* text, wchar_t* activity) {
    if (provider != &gProvider) return E_INVALIDARG;
    Log("notify\t" + std::to_string(GetCurrentThreadId()) + "\t" + std::to_string(kind) + "\t" +
        std::to_string(processing) + "\t" + Narrow(activity) + "\t" + Narrow(text));
    return S_OK;
}

}  // extern "C"
