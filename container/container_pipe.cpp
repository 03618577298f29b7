#include <windows.h>

#include "container_constants.h"
#include "log_line.h"
#include "pipe_field_lock.h"
#include "qeb_core_process.h"
#include "thread_manager.h"

namespace {

constexpr char FUNC_NAME[] = "QEBCoreProcess::CreateContainerPipe";

// A pending read on the old pipe normally fails once the old pair is closed,
// because the service's copy was its last writer. When some other process
// still holds a copy of the old write end (a child the container started,
// for instance), that read would never end and the listener would stay on a
// dead pipe for good; it is cancelled here. The listener may be between
// taking its handle and entering the read, where a cancel finds nothing, so
// the cancel is retried for a short time, measured by the clock, until the
// read has ended; a stop ends the retries at once.
void CancelListenerRead() noexcept {
    const HANDLE hExitEvent = VelantThread::ThreadManager::GetInstance()->GetExitEvent();
    const ULONGLONG deadline = ::GetTickCount64() + LISTENER_CANCEL_TIME;
    for (;;) {
        {
            PipeFieldLock lock;
            if (QEBCoreProcess::s_hListenThread == nullptr || !QEBCoreProcess::s_bListenReading) return;
            if (::CancelSynchronousIo(QEBCoreProcess::s_hListenThread)) return;
            if (::GetLastError() != ERROR_NOT_FOUND) return;
        }
        if (::GetTickCount64() >= deadline) return;
        const DWORD paused = ::WaitForSingleObject(hExitEvent, 1);
        if (paused == WAIT_OBJECT_0) return;
        if (paused == WAIT_FAILED) ::Sleep(1);
    }
}

bool CreateInheritablePipe(HANDLE& hRead, HANDLE& hWrite) noexcept {
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, &attributes, 0)) return false;
    PipeFieldLock lock;
    hRead = read;
    hWrite = write;
    return true;
}

void StartListener(QEBCoreProcess& process) noexcept {
    QEBCoreProcess::s_hPipeAvailableEvent = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    try {
        // The listener gets the field's address, not its value, so that it
        // reads every later replacement.
        VelantThread::ThreadManager::GetInstance()->StartThread(&QEBCoreProcess::Pipe_Listen, &process.m_hStdOutRead,
                                                                "QEBCoreProcess::Pipe_Listen", false);
    } catch (...) {
        // A thread the system refuses to start is as absent as a refused
        // registration.
    }
    QEBCoreProcess::s_bListenStarted = true;
}

}  // namespace

bool QEBCoreProcess::CreateContainerPipe() {
    // Gate first: the listener stops at its next wait while the pair changes.
    if (s_hPipeAvailableEvent != nullptr) ::ResetEvent(s_hPipeAvailableEvent);
    if (s_hContainerReadyEvent != nullptr) ::ResetEvent(s_hContainerReadyEvent);

    ClosePipeHandles();
    CancelListenerRead();

    if (!CreateInheritablePipe(m_hStdInRead, m_hStdInWrite)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, FUNC_NAME, "create anonymous pipe1 failed");
        return false;
    }
    if (!CreateInheritablePipe(m_hStdOutRead, m_hStdOutWrite)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, FUNC_NAME, "create anonymous pipe2 failed");
        return false;
    }

    if (!s_bListenStarted) {
        StartListener(*this);
    } else {
        ::SetEvent(s_hPipeAvailableEvent);
    }
    return true;
}

// Field order matters: the write end of the container's output pipe goes
// before its read end, so a read pending on it fails before its handle is
// closed.
void QEBCoreProcess::ClosePipeHandles() {
    PipeFieldLock lock;
    for (HANDLE* field : {&m_hStdInWrite, &m_hStdInRead, &m_hStdOutWrite, &m_hStdOutRead}) {
        if (*field != nullptr) {
            ::CloseHandle(*field);
            *field = nullptr;
        }
    }
}
