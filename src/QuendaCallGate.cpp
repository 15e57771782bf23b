#include "QuendaCallGate.h"

#include <algorithm>
#include <mutex>

#include "QuendaTrace.h"

namespace quenda {

namespace {

// Waits for `event` until `deadline`, handling messages sent to this thread meanwhile: a thread
// on its way out of the library may send to a window of the waiting one.
void WaitHandlingSentMessages(HANDLE event, ULONGLONG deadline) {
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        const DWORD left = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &event, left, QS_SENDMESSAGE, 0);
        if (woken != WAIT_OBJECT_0 + 1) return;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

Entry CallGate::EnterStart(ULONGLONG deadline) {
    const DWORD self = GetCurrentThreadId();
    std::lock_guard guard(lock_);
    bool waited = false;
    for (;;) {
        if (unloading_) return Entry::Unloading;
        if (!startInside_) {
            startInside_ = true;
            startThread_ = self;
            promptClosed_ = false;
            ++inside_;
            return Entry::Entered;
        }
        // A call from the open prompt's own callback never waits for itself.
        if (!promptClosed_ || startThread_ == self) return Entry::PromptOpen;
        if (!waited) {
            lock_.unlock();
            QUENDA_TRACE("start", "the previous prompt has closed: waiting for its call to leave");
            lock_.lock();
            waited = true;
            continue;
        }
        if (!WaitForChange(deadline)) return Entry::PromptOpen;
    }
}

void CallGate::PromptClosed() {
    std::lock_guard guard(lock_);
    if (!startInside_ || startThread_ != GetCurrentThreadId()) return;
    promptClosed_ = true;
    WakeAll();
}

void CallGate::LeaveStart() {
    std::lock_guard guard(lock_);
    startInside_ = false;
    promptClosed_ = false;
    startThread_ = 0;
    --inside_;
    WakeAll();
}

bool CallGate::EnterOther() {
    std::lock_guard guard(lock_);
    if (unloading_) return false;
    ++inside_;
    return true;
}

void CallGate::LeaveOther() {
    std::lock_guard guard(lock_);
    if (--inside_ == 0) WakeAll();
}

bool CallGate::StartCallInside() {
    std::lock_guard guard(lock_);
    return startInside_;
}

void CallGate::BeginUnload() {
    std::lock_guard guard(lock_);
    unloading_ = true;
    WakeAll();
}

bool CallGate::WaitUntilEmpty(ULONGLONG deadline) {
    std::lock_guard guard(lock_);
    while (inside_ > 0)
        if (!WaitForChange(deadline)) return false;
    return true;
}

void CallGate::Reset() {
    std::lock_guard guard(lock_);
    startInside_ = promptClosed_ = unloading_ = false;
    startThread_ = 0;
    inside_ = 0;
}

// Called with the lock held; lets go of it while it sleeps until the next change or the
// deadline. False at the deadline.
bool CallGate::WaitForChange(ULONGLONG deadline) {
    if (GetTickCount64() >= deadline) return false;
    Waiter waiter;
    waiter.event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!waiter.event) {
        // No event to be had: a short sleep stands in for the wake-up.
        lock_.unlock();
        Sleep(10);
        lock_.lock();
        return true;
    }
    waiter.next = waiters_;
    waiters_ = &waiter;
    lock_.unlock();
    WaitHandlingSentMessages(waiter.event.get(), deadline);
    lock_.lock();
    for (Waiter** link = &waiters_; *link; link = &(*link)->next) {
        if (*link == &waiter) {
            *link = waiter.next;
            break;
        }
    }
    return true;
}

void CallGate::WakeAll() {
    for (Waiter* waiter = waiters_; waiter; waiter = waiter->next) SetEvent(waiter->event.get());
}

}  // namespace quenda
