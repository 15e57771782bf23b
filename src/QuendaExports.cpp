// The four exports and the library's load and unload. Nothing thrown inside may cross them.
#include <windows.h>

#include "QuendaAccess.h"
#include "QuendaDlg.h"
#include "QuendaMain.h"
#include "WindowsVersions.h"
#include "quenda.h"

extern "C" {

uint32_t __stdcall OnKeyPressed(uint32_t keyEvent, uint32_t /*ignored*/) {
    try {
        return quenda::KeyPressed(keyEvent);
    } catch (...) {
        return QUENDA_INVALID_PARAMETER;
    }
}

uint32_t __stdcall EndDlg(uint32_t endResult) {
    try {
        return quenda::EndDialogWith(endResult);
    } catch (...) {
        return QUENDA_INVALID_PARAMETER;
    }
}

uint32_t __stdcall StartDlgEx(const DlgParams* params, uint32_t mode,
                                                    uint32_t /*ignored*/, CancelCallback callback) {
    try {
        return quenda::StartDialog(params, mode, callback);
    } catch (...) {
        return QUENDA_INVALID_PARAMETER;
    }
}

uint32_t __stdcall StartDlg(uint32_t mode, uint32_t /*ignored*/,
                                                  CancelCallback callback) {
    try {
        return quenda::StartDialog(nullptr, mode, callback);
    } catch (...) {
        return QUENDA_INVALID_PARAMETER;
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
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
