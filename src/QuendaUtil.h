// Small routines the rest of the library shares.
#pragma once

#include <windows.h>

#include <atomic>
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

// A reference of the library's own on its module, so that an unload cannot unmap the code a
// thread still needs; null when none could be taken.
HMODULE HoldLibrary() noexcept;
// Lets go of such a reference on a thread-pool thread, which the pool frees after its callback
// has returned: never on a thread that would return into the library afterwards. Without the
// pool the reference stays, and the library is never unloaded, which is safe.
void LetGoOfLibraryLater(HMODULE module) noexcept;

// Every call in from outside (the exports, the screen-reader provider's release) counts itself
// from its first statement to its last, so that the unload can tell when no thread will return
// into the library's code any more.
namespace detail {
extern std::atomic<long> gCallsIn;
}  // namespace detail
inline void ArriveInLibrary() noexcept { detail::gCallsIn.fetch_add(1, std::memory_order_acq_rel); }
// Nothing of the library may run after this but the caller's own return.
inline void DepartFromLibrary() noexcept { detail::gCallsIn.fetch_sub(1, std::memory_order_release); }

}  // namespace quenda
