// Field diagnostics: one short ASCII line per event through OutputDebugStringA, switched on by
// the registry value Trace (REG_DWORD 1). Off, a trace site costs one atomic load and formats
// nothing; writing a line takes no lock, allocates nothing and loads nothing, so it may run under
// the loader lock and from any thread.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>

#include "quenda.h"

namespace quenda {

namespace detail {
extern std::atomic<bool> gTraceOn;
}  // namespace detail

inline bool TraceOn() noexcept { return detail::gTraceOn.load(std::memory_order_relaxed); }

// Longest line written, the terminating newline included; longer facts end in "...".
inline constexpr size_t kTraceLineMax = 256;

// "Quenda <pid> <tid> <step>: <facts>\n" into `out`. The format knows %s %c %d %u %x %p and %%,
// with the length modifiers l, ll and z and a zero-padded width for %x. Text arguments may be
// null; every byte outside printable ASCII becomes '?'. Gives the length written.
size_t FormatTraceLine(char* out, size_t capacity, unsigned long pid, unsigned long tid, const char* step,
                       const char* format, va_list args) noexcept;

// Formats one line on the stack and hands it to OutputDebugStringA. Call through QUENDA_TRACE.
// clang rejects the gnu_printf archetype under -Werror; its printf archetype checks the same.
#if defined(__clang__)
void WriteTraceLine(const char* step, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
#else
void WriteTraceLine(const char* step, const char* format, ...) noexcept
    __attribute__((format(gnu_printf, 2, 3)));
#endif

// Trace (REG_DWORD) under the library's key is exactly 1: one key open, one value query.
bool ReadTraceSwitch() noexcept;

// Every start call reads the switch afresh. The value read governs from then on, but a start call
// made while another runs can switch the trace on, never off under that call's prompt.
void ReadTraceSwitchAtStart(bool anotherStartCallRuns) noexcept;

// The record as the start call took it; texts by TextId and length only.
void TraceTakenRecord(const DlgParams* driver, const DlgParams& taken) noexcept;

}  // namespace quenda

// Arguments are evaluated only while the trace is on.
#define QUENDA_TRACE(step, ...)                                                 \
    do {                                                                        \
        if (::quenda::TraceOn()) ::quenda::WriteTraceLine((step), __VA_ARGS__); \
    } while (false)
