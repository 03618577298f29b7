#pragma once
// The two locks of the house, both known to the thread-safety analysis.
//
// KernelMutex, for state that a thread ended by TerminateThread may be
// inside (the stop's last resort): a slim lock or critical section owned by
// a terminated thread stays held for good and hangs the next taker, at worst
// the stop path or the process's exit; an abandoned mutex is handed to the
// next waiter instead. Its handle is never closed: it lives as long as the
// process, because a thread may still take it while exit-time destructors run.
//
// SlimMutex, for state only threads that always end by themselves touch.

#include <windows.h>

#include "thread_annotations.h"

namespace qeb {

class CAPABILITY("mutex") KernelMutex {
public:
    KernelMutex() noexcept : m_hMutex(::CreateMutexW(nullptr, FALSE, nullptr)) {}
    KernelMutex(const KernelMutex&) = delete;
    KernelMutex& operator=(const KernelMutex&) = delete;
    ~KernelMutex() = default;  // trivial on purpose, see above

    // A null mutex (its creation failed) leaves callers unserialised rather
    // than blocked.
    void Lock() noexcept ACQUIRE() {
        if (m_hMutex == nullptr) return;
        const DWORD result = ::WaitForSingleObject(m_hMutex, INFINITE);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) m_bOwned = true;
    }
    void Unlock() noexcept RELEASE() {
        if (!m_bOwned) return;
        m_bOwned = false;
        ::ReleaseMutex(m_hMutex);
    }

private:
    // Never closed on purpose (see above).
    // cppcheck-suppress unsafeClassCanLeak
    const HANDLE m_hMutex;
    bool m_bOwned = false;  // written only by the holder
};

class CAPABILITY("mutex") SlimMutex {
public:
    SlimMutex() noexcept = default;
    SlimMutex(const SlimMutex&) = delete;
    SlimMutex& operator=(const SlimMutex&) = delete;

    void Lock() noexcept ACQUIRE() { ::AcquireSRWLockExclusive(&m_lock); }
    void Unlock() noexcept RELEASE() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

template <typename Mutex>
class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Mutex& mutex) noexcept ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~LockGuard() RELEASE() { m_mutex.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Mutex& m_mutex;
};

}  // namespace qeb
