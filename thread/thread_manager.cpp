#include "thread_manager.h"

#include <system_error>
#include <utility>

#include "call_faults.h"
#include "never_destroyed.h"
#include "qebcore_dbg.h"

namespace VelantThread {

ThreadManager* ThreadManager::GetInstance() {
    // Threads the stop left running (a termination that failed, the service
    // main function still on its way out) keep their records and the exit
    // event for as long as the process lives.
    static qeb::NeverDestroyed<ThreadManager> s_instance;
    return &s_instance.get();
}

// A failed creation leaves a null handle: the poll in StartThread then fails
// rather than reporting "signalled", so threads are still started.
ThreadManager::ThreadManager() : m_hExitEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ThreadManager::~ThreadManager() {
    m_threadMap.clear();
    m_msgLoopThreadMap.clear();
    if (m_hExitEvent != nullptr) ::CloseHandle(m_hExitEvent);
}

bool ThreadManager::StartThread(ThreadEntry entry, void* param, const std::string& funcName, bool hasMsgLoop) {
    try {
        // Held across the poll and the insertion: once WaitAll has set the
        // event under this lock, no thread can slip into the registry behind
        // its back.
        if (!entry) return false;
        qeb::LockGuard<qeb::SlimMutex> lock(m_registryMutex);
        if (::WaitForSingleObject(m_hExitEvent, 0) == WAIT_OBJECT_0) return false;

        auto record = std::make_shared<ThreadParam>();
        record->param = param;
        record->funcName = funcName;

        // The entry goes into the registry before the thread exists, so no
        // failure after the start can leave a running thread whose object is
        // destroyed (which would end the process).
        auto thread = std::make_shared<std::thread>();
        ThreadMap& registry = hasMsgLoop ? m_msgLoopThreadMap : m_threadMap;
        const auto inserted = registry.emplace(thread, record).first;
        try {
            ThreadParam* const worker = record.get();
            if (qeb::CallFails(qeb::FaultableCall::StartThread)) {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            *thread = std::thread([run = std::move(entry), worker]() {
                DbgSdkPrepareThread();
                // An exception leaving a thread ends the whole process; a
                // worker that fails this way just ends.
                try {
                    run(worker);
                } catch (...) {
                }
            });
        } catch (...) {
            registry.erase(inserted);
            return false;
        }
        return true;
    } catch (...) {
        // std::system_error from the thread start or bad_alloc: the worker is
        // simply absent, as any refused start.
        return false;
    }
}

}  // namespace VelantThread
