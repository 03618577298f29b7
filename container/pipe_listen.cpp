#include <windows.h>

#include <cstdint>
#include <utility>

#include "container_constants.h"
#include "log_line.h"
#include "pipe_message_buffer.h"
#include "qeb_core_process.h"
#include "thread_manager.h"
#include "unique_handle.h"

namespace {

constexpr char LISTEN_FUNC_NAME[] = "QEBCoreProcess::Pipe_Listen";

void LogInfo(const char* text) noexcept {
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagContainer, LISTEN_FUNC_NAME, text);
}

}  // namespace

// Lets a pipe replacement cancel this thread's read (CancelSynchronousIo
// needs THREAD_TERMINATE on a real thread handle).
void QEBCoreProcess::RegisterListenThread() noexcept {
    const HANDLE self = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
    qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
    s_hListenThread = self;
}

void QEBCoreProcess::UnregisterListenThread() noexcept {
    HANDLE self = nullptr;
    {
        qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
        self = std::exchange(s_hListenThread, nullptr);
    }
    if (self != nullptr) ::CloseHandle(self);
}

// Reads from whatever pipe the field holds now, through a private copy of the
// handle: a replacement closes the field without waiting for this read, and
// the copy stays valid until the read has ended.
bool QEBCoreProcess::ReadFromField(HANDLE* pField, void* buffer, DWORD size) noexcept {
    qeb::UniqueHandle pipe;
    {
        qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
        pipe = qeb::DuplicateSameAccess(*pField);
        if (!pipe) return false;
        s_bListenReading = true;
    }
    DWORD bytesRead = 0;
    const BOOL ok = ::ReadFile(pipe.get(), buffer, size, &bytesRead, nullptr);
    {
        qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
        s_bListenReading = false;
    }
    return ok != FALSE;
}

uint32_t QEBCoreProcess::Pipe_Listen(void* threadParam) {
    LogInfo("QEBCoreProcess.Pipe_Listen begin.");
    auto* record = static_cast<VelantThread::ThreadParam*>(threadParam);
    if (record == nullptr) return 0;
    auto* pReadField = static_cast<HANDLE*>(record->param);
    RegisterListenThread();

    PipeMessageBuffer buffer;
    const HANDLE hExitEvent = VelantThread::ThreadManager::GetInstance()->GetExitEvent();
    const qeb::UniqueHandle hGate = s_hPipeAvailableEvent.Duplicate();
    const HANDLE waitSet[2] = {hExitEvent, hGate.get()};

    while (record->isRunning) {
        // A failed wait goes on like an open gate; the read decides.
        if (::WaitForMultipleObjects(2, waitSet, FALSE, INFINITE) == WAIT_OBJECT_0) break;

        int32_t workStatus = 0;
        if (pReadField == nullptr || !buffer.ReadMessage([pReadField](void* target, uint32_t limit) {
                return ReadFromField(pReadField, target, limit);
            }))
            continue;
        // The service is stopping: what was just read is not acted on.
        if (::WaitForSingleObject(hExitEvent, 0) == WAIT_OBJECT_0) break;

        if (!GetNotifyStatus(buffer.Text(), &workStatus)) continue;
        if (workStatus == 0) {
            LogInfo("invalid notify");
            continue;
        }
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagContainer, LISTEN_FUNC_NAME,
                     "get container notify workStatus = ", workStatus);
        if (workStatus == 1) {
            s_hContainerReadyEvent.With([](HANDLE hEvent) noexcept {
                if (hEvent != nullptr) ::SetEvent(hEvent);
            });
        }
    }

    UnregisterListenThread();
    LogInfo("QEBCoreProcess.Pipe_Listen end.");
    return 0;
}
