#pragma once
// The service's worker threads: started, told to stop and ended in one place.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "locks.h"
#include "thread_annotations.h"

namespace VelantThread {

// Shared record of one managed thread; the worker receives a pointer to it.
struct ThreadParam {
    void* param = nullptr;
    std::atomic<bool> isRunning{true};
    std::string funcName;
};

using ThreadEntry = std::function<uint32_t(void*)>;

class ThreadManager {
public:
    static ThreadManager* GetInstance();

    // Public so that tests can use managers of their own; the service uses
    // only the instance.
    ThreadManager();
    ~ThreadManager();
    ThreadManager(const ThreadManager&) = delete;
    ThreadManager& operator=(const ThreadManager&) = delete;

    // False, with nothing started or recorded, once WaitAll has begun, for an
    // empty entry, or when the system refuses the thread. The worker receives
    // its ThreadParam, never `param` itself.
    bool StartThread(ThreadEntry entry, void* param, const std::string& funcName, bool hasMsgLoop)
        EXCLUDES(m_registryMutex);
    HANDLE GetExitEvent() const noexcept { return m_hExitEvent; }
    // Tells every recorded thread to stop, gives each 200 ms, terminates the
    // rest and detaches them all. One-way: the exit event stays set.
    void WaitAll() EXCLUDES(m_registryMutex, m_stopMutex);
    // True when the thread ended by itself in time (or there is no handle);
    // false when it had to be terminated.
    bool ThreadEndHandle(HANDLE exitHandle, DWORD timeoutMs);

private:
    using ThreadMap = std::map<std::shared_ptr<std::thread>, std::shared_ptr<ThreadParam>>;

    // Keeps StartThread and WaitAll apart; never held while waiting on a
    // thread, since a worker may itself be starting one.
    qeb::SlimMutex m_registryMutex;
    ThreadMap m_threadMap GUARDED_BY(m_registryMutex);
    ThreadMap m_msgLoopThreadMap GUARDED_BY(m_registryMutex);
    // Set once, by the first WaitAll; never closed while the process runs.
    const HANDLE m_hExitEvent;
    // Keeps two WaitAll calls from releasing the same thread object at once:
    // the second waits for the first.
    qeb::SlimMutex m_stopMutex;
};

// The Windows HANDLE behind a std::thread (a winpthreads id under mingw's
// posix thread model, already a HANDLE with MSVC); null when it owns none.
HANDLE NativeThreadHandle(std::thread& thread) noexcept;

}  // namespace VelantThread
