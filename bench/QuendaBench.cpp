// QuendaBench: loads Quenda.dll from its own folder like a reader driver and measures the prompt
// from outside: start and echo latency, CPU while the outcome shows and while the prompt waits,
// the cost of one full paint, and the process's resources around many prompts and repaints.
// Every figure is compared with a bare dialog measured in the same run. The trace's off path (the
// switch read of each start call, a trace site) is measured on its own, against those latencies.
//
// Paint ends are seen through a CBT hook of thread A: it subclasses every window that thread
// creates, and the subclass notes the time when WM_PAINT returns. The DLL is not changed.
#include <windows.h>
#include <psapi.h>

#include "QuendaRegistry.h"
#include "QuendaTrace.h"
#include "WinHandles.h"
#include "quenda.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using quenda::UniqueBrush;
using quenda::UniqueKernelHandle;
using quenda::UniqueModule;
using UniqueHook = quenda::UniqueHandle<HHOOK, UnhookWindowsHookEx>;

constexpr DWORD kWaitMs = 5000;

// ---------------------------------------------------------------------------------------------
// Clock and CPU

double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER c{};
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / perMs;
}

// User + kernel time of this process, in milliseconds.
double ProcessCpuMs() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// ---------------------------------------------------------------------------------------------
// Paint watch: what the subclass of thread A's windows saw. One thread A at a time.

struct PaintWatch {
    std::atomic<HWND> dialog{nullptr};        // the top-level dialog thread A created last
    std::atomic<uint32_t> dialogPaints{0};    // WM_PAINT returns of that window
    std::atomic<double> lastDialogPaintEnd{0};
    std::atomic<bool> dialogPainted{false};
    std::atomic<bool> childPainted{false};
    std::atomic<double> firstCompleteEnd{0};  // window and all its children painted once
    HANDLE paintEvent = nullptr;              // auto-reset: set at every window paint end
    HANDLE completeEvent = nullptr;           // manual-reset: first complete paint
};
PaintWatch gWatch;

std::map<HWND, WNDPROC> gOriginalProcs;  // touched only by thread A

void NoteCompleteIfDone(HWND dialog) {
    if (gWatch.firstCompleteEnd.load() != 0.0 || !gWatch.dialogPainted.load()) return;
    if (GetWindow(dialog, GW_CHILD) && !gWatch.childPainted.load()) return;
    gWatch.firstCompleteEnd.store(NowMs());
    SetEvent(gWatch.completeEvent);
}

LRESULT CALLBACK WatchProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    const auto it = gOriginalProcs.find(wnd);
    const WNDPROC original = it != gOriginalProcs.end() ? it->second : nullptr;
    const LRESULT result = original ? CallWindowProcA(original, wnd, msg, wParam, lParam)
                                    : DefWindowProcA(wnd, msg, wParam, lParam);
    if (msg == WM_PAINT) {
        const double end = NowMs();
        const HWND dialog = gWatch.dialog.load();
        if (wnd == dialog) {
            gWatch.lastDialogPaintEnd.store(end);
            gWatch.dialogPaints.fetch_add(1);
            gWatch.dialogPainted.store(true);
            SetEvent(gWatch.paintEvent);
        } else if (dialog && GetParent(wnd) == dialog) {
            gWatch.childPainted.store(true);
        }
        if (dialog) NoteCompleteIfDone(dialog);
    } else if (msg == WM_NCDESTROY) {
        gOriginalProcs.erase(wnd);
    }
    return result;
}

LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam) noexcept {
    if (code == HCBT_CREATEWND) {
        const HWND wnd = reinterpret_cast<HWND>(wParam);
        const auto* create = reinterpret_cast<const CBT_CREATEWNDA*>(lParam);
        char className[16] = {};
        GetClassNameA(wnd, className, sizeof className);
        const bool dialog = !(create->lpcs->style & WS_CHILD) && std::strcmp(className, "#32770") == 0;
        if (dialog) {
            gWatch.dialogPaints.store(0);
            gWatch.dialogPainted.store(false);
            gWatch.childPainted.store(false);
            gWatch.firstCompleteEnd.store(0.0);
            gWatch.dialog.store(wnd);
        }
        const auto old = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchProc)));
        gOriginalProcs[wnd] = old;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------
