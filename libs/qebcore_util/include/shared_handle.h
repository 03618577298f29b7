#pragma once
// A handle that several threads use and one of them closes. Its one lock
// serialises the replacement and the close with every use: a user either
// calls what never blocks under the lock (With), or takes a private copy
// (Duplicate) for a wait or a call that may take long, so a close never pulls
// a handle from under a thread, and a closed value, which the system may
// already have given to another object, is never used.
//
// Trivially destructible: it is process-wide state, and the exit-time
// destructors must not close a handle a thread left running may still use.
// The system closes what it holds when the process ends.

#include <windows.h>

#include <utility>

#include "locks.h"
#include "thread_annotations.h"
#include "unique_handle.h"

namespace qeb {

class SharedHandle {
public:
    SharedHandle() noexcept = default;
    SharedHandle(const SharedHandle&) = delete;
    SharedHandle& operator=(const SharedHandle&) = delete;

    // Takes ownership of hNew (null for none) and closes the handle held before.
    void Reset(HANDLE hNew = nullptr) noexcept EXCLUDES(m_lock) {
        HANDLE hOld = nullptr;
        {
            LockGuard<KernelMutex> lock(m_lock);
            hOld = std::exchange(m_handle, hNew);
        }
        if (IsValid(hOld)) ::CloseHandle(hOld);
    }

    bool Held() const noexcept EXCLUDES(m_lock) {
        LockGuard<KernelMutex> lock(m_lock);
        return IsValid(m_handle);
    }

    // A private, non-inheritable copy with the same access; empty when none is held.
    UniqueHandle Duplicate() const noexcept EXCLUDES(m_lock) {
        LockGuard<KernelMutex> lock(m_lock);
        return DuplicateSameAccess(m_handle);
    }

    // Runs use(handle) under the lock; for calls that return at once
    // (SetEvent, a wait of 0 ms). The handle may be null.
    template <typename Use>
    auto With(Use&& use) const noexcept EXCLUDES(m_lock) {
        LockGuard<KernelMutex> lock(m_lock);
        return std::forward<Use>(use)(m_handle);
    }

private:
    // HANDLE is an opaque value, not a pointer to data this could promise not to change.
    // cppcheck-suppress constParameter
    static bool IsValid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

    mutable KernelMutex m_lock;
    HANDLE m_handle GUARDED_BY(m_lock) = nullptr;
};

}  // namespace qeb
