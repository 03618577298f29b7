#pragma once
// Workers of the kinds the service runs, each reporting what it saw through
// a Probe handed over as the record's `param`.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "thread_manager.h"
#include "unique_handle.h"

namespace threadtest {

struct Probe {
    HANDLE hExitEvent = nullptr;
    HANDLE hPipeRead = nullptr;
    // Set by the worker once it is about to block.
    qeb::UniqueHandle hReady{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // The worker's own thread, so that the test can see it end after the
    // manager has let go of its handle.
    qeb::UniqueHandle hSelf;
    std::atomic<bool> bEnded{false};
    std::atomic<bool> bSawStopFlag{false};
    std::atomic<bool> bGotQuit{false};
    std::atomic<DWORD> readError{0};
};

// Publishes the worker's thread and readiness; gives its probe.
inline Probe& Arrive(void* record) {
    Probe& probe = *static_cast<Probe*>(static_cast<VelantThread::ThreadParam*>(record)->param);
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), probe.hSelf.put(), 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    return probe;
}

// Like the supervision thread: ends when the exit event is set.
inline uint32_t ExitEventWorker(void* record) {
    Probe& probe = Arrive(record);
    ::SetEvent(probe.hReady.get());
    ::WaitForSingleObject(probe.hExitEvent, INFINITE);
    probe.bEnded = true;
    return 0;
}

// Like the pipe listener: blocked in a synchronous read, leaves on the
// cancelled read when its flag is down.
inline uint32_t PipeReaderWorker(void* record) {
    Probe& probe = Arrive(record);
    char buffer[64];
    DWORD read = 0;
    do {
        ::SetEvent(probe.hReady.get());
        if (!::ReadFile(probe.hPipeRead, buffer, sizeof buffer, &read, nullptr)) probe.readError = ::GetLastError();
    } while (static_cast<VelantThread::ThreadParam*>(record)->isRunning);
    probe.bSawStopFlag = true;
    probe.bEnded = true;
    return 0;
}

// A thread with a message loop: ends on WM_QUIT only.
inline uint32_t MessageLoopWorker(void* record) {
    Probe& probe = Arrive(record);
    MSG message{};
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    ::SetEvent(probe.hReady.get());
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    }
    probe.bGotQuit = message.message == WM_QUIT;
    probe.bEnded = true;
    return 0;
}

// Already gone when the stop comes.
inline uint32_t ReturningWorker(void* record) {
    Probe& probe = Arrive(record);
    probe.bEnded = true;
    ::SetEvent(probe.hReady.get());
    return 0;
}

// Ignores every stop signal.
inline uint32_t StubbornWorker(void* record) {
    ::SetEvent(Arrive(record).hReady.get());
    for (;;) ::Sleep(5);
}

inline bool WaitReady(const Probe& probe) { return ::WaitForSingleObject(probe.hReady.get(), 10000) == WAIT_OBJECT_0; }

}  // namespace threadtest
