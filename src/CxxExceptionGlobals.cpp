// Per-thread exception state for libc++abi, kept in the DLL's own thread-local storage. Linked into
// the DLL only with the libc++ runtime, in place of libc++abi's own two functions.
//
// libc++abi keeps this state in a fiber-local slot whose callback lies in the DLL. Windows calls
// such a callback when a thread that used the slot exits, and nothing removes it when the DLL is
// unloaded: after FreeLibrary, the first such thread to end ran code that was no longer there, and
// the driver's process crashed. Static TLS leaves with the image and runs nothing on thread exit.

namespace __cxxabiv1 {

struct __cxa_exception;

// libc++abi's layout (cxa_exception.h) on every target but 32-bit ARM.
struct __cxa_eh_globals {
    __cxa_exception* caughtExceptions;
    unsigned int uncaughtExceptions;
};

namespace {
thread_local __cxa_eh_globals gGlobals{};
}  // namespace

extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept { return &gGlobals; }
extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept { return &gGlobals; }

}  // namespace __cxxabiv1
