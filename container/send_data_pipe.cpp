#include <windows.h>

#include "container_constants.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "qebcore_dbg.h"
#include "unique_handle.h"

namespace {

// Cancels the synchronous I/O of the thread whose handle it is given.
VOID CALLBACK CancelWriteOnTimer(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
    DbgSdkPrepareThread();
    ::CancelSynchronousIo(static_cast<HANDLE>(context));
}

// One-shot timer that cancels the calling thread's pending synchronous I/O
// when it fires. Its owner disarms it, and waits for its callback, before the
// thread's handle closes, so it can never cancel anything the thread does
// afterwards.
class WriteDeadline {
public:
    explicit WriteDeadline(DWORD timeoutMs) noexcept
        : m_hThread(::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId())) {
        if (!m_hThread) return;
        m_timer.reset(::CreateThreadpoolTimer(&CancelWriteOnTimer, m_hThread.get(), nullptr));
        if (!m_timer) return;
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(timeoutMs) * 10000);  // relative, 100 ns
        FILETIME dueTime;
        dueTime.dwLowDateTime = due.LowPart;
        dueTime.dwHighDateTime = due.HighPart;
        ::SetThreadpoolTimer(m_timer.get(), &dueTime, 0, 0);
    }

    bool armed() const noexcept { return static_cast<bool>(m_timer); }

private:
    // Declared first, closed last: the timer's callback uses it.
    qeb::UniqueHandle m_hThread;
    qeb::UniqueThreadpoolTimer m_timer;
};

// One write call per message: the container tells messages apart by the
// writes alone.
bool WriteBounded(HANDLE hPipe, const void* data, DWORD size) noexcept {
    WriteDeadline deadline(SEND_DATA_PIPE_TIMEOUT);
    // Unbounded, a container that never reads would hold the control handler.
    if (!deadline.armed()) return false;
    DWORD written = 0;
    return ::WriteFile(hPipe, data, size, &written, nullptr) != FALSE;
}

}  // namespace

// Not const, though it changes no member: it writes to the container through
// the object's pipe.
bool QEBCoreProcess::SendDataPipe(const void* data, uint32_t size) {  // NOLINT(readability-make-member-function-const)
    // A private, non-inheritable copy: a replacement may close the field at any
    // time, and a launch must not hand this copy to a container.
    const qeb::UniqueHandle pipe = DuplicatePipeEnd(PipeEnd::StdInWrite);
    if (!pipe || !WriteBounded(pipe.get(), data, size)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, "QEBCoreProcess::SendDataPipe", "SendDataPipe failed");
        return false;
    }
    return true;
}
