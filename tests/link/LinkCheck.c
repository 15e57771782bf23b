/* A driver that links Quenda.dll through an import library instead of GetProcAddress.
 * Exit code 0 when every check held; each failure is printed. */
#include <stdio.h>
#include <windows.h>

#include "quenda.h"

/* The import address table slots the linker filled from the import library. The 32-bit
 * stubs keep the stdcall decoration while the DLL's names are undecorated. */
#if defined(_WIN64)
#define QUENDA_IMP(name, bytes) "__imp_" #name
#else
#define QUENDA_IMP(name, bytes) "__imp__" #name "@" #bytes
#endif
extern void* impOnKeyPressed __asm__(QUENDA_IMP(OnKeyPressed, 8));
extern void* impEndDlg __asm__(QUENDA_IMP(EndDlg, 4));
extern void* impStartDlgEx __asm__(QUENDA_IMP(StartDlgEx, 16));
extern void* impStartDlg __asm__(QUENDA_IMP(StartDlg, 12));

static int failures;

static void Expect(int ok, const char* what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

static void ExpectBound(HMODULE dll, void* slot, const char* name, WORD ordinal) {
    char what[96];
    snprintf(what, sizeof what, "import of %s is the export by name", name);
    Expect(slot == (void*)GetProcAddress(dll, name), what);
    snprintf(what, sizeof what, "import of %s is ordinal %u", name, (unsigned)ordinal);
    Expect(slot == (void*)GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)), what);
}

int main(void) {
    /* Already loaded by the loader because this program imports from it. */
    HMODULE dll = GetModuleHandleA("Quenda.dll");
    Expect(dll != NULL, "Quenda.dll was loaded with the program");
    if (dll == NULL) return 1;

    ExpectBound(dll, impOnKeyPressed, "OnKeyPressed", 1);
    ExpectBound(dll, impEndDlg, "EndDlg", 2);
    ExpectBound(dll, impStartDlgEx, "StartDlgEx", 3);
    ExpectBound(dll, impStartDlg, "StartDlg", 4);

    /* Calls that must be refused without opening a prompt; a wrong stdcall byte count in the
     * import library would unbalance the stack of a 32-bit caller here. */
    Expect(OnKeyPressed(QUENDA_KEY_DIGIT, 0) == QUENDA_INVALID_PARAMETER, "OnKeyPressed with no prompt is 87");
    Expect(EndDlg(QUENDA_END_CANCEL) == QUENDA_INVALID_PARAMETER, "EndDlg with no prompt is 87");
    Expect(StartDlg(3, 0, NULL) == QUENDA_INVALID_PARAMETER, "StartDlg with mode 3 is 87");
    DlgParams params = {0};
    params.Size = -1;
    Expect(StartDlgEx(&params, QUENDA_MODE_ENTER_PIN, 0, NULL) == QUENDA_INVALID_PARAMETER,
           "StartDlgEx with a negative Size is 87");

    if (failures == 0) printf("import library link check passed\n");
    return failures == 0 ? 0 : 1;
}
