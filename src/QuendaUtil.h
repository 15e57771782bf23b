// Small routines the rest of the library shares.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "QuendaRules.h"

namespace quenda {

// Keeps the calling thread's messages flowing for `milliseconds`, blocking between messages
// instead of spinning. A WM_QUIT taken meanwhile is posted again before returning.
void PumpMessagesFor(uint32_t milliseconds);

// Name of a window station or desktop, or "???" when it cannot be read.
std::string GetUserObjectName(HANDLE object);

RECT MakeRect(LONG left, LONG top, LONG right, LONG bottom);
POINT MakePoint(LONG x, LONG y);

// The module the library's code lives in: Quenda.dll, or the test program that links it.
HMODULE ThisModule();

}  // namespace quenda
