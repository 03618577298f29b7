#pragma once
// The ways a process of the service can die, made on purpose: the rows of
// the crash table (tests/dbg) and the crash benchmark (bench/crash_bench).

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "background_call.h"
#include "thread_manager.h"

namespace kit {

namespace crash_detail {

inline volatile bool g_bDeeper = true;

// Never a loop or a tail call: each call keeps its frame.
inline int Deeper(int depth) {
    volatile char frame[256] = {};
    frame[depth % 256] = 1;
    return g_bDeeper ? Deeper(depth + 1) + frame[0] : 0;
}

inline void Throw() { throw std::runtime_error("through noexcept"); }
// Called through a pointer the compiler cannot follow, so that it sees no
// throw inside the noexcept function.
inline void (*volatile g_throw)() = &Throw;
inline void Promise() noexcept { g_throw(); }

}  // namespace crash_detail

// Crashes this process as `kind` says: "plain" (an access violation), "heap"
// (the same while another thread holds the process heap's lock), "abort",
// "noexcept" (an exception leaving a noexcept function), "overflow" (a stack
// overflow on a thread of the service's thread manager), "pooloverflow" (the
// same on its background worker) or "corrupt" (heap corruption, raised:
// Wine's heap never reports it). Returns only for another kind.
inline void CrashAs(const std::wstring& kind) {
    if (kind == L"abort") std::abort();
    if (kind == L"noexcept") crash_detail::Promise();
    if (kind == L"corrupt") ::RaiseException(0xC0000374, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    if (kind == L"overflow" || kind == L"pooloverflow") {
        if (kind == L"overflow")
            VelantThread::ThreadManager::GetInstance()->StartThread(
                [](void*) { return static_cast<uint32_t>(crash_detail::Deeper(0)); }, nullptr, "Deeper", false);
        else
            VelantThread::RunInBackground([] { crash_detail::Deeper(0); });
        ::Sleep(INFINITE);  // the crash ends the process; an overflow nobody handles leaves it here
    }
    if (kind == L"heap") {
        static HANDLE s_hHeld = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ::CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                return ::HeapLock(::GetProcessHeap()) && ::SetEvent(s_hHeld) && ::SleepEx(INFINITE, FALSE);
            },
            nullptr, 0, nullptr);
        ::WaitForSingleObject(s_hHeld, INFINITE);
    }
    if (kind == L"plain" || kind == L"heap") {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
}

}  // namespace kit
