// The four exports and the library's load and unload. Nothing thrown inside may cross them.
#include <windows.h>

#include "QuendaAccess.h"
#include "QuendaDlg.h"
#include "QuendaMain.h"
#include "QuendaRegistry.h"
#include "QuendaTrace.h"
#include "QuendaUtil.h"
#include "WindowsVersions.h"
#include "quenda.h"

namespace {

// Runs an export's body; nothing thrown leaves it. With `traceAnswer` the answer is traced here.
template <typename Body>
uint32_t Answer(const char* name, bool traceAnswer, Body body) noexcept {
    try {
        const uint32_t answer = body();
        if (traceAnswer) QUENDA_TRACE(name, "answer %u", answer);
        return answer;
    } catch (...) {
        QUENDA_TRACE(name, "answer 87: failed inside the library");
        return QUENDA_INVALID_PARAMETER;
    }
}

}  // namespace

extern "C" {

// Each export ends with DepartFromLibrary: after it, only the return to the driver runs.

uint32_t __stdcall OnKeyPressed(uint32_t keyEvent, uint32_t ignored) {
    quenda::ArriveInLibrary();
    QUENDA_TRACE("OnKeyPressed", "key %u, %u", keyEvent, ignored);
    const uint32_t answer = Answer("OnKeyPressed", true, [&] { return quenda::KeyPressed(keyEvent); });
    quenda::DepartFromLibrary();
    return answer;
}

uint32_t __stdcall EndDlg(uint32_t endResult) {
    quenda::ArriveInLibrary();
    QUENDA_TRACE("EndDlg", "outcome %u", endResult);
    const uint32_t answer = Answer("EndDlg", true, [&] { return quenda::EndDialogWith(endResult); });
    quenda::DepartFromLibrary();
    return answer;
}

// A start call holds the library from its first statement, while the driver's own reference still
// stands, until its prompt is up: the first show, paint and UI Automation use may need the loader
// lock that an unload holds while it waits for thread A. A FreeLibrary that races even this
// statement cannot be survived by any library.

uint32_t __stdcall StartDlgEx(const DlgParams* params, uint32_t mode, uint32_t ignored,
                              CancelCallback callback) {
    const HMODULE hold = quenda::HoldLibrary();
    quenda::ArriveInLibrary();
    quenda::SetTraceSwitchAtStart(quenda::ReadTraceSwitch(), quenda::StartCallRunning());
    QUENDA_TRACE("StartDlgEx", "record %p, mode %u, %u, callback %p", static_cast<const void*>(params), mode,
                 ignored, reinterpret_cast<void*>(callback));
    const uint32_t answer = Answer(
        "StartDlgEx", false, [&] { return quenda::StartDialog(hold, params, mode, callback, "StartDlgEx"); });
    quenda::DepartFromLibrary();
    return answer;
}

uint32_t __stdcall StartDlg(uint32_t mode, uint32_t ignored, CancelCallback callback) {
    const HMODULE hold = quenda::HoldLibrary();
    quenda::ArriveInLibrary();
    quenda::SetTraceSwitchAtStart(quenda::ReadTraceSwitch(), quenda::StartCallRunning());
    QUENDA_TRACE("StartDlg", "mode %u, %u, callback %p", mode, ignored, reinterpret_cast<void*>(callback));
    const uint32_t answer = Answer(
        "StartDlg", false, [&] { return quenda::StartDialog(hold, nullptr, mode, callback, "StartDlg"); });
    quenda::DepartFromLibrary();
    return answer;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            quenda::RestartTracing();
            quenda::InitDialogModule();
            quenda::InitWindowsVersions();
            quenda::InitMainModule();
            break;
        case DLL_PROCESS_DETACH: {
            // A non-null `reserved` means the process is exiting: its other threads are gone.
            const bool processExiting = reserved != nullptr;
            // The unload holds the loader lock from here on: the prompt's thread must not load
            // or look up anything while it shows the cancel outcome.
            quenda::StopAnnouncing();
            quenda::FinalizeMainModule(processExiting);
            quenda::FinalizeDialogModule(processExiting);
            break;
        }
        default:
            break;
    }
    return TRUE;
}

}  // extern "C"
