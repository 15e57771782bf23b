#include "QuendaTrace.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "WinHandles.h"

namespace quenda {

namespace detail {
std::atomic<bool> gTraceOn{false};
}  // namespace detail

namespace {
// Set by the unload: no start call switches the trace on again.
std::atomic<bool> gTraceStopped{false};
// Lines being handed to OutputDebugStringA, which waits up to 10 s per line for a reader that
// has stopped reading.
std::atomic<int> gLinesInFlight{0};
}  // namespace

namespace {

constexpr size_t kTextLengthScanMax = 100000;
// The prompt's width beyond its middle band: the left picture and the right edge.
constexpr uint32_t kFrameWidth = 171;

// Bounded writer: never reads a text further than the line can hold.
class LineWriter {
public:
    LineWriter(char* out, size_t capacity) noexcept : out_(out), limit_(capacity - 2) {}

    [[nodiscard]] bool Full() const noexcept { return length_ >= limit_; }

    void Put(char c) noexcept {
        if (Full()) {
            truncated_ = true;
            return;
        }
        const auto byte = static_cast<unsigned char>(c);
        out_[length_++] = byte >= 0x20 && byte < 0x7F ? c : '?';
    }

    void Text(const char* text) noexcept {
        if (!text) text = "(null)";
        for (; *text; ++text) {
            if (Full()) {
                truncated_ = true;
                return;
            }
            Put(*text);
        }
    }

    void Unsigned(unsigned long long value, unsigned base, int width) noexcept {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && count < static_cast<int>(sizeof digits));
        for (int pad = count; pad < width && pad < 20; ++pad) Put('0');
        while (count > 0) Put(digits[--count]);
    }

    void Signed(long long value) noexcept {
        if (value < 0) {
            Put('-');
            Unsigned(0ULL - static_cast<unsigned long long>(value), 10, 0);
        } else {
            Unsigned(static_cast<unsigned long long>(value), 10, 0);
        }
    }

    size_t Finish() noexcept {
        if (truncated_ && length_ >= 3) std::memcpy(out_ + length_ - 3, "...", 3);
        out_[length_++] = '\n';
        out_[length_] = '\0';
        return length_;
    }

private:
    char* out_;
    size_t limit_;
    size_t length_ = 0;
    bool truncated_ = false;
};

enum class Size { Int, Long, LongLong, SizeT };

void FormatInto(LineWriter& line, const char* format, va_list args) noexcept {
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            line.Put(*f);
            continue;
        }
        ++f;
        int width = 0;
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        Size size = Size::Int;
        if (*f == 'z') {
            size = Size::SizeT;
            ++f;
        } else if (*f == 'l') {
            size = Size::Long;
            if (*++f == 'l') {
                size = Size::LongLong;
                ++f;
            }
        }
        switch (*f) {
            case 's': line.Text(va_arg(args, const char*)); break;
            case 'c': line.Put(static_cast<char>(va_arg(args, int))); break;
            case 'd':
                switch (size) {
                    case Size::Int: line.Signed(va_arg(args, int)); break;
                    case Size::Long: line.Signed(va_arg(args, long)); break;
                    case Size::LongLong: line.Signed(va_arg(args, long long)); break;
                    case Size::SizeT: line.Signed(va_arg(args, ptrdiff_t)); break;
                }
                break;
            case 'u':
            case 'x': {
                unsigned long long value = 0;
                switch (size) {
                    case Size::Int: value = va_arg(args, unsigned); break;
                    case Size::Long: value = va_arg(args, unsigned long); break;
                    case Size::LongLong: value = va_arg(args, unsigned long long); break;
                    case Size::SizeT: value = va_arg(args, size_t); break;
                }
                line.Unsigned(value, *f == 'x' ? 16 : 10, width);
                break;
            }
            case 'p':
                line.Text("0x");
                line.Unsigned(reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, 0);
                break;
            case '%': line.Put('%'); break;
            case '\0': return;
            default: line.Put('?'); break;
        }
    }
}

void Append(LineWriter& line, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    FormatInto(line, format, args);
    va_end(args);
}

size_t BoundedLength(const char* text) noexcept {
    size_t length = 0;
    while (length < kTextLengthScanMax && text[length] != '\0') ++length;
    return length;
}

}  // namespace

size_t FormatTraceLine(char* out, size_t capacity, unsigned long pid, unsigned long tid, const char* step,
                       const char* format, va_list args) noexcept {
    if (!out || capacity < 8) return 0;
    LineWriter line(out, capacity);
    Append(line, "Quenda %lu %lu %s: ", pid, tid, step);
    FormatInto(line, format ? format : "", args);
    return line.Finish();
}

void WriteTraceLine(const char* step, const char* format, ...) noexcept {
    // Read before anything else here can replace it: callers pass it as a fact.
    const DWORD lastError = GetLastError();
    char text[kTraceLineMax];
    va_list args;
    va_start(args, format);
    FormatTraceLine(text, sizeof text, GetCurrentProcessId(), GetCurrentThreadId(), step, format, args);
    va_end(args);
    ++gLinesInFlight;
    OutputDebugStringA(text);
    --gLinesInFlight;
    // A trace line must not change what the traced code sees.
    SetLastError(lastError);
}

void SetTraceSwitchAtStart(bool on, bool anotherStartCallRuns) noexcept {
    if (gTraceStopped.load()) return;
    if (on || !anotherStartCallRuns) detail::gTraceOn.store(on);
}

void StopTracing() noexcept {
    gTraceStopped.store(true);
    detail::gTraceOn.store(false);
}

void RestartTracing() noexcept { gTraceStopped.store(false); }

bool TraceLineInFlight() noexcept { return gLinesInFlight.load() > 0; }

void TraceTakenRecord(const DlgParams* driver, const DlgParams& taken) noexcept {
    if (!TraceOn()) return;
    if (!driver) {
        WriteTraceLine("record", "none: band %u (window %u), tops %u/%u/%u", taken.ExtraWidth,
                       taken.ExtraWidth + kFrameWidth, taken.PromptTop, taken.EchoTop, taken.ResultTop);
        return;
    }
    char texts[96];
    LineWriter list(texts, sizeof texts);
    for (int id = 1; id <= QUENDA_TEXT_COUNT; ++id) {
        if (const char* text = taken.Texts[id - 1]) Append(list, " %d:%zu", id, BoundedLength(text));
    }
    const size_t listLength = list.Finish();
    texts[listLength - 1] = '\0';  // the writer ends a line; this is part of one
    WriteTraceLine("record",
                   "Size %d, Flags 0x%x, band %u (window %u), tops %u/%u/%u, station %s, desktop %s, texts%s",
                   driver->Size, taken.Flags, taken.ExtraWidth, taken.ExtraWidth + kFrameWidth,
                   taken.PromptTop, taken.EchoTop, taken.ResultTop, taken.WinStation ? "given" : "none",
                   taken.Desktop ? "given" : "none", listLength > 1 ? texts : " none");
}

}  // namespace quenda
