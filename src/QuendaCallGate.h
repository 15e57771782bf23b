// Who is inside the library, and whether one more may come in: the accepted start call and its
// prompt's state, the other exports, the unload.
#pragma once

#include <windows.h>

#include "WinHandles.h"

namespace quenda {

enum class Entry { Entered, PromptOpen, Unloading };

// All of the state changes under one lock. A thread that waits hangs an event of its own on the
// list while it waits; every change sets them all, so a wait never wakes for a change it has
// already seen.
class CallGate {
public:
    // One accepted start call at a time. A call that comes while the previous prompt is open is
    // answered at once; one that comes after that prompt closed waits (until `deadline`) for its
    // call to restore the desktop and leave, since the driver has every reason to think it done.
    Entry EnterStart(ULONGLONG deadline);
    // The accepted call's prompt has closed: a start call made now waits for it to leave.
    void PromptClosed();
    void LeaveStart();

    // OnKeyPressed and EndDlg: counted so that the unload waits for them; none enters once it
    // has begun.
    [[nodiscard]] bool EnterOther();
    void LeaveOther();

    bool StartCallInside();

    // From here on no call enters, and start calls that wait answer at once.
    void BeginUnload();
    // True once no counted call is inside; false when the deadline came first.
    bool WaitUntilEmpty(ULONGLONG deadline);

    void Reset();

private:
    struct Waiter {
        UniqueKernelHandle event;
        Waiter* next = nullptr;
    };

    bool WaitForChange(ULONGLONG deadline);
    void WakeAll();

    SrwLock lock_;
    bool startInside_ = false;   // an accepted start call is inside
    bool promptClosed_ = false;  // ...and its prompt has closed: it is on its way out
    DWORD startThread_ = 0;
    int inside_ = 0;  // counted calls: the accepted start call, OnKeyPressed and EndDlg
    bool unloading_ = false;
    Waiter* waiters_ = nullptr;
};

}  // namespace quenda
