// Owners for every handle, DC, GDI object and COM object the demo touches.
#ifndef QUENDA_DEMO_OWNERS_H
#define QUENDA_DEMO_OWNERS_H

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace demo {

// One owner type per handle kind, after WIL's unique_any: move-only, the closer named in the type.
template <typename T, auto Close, T Invalid = T{}>
class UniqueAny {
public:
    UniqueAny() noexcept = default;
    explicit UniqueAny(T value) noexcept : value_(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    [[nodiscard]] T get() const noexcept { return value_; }
    [[nodiscard]] explicit operator bool() const noexcept { return value_ != Invalid; }
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Invalid); }
    void reset(T value = Invalid) noexcept {
        if (value_ != Invalid) Close(value_);
        value_ = value;
    }

private:
    T value_ = Invalid;
};

inline void CloseHandleNow(HANDLE h) noexcept { ::CloseHandle(h); }
inline void FreeLibraryNow(HMODULE m) noexcept { ::FreeLibrary(m); }
inline void CloseKeyNow(HKEY k) noexcept { ::RegCloseKey(k); }
inline void DeleteDcNow(HDC dc) noexcept { ::DeleteDC(dc); }
inline void DeleteBitmapNow(HBITMAP b) noexcept { ::DeleteObject(b); }
inline void HeapFreeNow(char* p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }

using UniqueHandle = UniqueAny<HANDLE, CloseHandleNow>;
using UniqueModule = UniqueAny<HMODULE, FreeLibraryNow>;
using UniqueKey = UniqueAny<HKEY, CloseKeyNow>;
using UniqueMemDc = UniqueAny<HDC, DeleteDcNow>;
using UniqueBitmap = UniqueAny<HBITMAP, DeleteBitmapNow>;
// Strings that Wine hands out from the process heap.
using UniqueHeapString = UniqueAny<char*, HeapFreeNow>;

// A DC borrowed with GetDC: the window it came from is needed to give it back.
class WindowDc {
public:
    explicit WindowDc(HWND wnd) noexcept : wnd_(wnd), dc_(::GetDC(wnd)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc() {
        if (dc_) ::ReleaseDC(wnd_, dc_);
    }
    [[nodiscard]] HDC get() const noexcept { return dc_; }

private:
    HWND wnd_;
    HDC dc_;
};

// Puts the previous object back into the DC, so the owners above can delete theirs.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ obj) noexcept : dc_(dc), old_(::SelectObject(dc, obj)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() {
        if (old_ && old_ != HGDI_ERROR) ::SelectObject(dc_, old_);
    }
    [[nodiscard]] bool ok() const noexcept { return old_ && old_ != HGDI_ERROR; }

private:
    HDC dc_;
    HGDIOBJ old_;
};

// COM for the calling thread; uninitialised only if this object initialised it.
class ComApartment {
public:
    ComApartment() noexcept : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    [[nodiscard]] HRESULT result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    [[nodiscard]] T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    [[nodiscard]] explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // For out-parameters: releases what is held first.
    [[nodiscard]] T** put() noexcept {
        reset();
        return &ptr_;
    }
    void reset() noexcept {
        if (ptr_) std::exchange(ptr_, nullptr)->Release();
    }

private:
    T* ptr_ = nullptr;
};

} // namespace demo

#endif