// The bare dialog: an empty in-memory template, sized like the prompt, trivial WM_PAINT.

struct BareSize {
    int width = 300;
    int height = 150;
};
BareSize gBareSize;

INT_PTR CALLBACK BareDialogProc(HWND wnd, UINT msg, WPARAM, LPARAM) noexcept {
    switch (msg) {
        case WM_INITDIALOG: {
            const int x = (GetSystemMetrics(SM_CXSCREEN) - gBareSize.width) / 2;
            const int y = (GetSystemMetrics(SM_CYSCREEN) - gBareSize.height) / 2;
            SetWindowPos(wnd, HWND_TOPMOST, x, y, gBareSize.width, gBareSize.height, 0);
            return TRUE;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps{};
            const HDC dc = BeginPaint(wnd, &ps);
            FillRect(dc, &ps.rcPaint, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
            EndPaint(wnd, &ps);
            return TRUE;
        }
        case WM_CLOSE:
            EndDialog(wnd, 0);
            return TRUE;
        default:
            return FALSE;
    }
}

struct alignas(4) BareTemplate {
    DLGTEMPLATE header;
    WORD menu = 0;
    WORD windowClass = 0;
    WORD title = 0;
    WORD pad = 0;
};

// ---------------------------------------------------------------------------------------------
// Thread A: one long-lived thread that runs a prompt or a bare dialog per command.

enum class Job { Quenda, Bare, Quit };

struct Exports {
    OnKeyPressedFn onKeyPressed = nullptr;
    EndDlgFn endDlg = nullptr;
    StartDlgFn startDlg = nullptr;
};

struct ThreadA {
    Exports fns;
    std::atomic<Job> job{Job::Quit};
    std::atomic<double> startCall{0};
    std::atomic<uint32_t> lastResult{0};
    UniqueKernelHandle go{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    UniqueKernelHandle done{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    UniqueKernelHandle thread;
    DWORD threadId = 0;
};

void QUENDA_CALL OnCancel(int32_t) noexcept {}

DWORD WINAPI ThreadAProc(void* context) noexcept {
    auto* a = static_cast<ThreadA*>(context);
    // Installed by thread A itself, for itself, before any start call.
    const UniqueHook hook(SetWindowsHookExA(WH_CBT, &CbtProc, nullptr, GetCurrentThreadId()));
    BareTemplate bare{};
    bare.header.style = WS_POPUP | WS_VISIBLE;
    for (;;) {
        WaitForSingleObject(a->go.get(), INFINITE);
        const Job job = a->job.load();
        if (job == Job::Quit) break;
        ResetEvent(gWatch.completeEvent);
        a->startCall.store(NowMs());
        if (job == Job::Quenda) {
            a->lastResult.store(a->fns.startDlg(QUENDA_MODE_ENTER_PIN, 0, &OnCancel));
        } else {
            DialogBoxIndirectParamA(GetModuleHandleA(nullptr), &bare.header, nullptr, &BareDialogProc, 0);
            a->lastResult.store(0);
        }
        SetEvent(a->done.get());
    }
    return 0;
}

// Starts a job in thread A and waits for its first complete paint; the dialog, or null.
HWND Open(ThreadA& a, Job job, double* latencyMs = nullptr) {
    gWatch.dialog.store(nullptr);
    ResetEvent(gWatch.completeEvent);
    a.job.store(job);
    SetEvent(a.go.get());
    HANDLE waits[2] = {gWatch.completeEvent, a.done.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, kWaitMs) != WAIT_OBJECT_0) return nullptr;
    if (latencyMs) *latencyMs = gWatch.firstCompleteEnd.load() - a.startCall.load();
    return gWatch.dialog.load();
}

bool CloseAndWait(ThreadA& a, HWND dialog) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    return WaitForSingleObject(a.done.get(), kWaitMs) == WAIT_OBJECT_0;
}

// Waits for the dialog's next paint end after `before` paints; its time, or a negative number.
double WaitPaintAfter(uint32_t before) {
    const double deadline = NowMs() + kWaitMs;
    while (gWatch.dialogPaints.load() <= before) {
        if (NowMs() > deadline) return -1.0;
        WaitForSingleObject(gWatch.paintEvent, 50);
    }
    return gWatch.lastDialogPaintEnd.load();
}

// ---------------------------------------------------------------------------------------------
// Resources of this process

// Entries of the GDI handle table (Wine's layout: 24 bytes; ProcessId at 8, Type at 14).
struct GdiCount {
    long withType = 0;
    long ownProcess = 0;
};

GdiCount CountGdi() {
    GdiCount count;
    // The TEB points at the PEB, which holds the table; the same offsets on x64 and ARM64.
    const auto* teb = reinterpret_cast<const BYTE*>(NtCurrentTeb());
#if defined(_WIN64)
    const BYTE* peb = *reinterpret_cast<const BYTE* const*>(teb + 0x60);
    const auto* table = *reinterpret_cast<const BYTE* const*>(peb + 0xF8);
#else
    const BYTE* peb = *reinterpret_cast<const BYTE* const*>(teb + 0x30);
    const auto* table = *reinterpret_cast<const BYTE* const*>(peb + 0x94);
#endif
    if (!table) return {-1, -1};
    const auto pid = static_cast<USHORT>(GetCurrentProcessId());
    for (size_t i = 0; i < 65536; ++i) {
        const BYTE* entry = table + i * 24;
        if (entry[14] == 0) continue;
        ++count.withType;
        USHORT owner = 0;
        std::memcpy(&owner, entry + 8, sizeof owner);
        if (owner == pid) ++count.ownProcess;
    }
    return count;
}

BOOL CALLBACK CountChild(HWND, LPARAM counter) {
    ++*reinterpret_cast<long*>(counter);
    return TRUE;
}

BOOL CALLBACK CountTop(HWND wnd, LPARAM counter) {
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    if (pid != GetCurrentProcessId()) return TRUE;
    ++*reinterpret_cast<long*>(counter);
    EnumChildWindows(wnd, &CountChild, counter);
    return TRUE;
}

long CountWindows() {
    long count = 0;
    EnumWindows(&CountTop, reinterpret_cast<LPARAM>(&count));
    return count;
}

long CountHandles() {
    long count = 0;
    for (uintptr_t value = 4; value <= 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// Private committed bytes: PrivateUsage, or a walk of the address space where that reads 0.
long long PrivateBytes(bool* walked) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters) &&
        counters.PrivateUsage != 0) {
        *walked = false;
        return static_cast<long long>(counters.PrivateUsage);
    }
    *walked = true;
    long long total = 0;
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    auto* address = static_cast<BYTE*>(info.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION mbi{};
    while (address < static_cast<BYTE*>(info.lpMaximumApplicationAddress) &&
           VirtualQuery(address, &mbi, sizeof mbi) == sizeof mbi) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) total += static_cast<long long>(mbi.RegionSize);
        address = static_cast<BYTE*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    return total;
}

