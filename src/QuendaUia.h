// UI Automation declarations that this toolchain's headers lack (its uiautomationcoreapi.h does
// not compile as C++), shared by the library and the tests' recording uiautomationcore.dll.
// Values and the method order are those of Microsoft's uiautomationcore.idl,
// uiautomationcoreapi.h and uiautomationclient.h.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <uiautomationcore.h>

namespace quenda::uia {

constexpr LONG kRootObjectId = -25;
constexpr HRESULT kElementNotAvailable = static_cast<HRESULT>(0x80040201);
constexpr HRESULT kInvalidOperation = static_cast<HRESULT>(0x80131509);

constexpr PATTERNID kWindowPatternId = 10009;
constexpr PROPERTYID kControlTypePropertyId = 30003;
constexpr PROPERTYID kNamePropertyId = 30005;
constexpr PROPERTYID kIsWindowPatternAvailablePropertyId = 30044;
// Windows 10 1809 and later; older systems never ask for it.
constexpr PROPERTYID kIsDialogPropertyId = 30174;
constexpr int kWindowControlTypeId = 50032;

constexpr int kNotificationKindActionCompleted = 2;
constexpr int kNotificationKindOther = 4;
constexpr int kNotificationProcessingImportantAll = 0;
constexpr int kNotificationProcessingImportantMostRecent = 1;

constexpr int kVisualStateNormal = 0;
constexpr int kVisualStateMaximized = 1;
constexpr int kVisualStateMinimized = 2;
constexpr int kInteractionReadyForUserInteraction = 2;

// {987DF77B-DB06-4D77-8F8A-86A9C3BB90B9}
constexpr GUID kIidWindowProvider = {0x987df77b, 0xdb06, 0x4d77, {0x8f, 0x8a, 0x86, 0xa9, 0xc3, 0xbb, 0x90, 0xb9}};

// The Window control pattern. The enumerations travel as int, as they do in the ABI.
struct IWindowProvider : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetVisualState(int state) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE WaitForInputIdle(int milliseconds, BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CanMaximize(BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CanMinimize(BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsModal(BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WindowVisualState(int* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WindowInteractionState(int* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsTopmost(BOOL* result) = 0;
};

}  // namespace quenda::uia
