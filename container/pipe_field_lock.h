#pragma once
// Scope guard for the four pipe fields and the listener's registration.
// A kernel mutex: the listener may be terminated as a last resort while it
// holds this, and the object's destructor at exit takes it too.

#include <windows.h>

#include "kernel_mutex_lock.h"

class PipeFieldLock : public qeb::KernelMutexLock {
public:
    PipeFieldLock() noexcept : qeb::KernelMutexLock(Mutex()) {}

private:
    // Never closed, for the same reason: a thread may still use it while the
    // process's exit-time destructors run.
    static HANDLE Mutex() noexcept {
        static const HANDLE s_hMutex = ::CreateMutexW(nullptr, FALSE, nullptr);
        return s_hMutex;
    }
};
