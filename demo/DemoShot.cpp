#include "DemoShot.h"

#include "DemoOwners.h"

#include <wincodec.h>

#include <cstdio>
#include <cstring>

namespace demo {
namespace {

struct FindData {
    HWND found = nullptr;
};

BOOL CALLBACK FindVisible(HWND wnd, LPARAM param) noexcept {
    auto* data = reinterpret_cast<FindData*>(param);
    if (IsWindowVisible(wnd)) {
        data->found = wnd;
        return FALSE;
    }
    return TRUE;
}

bool Fail(std::string& error, std::string why) {
    error = std::move(why);
    return false;
}

bool FailHr(std::string& error, const char* what, HRESULT hr) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
    return Fail(error, text);
}

// Encodes top-down 32-bit BGRX pixels; the alpha bytes are set opaque first.
bool WritePng(const std::wstring& path, BYTE* pixels, UINT width, UINT height, std::string& error) {
    const UINT stride = width * 4;
    const UINT bytes = stride * height;
    // BitBlt leaves the fourth byte at 0, which a PNG viewer would show as fully transparent.
    for (UINT i = 3; i < bytes; i += 4) pixels[i] = 0xFF;

    ComApartment com;
    if (FAILED(com.result()) && com.result() != RPC_E_CHANGED_MODE) {
        return FailHr(error, "CoInitializeEx", com.result());
    }
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr)) return FailHr(error, "CoCreateInstance(WICImagingFactory)", hr);

    ComPtr<IWICStream> stream;
    if (FAILED(hr = factory->CreateStream(stream.put()))) return FailHr(error, "CreateStream", hr);
    if (FAILED(hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)))
        return FailHr(error, "IWICStream::InitializeFromFilename", hr);

    ComPtr<IWICBitmapEncoder> encoder;
    if (FAILED(hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())))
        return FailHr(error, "CreateEncoder(PNG)", hr);
    if (FAILED(hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)))
        return FailHr(error, "IWICBitmapEncoder::Initialize", hr);

    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> frameProps;
    if (FAILED(hr = encoder->CreateNewFrame(frame.put(), frameProps.put()))) return FailHr(error, "CreateNewFrame", hr);
    if (FAILED(hr = frame->Initialize(frameProps.get()))) return FailHr(error, "frame Initialize", hr);
    if (FAILED(hr = frame->SetSize(width, height))) return FailHr(error, "SetSize", hr);

    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    if (FAILED(hr = frame->SetPixelFormat(&format))) return FailHr(error, "SetPixelFormat", hr);
    if (!IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA)) {
        // The encoder offered another layout; hand it a bitmap and let WIC convert.
        ComPtr<IWICBitmap> bitmap;
        if (FAILED(hr = factory->CreateBitmapFromMemory(width, height, GUID_WICPixelFormat32bppBGRA, stride, bytes,
                                                        pixels, bitmap.put())))
            return FailHr(error, "CreateBitmapFromMemory", hr);
        if (FAILED(hr = frame->WriteSource(bitmap.get(), nullptr))) return FailHr(error, "WriteSource", hr);
    } else if (FAILED(hr = frame->WritePixels(height, stride, bytes, pixels))) {
        return FailHr(error, "WritePixels", hr);
    }
    if (FAILED(hr = frame->Commit())) return FailHr(error, "frame Commit", hr);
    if (FAILED(hr = encoder->Commit())) return FailHr(error, "encoder Commit", hr);
    return true;
}

} // namespace

HWND FindPromptWindow(DWORD threadId) noexcept {
    FindData data;
    EnumThreadWindows(threadId, FindVisible, reinterpret_cast<LPARAM>(&data));
    return data.found;
}

bool SaveWindowPng(HWND wnd, const std::wstring& path, std::string& error) {
    RECT rect{};
    if (!GetWindowRect(wnd, &rect)) return Fail(error, "GetWindowRect failed: " + std::to_string(GetLastError()));
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return Fail(error, "the window has no area");

    // The screen, not the window: PrintWindow draws nothing under Wine, and the user sees the screen.
    WindowDc screen(nullptr);
    if (!screen.get()) return Fail(error, "GetDC(NULL) failed");
    UniqueMemDc memDc(CreateCompatibleDC(screen.get()));
    if (!memDc) return Fail(error, "CreateCompatibleDC failed");

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down, as WIC expects the rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    UniqueBitmap dib(CreateDIBSection(memDc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || !bits) return Fail(error, "CreateDIBSection failed");
    {
        SelectedObject selected(memDc.get(), dib.get());
        if (!selected.ok()) return Fail(error, "SelectObject failed");
        if (!BitBlt(memDc.get(), 0, 0, width, height, screen.get(), rect.left, rect.top, SRCCOPY | CAPTUREBLT))
            return Fail(error, "BitBlt failed: " + std::to_string(GetLastError()));
        GdiFlush();
    }
    return WritePng(path, static_cast<BYTE*>(bits), static_cast<UINT>(width), static_cast<UINT>(height), error);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string DescribePath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    full.resize(n < full.size() ? n : 0);
    if (full.empty()) full = path;
    std::string text = ToUtf8(full);

    // Present only under Wine: maps a Windows path back to the host's file system.
    using UnixNameFn = char*(CDECL*)(const WCHAR*);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto unixName =
        kernel
            ? reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
            : nullptr;
    if (unixName) {
        UniqueHeapString name(unixName(full.c_str()));
        if (name) text += std::string(" (Linux: ") + name.get() + ")";
    }
    return text;
}

} // namespace demo
