#include "log_line.h"
#include "thread_manager.h"

namespace VelantThread {

namespace {

constexpr DWORD WAIT_THREAD_END_TIME = 200;
constexpr DWORD WAIT_TERMINATED_THREAD_TIME = 20;
constexpr DWORD TERMINATED_THREAD_EXIT_CODE = 0;
constexpr char WAIT_ALL_NAME[] = "VelantThread::ThreadManager::WaitAll";
constexpr char THREAD_END_HANDLE_NAME[] = "VelantThread::ThreadManager::ThreadEndHandle";

// Flags the record and breaks the thread out of a blocking synchronous read;
// never waits.
void TellThreadToStop(std::thread& thread, ThreadParam& record, bool hasMsgLoop) noexcept {
    record.isRunning = false;
    const HANDLE hThread = NativeThreadHandle(thread);
    if (hasMsgLoop) ::PostThreadMessageW(::GetThreadId(hThread), WM_QUIT, 0, 0);
    if (!::CancelSynchronousIo(hThread)) {
        const DWORD error = ::GetLastError();
        // Nothing pending is the usual case, not a fault.
        if (error != ERROR_NOT_FOUND)
            qeb::LogLine(qeb::LogLevel::Info, qeb::kTagContainer, WAIT_ALL_NAME, "CancelSynchronousIo: ", error);
    }
}

}  // namespace

void ThreadManager::WaitAll() {
    try {
        std::lock_guard<std::mutex> stop(m_stopMutex);
        {
            // Under the registry lock, so that a StartThread either finished
            // its insertion before this point or sees the event and gives up:
            // the maps cannot change once the lock is released below.
            std::lock_guard<std::mutex> lock(m_registryMutex);
            ::SetEvent(m_hExitEvent);
        }

        // Every thread is told before the first wait, so they wind down in
        // parallel and the waits overlap with their ends.
        for (auto& [thread, record] : m_msgLoopThreadMap) TellThreadToStop(*thread, *record, true);
        for (auto& [thread, record] : m_threadMap) TellThreadToStop(*thread, *record, false);

        for (ThreadMap* group : {&m_msgLoopThreadMap, &m_threadMap}) {
            for (auto& [thread, record] : *group) {
                if (!ThreadEndHandle(NativeThreadHandle(*thread), WAIT_THREAD_END_TIME)) {
                    qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, WAIT_ALL_NAME,
                                 "ExitThread failed! thread entry function: ", record->funcName);
                }
                // A thread object released by an earlier WaitAll owns nothing.
                if (thread->joinable()) thread->detach();
            }
        }
    } catch (...) {
        // detach cannot fail on a joinable thread; nothing else here throws.
    }
}

bool ThreadManager::ThreadEndHandle(HANDLE exitHandle, DWORD timeoutMs) {
    if (exitHandle == nullptr) return true;
    if (::WaitForSingleObject(exitHandle, timeoutMs) == WAIT_OBJECT_0) return true;

    if (!::TerminateThread(exitHandle, TERMINATED_THREAD_EXIT_CODE)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, THREAD_END_HANDLE_NAME,
                     "TerminateThread fail error = ", ::GetLastError());
        return false;
    }
    const DWORD result = ::WaitForSingleObject(exitHandle, WAIT_TERMINATED_THREAD_TIME);
    if (result != WAIT_OBJECT_0) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, THREAD_END_HANDLE_NAME,
                     "WaitForSingleObject fail exitHandle = ", result);
    }
    return false;
}

}  // namespace VelantThread
