#include <windows.h>

#include "call_faults.h"
#include "container_constants.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "thread_manager.h"

namespace {

constexpr char PIPE_FUNC_NAME[] = "QEBCoreProcess::CreateContainerPipe";

}  // namespace

// A pending read on the old pipe normally fails once the old pair is closed,
// because the service's copy was its last writer. When some other process
// still holds a copy of the old write end (a child the container started,
// for instance), that read would never end and the listener would stay on a
// dead pipe for good; it is cancelled here. The listener may be between
// taking its handle and entering the read, where a cancel finds nothing, so
// the cancel is retried for a short time, measured by the clock, until the
// read has ended; a stop ends the retries at once.
void QEBCoreProcess::CancelListenerRead() noexcept {
    const HANDLE hExitEvent = VelantThread::ThreadManager::GetInstance()->GetExitEvent();
    const ULONGLONG deadline = ::GetTickCount64() + LISTENER_CANCEL_TIME;
    for (;;) {
        {
            qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
            if (s_hListenThread == nullptr || !s_bListenReading) return;
            if (::CancelSynchronousIo(s_hListenThread)) return;
            if (::GetLastError() != ERROR_NOT_FOUND) return;
        }
        if (::GetTickCount64() >= deadline) return;
        const DWORD paused = ::WaitForSingleObject(hExitEvent, 1);
        if (paused == WAIT_OBJECT_0) return;
        if (paused == WAIT_FAILED) ::Sleep(1);
    }
}

bool QEBCoreProcess::CreateInheritablePipe(PipeEnd readEnd, PipeEnd writeEnd) {
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (qeb::CallFails(qeb::FaultableCall::CreatePipe) || !::CreatePipe(&read, &write, &attributes, 0)) return false;
    qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
    *PipeField(readEnd) = read;
    *PipeField(writeEnd) = write;
    return true;
}

void QEBCoreProcess::StartListener() {
    s_hPipeAvailableEvent.Reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    try {
        // The listener gets the field's address, not its value, so that it
        // reads every later replacement.
        HANDLE* pReadField = nullptr;
        {
            qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
            pReadField = &m_hStdOutRead;
        }
        VelantThread::ThreadManager::GetInstance()->StartThread(&QEBCoreProcess::Pipe_Listen, pReadField,
                                                                "QEBCoreProcess::Pipe_Listen", false);
    } catch (...) {
        // A thread the system refuses to start is as absent as a refused
        // registration.
    }
    qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
    s_bListenStarted = true;
}

bool QEBCoreProcess::CreateContainerPipe() {
    // Gate first: the listener stops at its next wait while the pair changes.
    const auto reset = [](HANDLE hEvent) noexcept {
        if (hEvent != nullptr) ::ResetEvent(hEvent);
    };
    s_hPipeAvailableEvent.With(reset);
    s_hContainerReadyEvent.With(reset);

    ClosePipeHandles();
    CancelListenerRead();

    if (!CreateInheritablePipe(PipeEnd::StdInRead, PipeEnd::StdInWrite)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, PIPE_FUNC_NAME, "create anonymous pipe1 failed");
        return false;
    }
    if (!CreateInheritablePipe(PipeEnd::StdOutRead, PipeEnd::StdOutWrite)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, PIPE_FUNC_NAME, "create anonymous pipe2 failed");
        return false;
    }

    bool bListenStarted = false;
    {
        qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
        bListenStarted = s_bListenStarted;
    }
    if (!bListenStarted) {
        StartListener();
    } else {
        s_hPipeAvailableEvent.With([](HANDLE hEvent) noexcept { return ::SetEvent(hEvent); });
    }
    return true;
}

// Field order matters: the write end of the container's output pipe goes
// before its read end, so a read pending on it fails before its handle is
// closed.
void QEBCoreProcess::ClosePipeHandles() {
    qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
    for (HANDLE* field : {&m_hStdInWrite, &m_hStdInRead, &m_hStdOutWrite, &m_hStdOutRead}) {
        if (*field != nullptr) {
            ::CloseHandle(*field);
            *field = nullptr;
        }
    }
}
