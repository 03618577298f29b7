#include <algorithm>

#include "log_line.h"
#include "thread_manager.h"

namespace VelantThread {

namespace {

constexpr DWORD WAIT_THREAD_END_TIME = 200;
constexpr DWORD WAIT_TERMINATED_THREAD_TIME = 20;
constexpr DWORD TERMINATED_THREAD_EXIT_CODE = 0;
constexpr ULONGLONG CANCEL_RETRY_TIME = 5;
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

// Waits up to timeoutMs for the thread to end. A cancel that lands between
// the thread taking its pipe handle and entering its read finds nothing to
// cancel, and the read would then block for good; so the cancel is repeated
// every few milliseconds until the thread has ended or its time is up.
bool AwaitThreadEnd(HANDLE hThread, DWORD timeoutMs) noexcept {
    if (hThread == nullptr) return true;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD slice =
            now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, CANCEL_RETRY_TIME));
        if (::WaitForSingleObject(hThread, slice) == WAIT_OBJECT_0) return true;
        if (now >= deadline) return false;
        ::CancelSynchronousIo(hThread);
    }
}

}  // namespace

void ThreadManager::WaitAll() {
    qeb::LockGuard<qeb::SlimMutex> stop(m_stopMutex);
    // Taken out under the registry lock, so that a StartThread either
    // finished its insertion before this point or sees the event and gives
    // up; put back at the end, for the threads the stop left running keep
    // their records for as long as the process lives.
    ThreadMap threads;
    ThreadMap msgLoopThreads;
    {
        qeb::LockGuard<qeb::SlimMutex> lock(m_registryMutex);
        ::SetEvent(m_hExitEvent);
        threads.swap(m_threadMap);
        msgLoopThreads.swap(m_msgLoopThreadMap);
    }

    // Every thread is told before the first wait, so they wind down in
    // parallel and the waits overlap with their ends.
    for (auto& [thread, record] : msgLoopThreads) TellThreadToStop(*thread, *record, true);
    for (auto& [thread, record] : threads) TellThreadToStop(*thread, *record, false);

    for (ThreadMap* group : {&msgLoopThreads, &threads}) {
        for (auto& [thread, record] : *group) {
            // Each entry on its own: one that fails must not leave the rest
            // joinable, which would end the process at exit.
            try {
                const HANDLE hThread = NativeThreadHandle(*thread);
                if (!AwaitThreadEnd(hThread, WAIT_THREAD_END_TIME) && !ThreadEndHandle(hThread, 0)) {
                    qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, WAIT_ALL_NAME,
                                 "ExitThread failed! thread entry function: ", record->funcName);
                }
                // A thread object released by an earlier WaitAll owns nothing.
                if (thread->joinable()) thread->detach();
            } catch (...) {
            }
        }
    }

    qeb::LockGuard<qeb::SlimMutex> lock(m_registryMutex);
    m_threadMap.swap(threads);
    m_msgLoopThreadMap.swap(msgLoopThreads);
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
