#pragma once
// Workers of the kinds the service runs, each reporting what it saw through
// a Probe handed over as the record's `param`.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "thread_manager.h"

namespace threadtest {

struct Probe {
    HANDLE hExitEvent = nullptr;
    HANDLE hPipeRead = nullptr;
    // Set by the worker once it is about to block.
    HANDLE hReady = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A handle of the worker's own thread, so that the test can see it end
    // after the manager has let go of its own.
    HANDLE hSelf = nullptr;
    std::atomic<bool> bEnded{false};
    std::atomic<bool> bSawStopFlag{false};
    std::atomic<bool> bGotQuit{false};
    std::atomic<DWORD> readError{0};

    Probe() = default;
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    ~Probe() {
        if (hReady != nullptr) ::CloseHandle(hReady);
        if (hSelf != nullptr) ::CloseHandle(hSelf);
    }
};

inline Probe& ProbeOf(void* record) { return *static_cast<Probe*>(static_cast<VelantThread::ThreadParam*>(record)->param); }

inline void PublishSelf(Probe& probe) {
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &probe.hSelf, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
}

// Like the supervision thread: ends when the exit event is set.
inline uint32_t ExitEventWorker(void* record) {
    Probe& probe = ProbeOf(record);
    PublishSelf(probe);
    ::SetEvent(probe.hReady);
    ::WaitForSingleObject(probe.hExitEvent, INFINITE);
    probe.bEnded = true;
    return 0;
}

// Like the pipe listener: blocked in a synchronous read, leaves on the
// cancelled read when its flag is down.
inline uint32_t PipeReaderWorker(void* record) {
    auto* param = static_cast<VelantThread::ThreadParam*>(record);
    Probe& probe = ProbeOf(record);
    PublishSelf(probe);
    char buffer[64];
    DWORD read = 0;
    for (;;) {
        ::SetEvent(probe.hReady);
        const BOOL ok = ::ReadFile(probe.hPipeRead, buffer, sizeof buffer, &read, nullptr);
        if (!ok) probe.readError = ::GetLastError();
        if (!param->isRunning) {
            probe.bSawStopFlag = true;
            break;
        }
    }
    probe.bEnded = true;
    return 0;
}

// A thread with a message loop: ends on WM_QUIT only.
inline uint32_t MessageLoopWorker(void* record) {
    Probe& probe = ProbeOf(record);
    PublishSelf(probe);
    MSG message{};
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    ::SetEvent(probe.hReady);
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    }
    probe.bGotQuit = message.message == WM_QUIT;
    probe.bEnded = true;
    return 0;
}

// Ignores every stop signal.
inline uint32_t StubbornWorker(void* record) {
    Probe& probe = ProbeOf(record);
    PublishSelf(probe);
    ::SetEvent(probe.hReady);
    for (;;) ::Sleep(5);
}

inline bool WaitReady(const Probe& probe) { return ::WaitForSingleObject(probe.hReady, 10000) == WAIT_OBJECT_0; }

}  // namespace threadtest
