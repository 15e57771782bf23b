#include "QuendaUtil.h"

#include <optional>

namespace quenda {

void PumpMessagesFor(uint32_t milliseconds) {
    const uint32_t start = GetTickCount();
    std::optional<WPARAM> quitCode;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quitCode = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            // A steady stream of messages must not hold the caller past the deadline.
            if (DeadlinePassed(start, GetTickCount(), milliseconds)) break;
        }
        const uint32_t now = GetTickCount();
        if (DeadlinePassed(start, now, milliseconds)) break;
        // Wakes for posted, sent and input messages alike; sent ones are delivered by the Peek.
        MsgWaitForMultipleObjectsEx(0, nullptr, MillisecondsLeft(start, now, milliseconds), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
    if (quitCode) PostQuitMessage(static_cast<int>(*quitCode));
}

std::string GetUserObjectName(HANDLE object) {
    char buffer[255] = {};
    DWORD needed = 0;
    if (!object || !GetUserObjectInformationA(object, UOI_NAME, buffer, sizeof buffer, &needed))
        return "???";
    size_t length = needed & 0xFF;
    if (length > sizeof buffer) length = sizeof buffer;
    while (length > 0 && buffer[length - 1] == '\0') --length;
    return std::string(buffer, length);
}

RECT MakeRect(LONG left, LONG top, LONG right, LONG bottom) { return RECT{left, top, right, bottom}; }

POINT MakePoint(LONG x, LONG y) { return POINT{x, y}; }

namespace {
// The module is looked up once at load: GetModuleHandleEx may take the loader lock (Windows does
// not say; Wine's does), which the unloading thread holds while it waits for the dialog's thread.
HMODULE LookUpThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&LookUpThisModule), &module);
    return module;
}
const HMODULE gThisModule = LookUpThisModule();
}  // namespace

HMODULE ThisModule() { return gThisModule; }

namespace detail {
std::atomic<long> gCallsIn{0};
}  // namespace detail

HMODULE HoldLibrary() noexcept {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&HoldLibrary),
                            &module))
        return nullptr;
    return module;
}

namespace {

void CALLBACK LetGoOfLibrary(PTP_CALLBACK_INSTANCE instance, void* module) noexcept {
    // If this is the last reference, the unload runs on the pool's thread after the callback.
    FreeLibraryWhenCallbackReturns(instance, static_cast<HMODULE>(module));
}

}  // namespace

void LetGoOfLibraryLater(HMODULE module) noexcept {
    if (module) (void)TrySubmitThreadpoolCallback(&LetGoOfLibrary, module, nullptr);
}

}  // namespace quenda
