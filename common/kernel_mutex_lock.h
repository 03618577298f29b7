#pragma once
// Scoped hold of a kernel mutex, for state that a thread ended by
// TerminateThread might be inside. A slim lock or critical section owned by a
// terminated thread stays held for good and hangs the next taker, at worst
// the stop path or the process's exit; an abandoned mutex is handed to the
// next waiter instead.

#include <windows.h>

namespace qeb {

class KernelMutexLock {
public:
    // A null mutex (its creation failed) leaves the caller unserialised
    // rather than blocked.
    explicit KernelMutexLock(HANDLE hMutex) noexcept : m_hMutex(hMutex) {
        if (m_hMutex == nullptr) return;
        const DWORD result = ::WaitForSingleObject(m_hMutex, INFINITE);
        m_bHeld = (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED);
    }
    ~KernelMutexLock() {
        if (m_bHeld) ::ReleaseMutex(m_hMutex);
    }
    KernelMutexLock(const KernelMutexLock&) = delete;
    KernelMutexLock& operator=(const KernelMutexLock&) = delete;

private:
    HANDLE m_hMutex;
    bool m_bHeld = false;
};

}  // namespace qeb
