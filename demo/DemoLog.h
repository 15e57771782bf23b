// Step-by-step output of the demo, one line at a time from any thread.
#ifndef QUENDA_DEMO_LOG_H
#define QUENDA_DEMO_LOG_H

namespace demo {

// Names the calling thread in the lines it logs ("A", "B", ...).
void SetThreadTag(const char* tag) noexcept;

// printf-style; prefixes the milliseconds since the first line and the thread's tag.
void Log(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

} // namespace demo

#endif
