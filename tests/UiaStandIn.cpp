// A recording uiautomationcore.dll for the tests (Wine's has no UiaRaiseNotificationEvent). A
// client always listens; each call is appended to the file named by QUENDA_UIA_LOG as a
// tab-separated line: "loaded" path, "provider" thread window visible, "release" references left,
// "notify" thread kind processing activity text.
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <string>

namespace {

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

// Counts its references, so that the test sees each one handed out come back.
class Provider : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        return *out = nullptr, E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        Log("release" + Field(--references_));
        return references_;
    }

private:
    std::atomic<ULONG> references_{0};
} gProvider;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    char path[MAX_PATH] = {};
    if (reason == DLL_PROCESS_ATTACH && GetModuleFileNameA(instance, path, MAX_PATH))
        Log(std::string("loaded\t").append(path));
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI UiaClientsAreListening() { return TRUE; }

__declspec(dllexport) HRESULT WINAPI UiaHostProviderFromHwnd(HWND wnd, IUnknown** provider) {
    gProvider.AddRef();
    *provider = &gProvider;
    Log("provider" + Field(GetCurrentThreadId()) + Field(reinterpret_cast<UINT_PTR>(wnd)) +
        Field(IsWindowVisible(wnd) ? 1 : 0));
    return S_OK;
}

__declspec(dllexport) HRESULT WINAPI
    UiaRaiseNotificationEvent(IUnknown*, int kind, int processing, wchar_t* text, wchar_t* activity) {
    Log("notify" + Field(GetCurrentThreadId()) + Field(kind) + Field(processing) + Field(activity) +
        Field(text));
    return S_OK;
}

}  // extern "C"