// Bytes in busy blocks of every heap of the process: finer than committed pages.
long long HeapBusyBytes() {
    HANDLE heaps[64] = {};
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    long long total = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += static_cast<long long>(entry.cbData);
        HeapUnlock(heaps[i]);
    }
    return total;
}

struct Resources {
    long gdi = 0;
    long user = 0;
    long handles = 0;
    long long memory = 0;
    long long heap = 0;
};

bool gGdiOwnColumn = true;  // decided by the +200 brush check
bool gMemoryWalked = false;

Resources Snapshot() {
    Resources r;
    const GdiCount g = CountGdi();
    r.gdi = gGdiOwnColumn ? g.ownProcess : g.withType;
    r.user = CountWindows();
    r.handles = CountHandles();
    r.memory = PrivateBytes(&gMemoryWalked);
    r.heap = HeapBusyBytes();
    return r;
}

// ---------------------------------------------------------------------------------------------
// Report

struct Row {
    std::string figure;
    std::string value;
    std::string baseline;
    std::string ratio;
    std::string goal;
    bool met = false;
};
std::vector<Row> gRows;

std::string Fmt(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// A failure with thread A possibly still inside the DLL: ends the process without unloading it.
[[noreturn]] void Fail(const char* what) {
    Print("FAILED: %s\n", what);
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

}  // namespace

int main() {
    gWatch.paintEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    gWatch.completeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const UniqueKernelHandle paintEventOwner(gWatch.paintEvent);
    const UniqueKernelHandle completeEventOwner(gWatch.completeEvent);
    gRows.reserve(16);

    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    dir.erase(dir.find_last_of("\\/") + 1);
    const UniqueModule module(LoadLibraryExA((dir + "Quenda.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) {
        Print("LoadLibrary(%sQuenda.dll) failed, error %lu\n", dir.c_str(), GetLastError());
        return 1;
    }
    ThreadA a;
    a.fns.onKeyPressed = reinterpret_cast<OnKeyPressedFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module.get(), "OnKeyPressed")));
    a.fns.endDlg = reinterpret_cast<EndDlgFn>(reinterpret_cast<void (*)()>(GetProcAddress(module.get(), "EndDlg")));
    a.fns.startDlg =
        reinterpret_cast<StartDlgFn>(reinterpret_cast<void (*)()>(GetProcAddress(module.get(), "StartDlg")));
    if (!a.fns.onKeyPressed || !a.fns.endDlg || !a.fns.startDlg) {
        Print("Quenda.dll lacks an export\n");
        return 1;
    }
    a.thread.reset(CreateThread(nullptr, 0, &ThreadAProc, &a, 0, &a.threadId));
    if (!a.thread) return 1;
    const double runStart = NowMs();
    double startLatencyMs = 0;
    double echoLatencyMs = 0;

    // GDI counter check: +200 brushes must show as +200.
    {
        const GdiCount before = CountGdi();
        std::vector<UniqueBrush> brushes;
        for (int i = 0; i < 200; ++i) brushes.emplace_back(CreateSolidBrush(RGB(i, 1, 2)));
        const GdiCount after = CountGdi();
        brushes.clear();
        const GdiCount freed = CountGdi();
        gGdiOwnColumn = after.ownProcess - before.ownProcess == 200;
        Print("GDI counter check: 200 brushes -> +%ld entries of this process, +%ld typed entries; after "
              "freeing %+ld; counting %s\n",
              after.ownProcess - before.ownProcess, after.withType - before.withType,
              freed.withType - before.withType, gGdiOwnColumn ? "own-process entries" : "typed entries");
    }

    // Memory counter check: 1 MiB committed privately must show as +1024 KiB; 100 KiB of heap blocks
    // as +100 KiB busy.
    {
        bool walked = false;
        const long long before = PrivateBytes(&walked);
        const long long heapBefore = HeapBusyBytes();
        void* block = VirtualAlloc(nullptr, 1 << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        void* small = HeapAlloc(GetProcessHeap(), 0, 100 * 1024);
        const long long after = PrivateBytes(&walked);
        const long long heapAfter = HeapBusyBytes();
        if (block) VirtualFree(block, 0, MEM_RELEASE);
        if (small) HeapFree(GetProcessHeap(), 0, small);
        Print("memory counter check: VirtualAlloc 1024 KiB -> %+lld KiB private (%s); HeapAlloc 100 KiB -> %+lld "
              "KiB busy heap\n",
              (after - before) / 1024, walked ? "VirtualQuery walk, PrivateUsage reads 0" : "PrivateUsage",
              (heapAfter - heapBefore) / 1024);
    }

    // Warm-up prompt, also gives the prompt's size for the bare dialog.
    {
        HWND dialog = Open(a, Job::Quenda);
        if (!dialog) {
            Fail("the warm-up prompt did not paint");
        }
        RECT rect{};
        GetWindowRect(dialog, &rect);
        gBareSize.width = rect.right - rect.left;
        gBareSize.height = rect.bottom - rect.top;
        Print("prompt window %dx%d\n", gBareSize.width, gBareSize.height);
        if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
        dialog = Open(a, Job::Bare);
        if (!dialog || !CloseAndWait(a, dialog)) {
            Fail("the bare dialog did not paint");
        }
    }

    // 1. Start latency, alternating prompt and bare dialog.
    {
        std::vector<double> quenda, bare;
        for (int i = 0; i < 25; ++i) {
            for (Job job : {Job::Quenda, Job::Bare}) {
                double ms = 0;
                const HWND dialog = Open(a, job, &ms);
                if (!dialog) continue;
                (job == Job::Quenda ? quenda : bare).push_back(ms);
                Sleep(30);
                if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
            }
        }
        const double q = Median(quenda), b = Median(bare);
        Print("start latency: %d/%d samples\n", static_cast<int>(quenda.size()), static_cast<int>(bare.size()));
        startLatencyMs = q;
        gRows.push_back({"Start latency (start call -> first complete paint)", Fmt("%.2f ms", q),
                         Fmt("%.2f ms", b), Fmt("%.2fx", q / b), "<= 1.5x", q / b <= 1.5});
    }

    // 2. Echo latency: OnKeyPressed(1) from this thread -> end of the next paint.
    {
        std::vector<double> quenda, bare;
        HWND dialog = Open(a, Job::Quenda);
        if (!dialog) Fail("no first paint of a dialog");
        Sleep(100);
        const uint32_t paintsAtStart = gWatch.dialogPaints.load();
        for (int i = 0; i < 40; ++i) {
            uint32_t before = gWatch.dialogPaints.load();
            const double t0 = NowMs();
            a.fns.onKeyPressed(QUENDA_KEY_DIGIT, 0);
            const double end = WaitPaintAfter(before);
            if (end > 0) quenda.push_back(end - t0);
            Sleep(15);
            before = gWatch.dialogPaints.load();
            a.fns.onKeyPressed(QUENDA_KEY_BACKSPACE, 0);  // keeps the echo short
            (void)WaitPaintAfter(before);
            Sleep(15);
        }
        Print("prompt paints during the 80 key events: %u\n", gWatch.dialogPaints.load() - paintsAtStart);
        if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
        dialog = Open(a, Job::Bare);
        if (!dialog) Fail("no first paint of a dialog");
        Sleep(100);
        for (int i = 0; i < 40; ++i) {
            const uint32_t before = gWatch.dialogPaints.load();
            const double t0 = NowMs();
            InvalidateRect(dialog, nullptr, FALSE);
            const double end = WaitPaintAfter(before);
            if (end > 0) bare.push_back(end - t0);
            Sleep(30);
        }
        if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
        const double q = Median(quenda), b = Median(bare);
        Print("echo latency: %d/%d samples\n", static_cast<int>(quenda.size()), static_cast<int>(bare.size()));
        echoLatencyMs = q;
        gRows.push_back({"Echo latency (OnKeyPressed(1) -> paint end)", Fmt("%.2f ms", q), Fmt("%.2f ms", b),
                         Fmt("%.2fx", q / b), "<= 2x and < 16.7 ms", q / b <= 2.0 && q < 16.7});
    }

    // 3. CPU over EndDlg's outcome display; the bare dialog sits open for as long meanwhile.
    {
        std::vector<double> quenda, bare, walls;
        for (int i = 0; i < 3; ++i) {
            const HWND dialog = Open(a, Job::Quenda);
            if (!dialog) Fail("no first paint of a dialog");
            Sleep(100);
            const double c0 = ProcessCpuMs(), t0 = NowMs();
            a.fns.endDlg(QUENDA_END_PIN_OK);
            const double wall = NowMs() - t0;
            quenda.push_back(100.0 * (ProcessCpuMs() - c0) / wall);
            walls.push_back(wall);
            if (WaitForSingleObject(a.done.get(), kWaitMs) != WAIT_OBJECT_0) Fail("the start call did not return after EndDlg");
        }
        for (int i = 0; i < 3; ++i) {
            const HWND dialog = Open(a, Job::Bare);
            if (!dialog) Fail("no first paint of a dialog");
            Sleep(100);
            const double c0 = ProcessCpuMs(), t0 = NowMs();
            Sleep(static_cast<DWORD>(Median(walls)));
            bare.push_back(100.0 * (ProcessCpuMs() - c0) / (NowMs() - t0));
            if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
        }
        const double q = Median(quenda), b = Median(bare);
        Print("EndDlg wall time: median %.0f ms\n", Median(walls));
        gRows.push_back({"CPU during EndDlg outcome display (% of one core)", Fmt("%.2f %%", q), Fmt("%.2f %%", b),
                         b > 0 ? Fmt("%.2fx", q / b) : std::string("n/a (baseline 0)"), "< 2 %", q < 2.0});
    }

    // 4. CPU while a prompt sits open.
    {
        constexpr DWORD kOpenMs = 10000;
        double q = 0, b = 0;
        for (Job job : {Job::Quenda, Job::Bare}) {
            const HWND dialog = Open(a, job);
            if (!dialog) Fail("no first paint of a dialog");
            Sleep(100);
            const double c0 = ProcessCpuMs(), t0 = NowMs();
            Sleep(kOpenMs);
            (job == Job::Quenda ? q : b) = 100.0 * (ProcessCpuMs() - c0) / (NowMs() - t0);
            if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
        }
        gRows.push_back({"CPU while open, 10 s (% of one core)", Fmt("%.2f %%", q), Fmt("%.2f %%", b),
                         b > 0 ? Fmt("%.2fx", q / b) : std::string("n/a (baseline 0)"), "< 1 %", q < 1.0});
    }

    // 5. One full paint: forced repaints sent from this thread, each waited for.
    auto repaint = [](HWND dialog, int count, int* done) {
        *done = 0;
        const double t0 = NowMs();
        for (int i = 0; i < count; ++i) {
            const uint32_t before = gWatch.dialogPaints.load();
            RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
            if (WaitPaintAfter(before) < 0) break;
            ++*done;
        }
        return NowMs() - t0;
    };
    double barePaintMs = 0;
    {
        const HWND dialog = Open(a, Job::Bare);
        if (!dialog) Fail("no first paint of a dialog");
        Sleep(100);
        int done = 0;
        barePaintMs = repaint(dialog, 2000, &done) / std::max(done, 1);
        if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
    }

    // 6. Resources around many complete prompts and 10,000 forced repaints (one prompt warmed up).
    {
        double perPrompt = 0;
        {
            const double t0 = NowMs();
            for (int i = 0; i < 20; ++i) {
                const HWND dialog = Open(a, Job::Quenda);
                if (!dialog || !CloseAndWait(a, dialog)) Fail("a prompt did not open and close");
            }
            perPrompt = (NowMs() - t0) / 20.0;
        }
        const int prompts = std::min(1000, std::max(50, static_cast<int>(90000.0 / perPrompt)));
        Print("one prompt (open, first paint, WM_CLOSE, return): %.1f ms; running %d prompts\n", perPrompt, prompts);

        const Resources before = Snapshot();
        int opened = 0;
        Resources half;
        for (int i = 0; i < prompts; ++i) {
            if (i == prompts / 2) half = Snapshot();
            const HWND dialog = Open(a, Job::Quenda);
            if (!dialog || !CloseAndWait(a, dialog)) break;
            ++opened;
        }
        const Resources afterPrompts = Snapshot();
        const HWND dialog = Open(a, Job::Quenda);
        if (!dialog) Fail("no first paint of a dialog");
        Sleep(100);
        int painted = 0;
        Print("windows of this process while a prompt is open: %ld (counter check)\n", CountWindows());
        int paintedSecond = 0;
        double paintTotal = repaint(dialog, 5000, &painted);
        const Resources halfPaints = Snapshot();
        paintTotal += repaint(dialog, 5000, &paintedSecond);
        painted += paintedSecond;
        if (!CloseAndWait(a, dialog)) Fail("a dialog did not close");
        const Resources afterPaints = Snapshot();
        const Resources& after = afterPaints;
        Print("private bytes: %+lld KiB over the first half of the prompts, %+lld KiB over the second half, "
              "%+lld KiB over the first 5000 repaints, %+lld KiB over the next 5000; heap in use "
              "%+lld / %+lld / %+lld / %+lld bytes\n",
              (half.memory - before.memory) / 1024, (afterPrompts.memory - half.memory) / 1024,
              (halfPaints.memory - afterPrompts.memory) / 1024, (afterPaints.memory - halfPaints.memory) / 1024,
              half.heap - before.heap, afterPrompts.heap - half.heap, halfPaints.heap - afterPrompts.heap,
              afterPaints.heap - halfPaints.heap);
        const double paintMs = paintTotal / std::max(painted, 1);
        gRows.push_back({Fmt("Full paint cost (%.0f forced repaints)", painted), Fmt("%.3f ms", paintMs),
                         Fmt("%.3f ms", barePaintMs), Fmt("%.2fx", paintMs / barePaintMs), "report", true});
        const std::string what = Fmt("after %.0f prompts + ", opened) + Fmt("%.0f repaints", painted);
        gRows.push_back({"GDI objects " + what, Fmt("%.0f", after.gdi), Fmt("%.0f", before.gdi),
                         Fmt("%+.0f", after.gdi - before.gdi), "+0", after.gdi == before.gdi});
        gRows.push_back({"USER objects (windows) " + what, Fmt("%.0f", after.user), Fmt("%.0f", before.user),
                         Fmt("%+.0f", after.user - before.user), "+0", after.user == before.user});
        gRows.push_back({"Kernel handles " + what, Fmt("%.0f", after.handles), Fmt("%.0f", before.handles),
                         Fmt("%+.0f", after.handles - before.handles), "+0", after.handles == before.handles});
        const double growthKiB = static_cast<double>(after.memory - before.memory) / 1024.0;
        gRows.push_back({std::string(gMemoryWalked ? "Private bytes (VirtualQuery walk) " : "Private bytes ") + what,
                         Fmt("%.0f KiB", static_cast<double>(after.memory) / 1024.0),
                         Fmt("%.0f KiB", static_cast<double>(before.memory) / 1024.0), Fmt("%+.0f KiB", growthKiB),
                         "< +64 KiB", growthKiB < 64.0});
        const double heapKiB = static_cast<double>(after.heap - before.heap) / 1024.0;
        gRows.push_back({"Heap bytes in use " + what, Fmt("%.1f KiB", static_cast<double>(after.heap) / 1024.0),
                         Fmt("%.1f KiB", static_cast<double>(before.heap) / 1024.0), Fmt("%+.1f KiB", heapKiB),
                         "< +64 KiB", heapKiB < 64.0});
    }

    // 7. The trace switched off (the value absent, as in this run): what every start call and every
    // trace site adds. The same code as the DLL's, compiled in here so it can be timed alone.
    {
        if (quenda::ReadTraceSwitch()) Fail("the Trace value is set; the off path cannot be measured");
        std::vector<double> reads;
        for (int i = 0; i < 2000; ++i) {
            const double t0 = NowMs();
            (void)quenda::ReadTraceSwitch();
            reads.push_back(NowMs() - t0);
        }
        const double readMs = Median(reads);
        gRows.push_back({"Trace off: switch read per start call (vs start latency)", Fmt("%.4f ms", readMs),
                         Fmt("%.2f ms", startLatencyMs), Fmt("%.2f %%", 100.0 * readMs / startLatencyMs),
                         "< 1 % of start", readMs < startLatencyMs / 100.0});

        constexpr int kSites = 10000000;
        const double t0 = NowMs();
        for (int i = 0; i < kSites; ++i) QUENDA_TRACE("bench", "site %d of %d", i, kSites);
        const double siteNs = (NowMs() - t0) * 1e6 / kSites;
        // An OnKeyPressed passes three sites (call, key, answer).
        const double perKeyMs = 3 * siteNs / 1e6;
        gRows.push_back({"Trace off: one trace site, 3 per OnKeyPressed (vs echo latency)", Fmt("%.2f ns", siteNs),
                         Fmt("%.2f ms", echoLatencyMs), Fmt("%.5f %%", 100.0 * perKeyMs / echoLatencyMs),
                         "< 0.1 % of echo", perKeyMs < echoLatencyMs / 1000.0});
    }

    a.job.store(Job::Quit);
    SetEvent(a.go.get());
    WaitForSingleObject(a.thread.get(), kWaitMs);

    Print("\n%-72s | %-12s | %-12s | %-16s | %-20s | %s\n", "figure", "value", "baseline", "ratio", "goal", "met");
    Print("%s\n", std::string(156, '-').c_str());
    for (const Row& row : gRows)
        Print("%-72s | %-12s | %-12s | %-16s | %-20s | %s\n", row.figure.c_str(), row.value.c_str(),
              row.baseline.c_str(), row.ratio.c_str(), row.goal.c_str(),
              row.goal == "report" ? "-" : (row.met ? "met" : "NOT met"));
    Print("\nwhole run: %.1f s\n", (NowMs() - runStart) / 1000.0);
    return 0;
}
