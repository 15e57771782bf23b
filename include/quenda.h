/* Quenda.dll: on-screen PIN prompt for smart-card readers with their own keypad.
 *
 * The one definition of the driver-facing ABI; the DLL is built from this header too.
 *
 * Calling order:
 *   1. Thread A (may own windows): StartDlg or StartDlgEx. Runs the prompt modally and returns 0
 *      once it has closed (87 for an invalid mode or record).
 *   2. Thread B, while thread A is inside the start call: OnKeyPressed for every keypad event.
 *   3. Thread B: EndDlg with the outcome. Shows it for two seconds, closes the prompt, returns 0.
 * A click on Cancel calls the CancelCallback with 1 in thread A; the prompt stays open until EndDlg.
 * OnKeyPressed and EndDlg answer 87 while no prompt is open.
 */
#ifndef QUENDA_H
#define QUENDA_H

#include <stdint.h>

#if defined(_WIN32)
#define QUENDA_CALL __stdcall
#else
#define QUENDA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of every export. */
enum { QUENDA_OK = 0, QUENDA_INVALID_PARAMETER = 87 };

/* DlgMode: which prompt StartDlg/StartDlgEx opens with. */
enum {
    QUENDA_MODE_ENTER_PIN = 1, /* "Please enter PIN." */
    QUENDA_MODE_OLD_PIN = 2,   /* "Please enter old PIN." */
    QUENDA_MODE_NEW_PIN = 5    /* "Please enter new PIN." */
};

/* KeyEvent: keypad events passed to OnKeyPressed. Other codes are accepted and ignored. */
enum {
    QUENDA_KEY_DIGIT = 1,          /* append one mark to the echo */
    QUENDA_KEY_CLEAR = 2,          /* clear the echo */
    QUENDA_KEY_BACKSPACE = 8,      /* drop the last mark */
    QUENDA_KEY_NEW_PIN = 16,       /* prompt "enter new PIN", clear echo and outcome */
    QUENDA_KEY_CONFIRM_PIN = 17    /* prompt "confirm new PIN", clear echo and outcome */
};

/* EndResult: outcome passed to EndDlg. Other codes close the prompt without an outcome text. */
enum {
    QUENDA_END_CANCEL = 1,   /* "PIN entry cancelled!", dark red */
    QUENDA_END_TIMEOUT = 2,  /* "Timout for PIN entry!", dark red */
    QUENDA_END_PIN_OK = 3,   /* "PIN ok.", black */
    QUENDA_END_PIN_ERROR = 4,/* "PIN error!", dark red */
    QUENDA_END_NO_MATCH = 5  /* "PINs don't match!", dark red */
};

/* Flags bit 0: keep the calling thread's window station and desktop. */
enum { QUENDA_FLAG_KEEP_DESKTOP = 1 };

/* TextId k (1..10) is Texts[k - 1]. */
enum {
    QUENDA_TEXT_ENTER_PIN = 1,
    QUENDA_TEXT_OLD_PIN = 2,
    QUENDA_TEXT_NEW_PIN = 3,
    QUENDA_TEXT_CONFIRM_PIN = 4,
    QUENDA_TEXT_PIN_OK = 5,
    QUENDA_TEXT_PIN_ERROR = 6,
    QUENDA_TEXT_PIN_NO_MATCH = 7,
    QUENDA_TEXT_END_CANCEL = 8,
    QUENDA_TEXT_END_TIMEOUT = 9,
    QUENDA_TEXT_CANCEL = 10,
    QUENDA_TEXT_COUNT = 10
};

/* The driver's parameter record. The library copies min(Size, sizeof(DlgParams)) leading bytes
 * and never keeps a pointer to the record; the strings it points to must stay valid until EndDlg
 * or the start call has returned. Zero numbers take their defaults. */
typedef struct DlgParams {
    int32_t Size;              /* bytes of this record the library takes; negative is refused */
    uint32_t Flags;            /* QUENDA_FLAG_KEEP_DESKTOP */
    const char* Texts[QUENDA_TEXT_COUNT]; /* per-TextId replacement texts (ANSI), or NULL */
    uint32_t ExtraWidth;       /* pixels added to the 135-pixel middle band (band at most 600) */
    uint32_t PromptTop;        /* 1..150, default 25 */
    uint32_t EchoTop;          /* 1..150, default 50 */
    uint32_t ResultTop;        /* 1..150, default 100 */
    const char* WinStation;    /* window station to show the prompt on, or NULL */
    const char* Desktop;       /* desktop to show the prompt on, or NULL for the input desktop */
    uint32_t Reserved;
} DlgParams;

/* Called in thread A with 1 when the user clicks Cancel. */
typedef void(QUENDA_CALL* CancelCallback)(int32_t reason);

/* Ordinal 1 */ uint32_t QUENDA_CALL OnKeyPressed(uint32_t keyEvent, uint32_t ignored);
/* Ordinal 2 */ uint32_t QUENDA_CALL EndDlg(uint32_t endResult);
/* Ordinal 3 */ uint32_t QUENDA_CALL StartDlgEx(const DlgParams* params, uint32_t mode,
                                                uint32_t ignored, CancelCallback callback);
/* Ordinal 4 */ uint32_t QUENDA_CALL StartDlg(uint32_t mode, uint32_t ignored,
                                              CancelCallback callback);

typedef uint32_t(QUENDA_CALL* OnKeyPressedFn)(uint32_t, uint32_t);
typedef uint32_t(QUENDA_CALL* EndDlgFn)(uint32_t);
typedef uint32_t(QUENDA_CALL* StartDlgExFn)(const DlgParams*, uint32_t, uint32_t, CancelCallback);
typedef uint32_t(QUENDA_CALL* StartDlgFn)(uint32_t, uint32_t, CancelCallback);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layout is shared with drivers byte for byte. */
#if defined(__cplusplus)
#include <cstddef>
#define QUENDA_ASSERT_LAYOUT(cond, msg) static_assert(cond, msg)
#else
#include <stddef.h>
#define QUENDA_ASSERT_LAYOUT(cond, msg) _Static_assert(cond, msg)
#endif
#if UINTPTR_MAX == 0xFFFFFFFFu
QUENDA_ASSERT_LAYOUT(sizeof(DlgParams) == 76, "DlgParams is 76 bytes");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Size) == 0, "Size at 0");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Flags) == 4, "Flags at 4");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Texts) == 8, "Texts at 8");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, ExtraWidth) == 48, "ExtraWidth at 48");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, PromptTop) == 52, "PromptTop at 52");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, EchoTop) == 56, "EchoTop at 56");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, ResultTop) == 60, "ResultTop at 60");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, WinStation) == 64, "WinStation at 64");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Desktop) == 68, "Desktop at 68");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Reserved) == 72, "Reserved at 72");
#else
/* 64-bit build: pointers are 8 bytes with natural alignment. */
QUENDA_ASSERT_LAYOUT(sizeof(DlgParams) == 128, "DlgParams is 128 bytes");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Size) == 0, "Size at 0");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Flags) == 4, "Flags at 4");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Texts) == 8, "Texts at 8");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, ExtraWidth) == 88, "ExtraWidth at 88");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, PromptTop) == 92, "PromptTop at 92");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, EchoTop) == 96, "EchoTop at 96");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, ResultTop) == 100, "ResultTop at 100");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, WinStation) == 104, "WinStation at 104");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Desktop) == 112, "Desktop at 112");
QUENDA_ASSERT_LAYOUT(offsetof(DlgParams, Reserved) == 120, "Reserved at 120");
#endif
#undef QUENDA_ASSERT_LAYOUT

#endif /* QUENDA_H */
