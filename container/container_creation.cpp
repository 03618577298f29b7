#include "container_creation.h"

#include "background_call.h"
#include "container_constants.h"
#include "qebcore_memset_s.h"

namespace {

// Creations under way. Trivially destructible and never torn down: a pool
// thread may still be inside a creation while the process exits.
struct CreationsInFlight {
    CRITICAL_SECTION lock;
    HANDLE hIdle;  // manual-reset, signalled while none is under way
    long count;
};

CreationsInFlight& InFlight() noexcept {
    static CreationsInFlight s_inFlight{};
    static const bool s_bReady = [] {
        ::InitializeCriticalSection(&s_inFlight.lock);
        s_inFlight.hIdle = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
        return true;
    }();
    static_cast<void>(s_bReady);
    return s_inFlight;
}

// The look at the exit event and the count of creations under way change
// together under the lock, and the stop path takes the lock after setting
// the event: a creation either sees the stop or is counted before the stop
// path looks at the count.
bool EnterCreation(HANDLE hExitEvent) noexcept {
    CreationsInFlight& inFlight = InFlight();
    ::EnterCriticalSection(&inFlight.lock);
    const bool bStopped = VelantThread::IsSignalled(hExitEvent);
    if (!bStopped && inFlight.count++ == 0 && inFlight.hIdle != nullptr) ::ResetEvent(inFlight.hIdle);
    ::LeaveCriticalSection(&inFlight.lock);
    return !bStopped;
}

void LeaveCreation() noexcept {
    CreationsInFlight& inFlight = InFlight();
    ::EnterCriticalSection(&inFlight.lock);
    if (--inFlight.count == 0 && inFlight.hIdle != nullptr) ::SetEvent(inFlight.hIdle);
    ::LeaveCriticalSection(&inFlight.lock);
}

// A container created suspended has run none of its code; ended here it
// leaves nothing behind (under Wine not even its console host, which starts
// with the first thread).
void EndUnstarted(CreationResult& result, CreationOutcome outcome) noexcept {
    ::TerminateProcess(result.hProcess.get(), UNSTARTED_CONTAINER_EXIT_CODE);
    ::WaitForSingleObject(result.hProcess.get(), UNSTARTED_CONTAINER_END_WAIT);
    result.hProcess.reset();
    result.outcome = outcome;
}

}  // namespace

void CreateContainerUnlessStopped(CreationResult& result, const std::wstring& path, std::wstring commandLine,
                                  HANDLE hStdIn, HANDLE hStdOut, HANDLE hExitEvent) noexcept {
    STARTUPINFOW startup;
    memset_s(&startup, sizeof startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = hStdIn;
    startup.hStdOutput = hStdOut;
    startup.hStdError = reinterpret_cast<HANDLE>(STD_ERROR_DEVICE_NUMBER);

    if (!EnterCreation(hExitEvent)) {
        result.outcome = CreationOutcome::Stopped;
        return;
    }
    PROCESS_INFORMATION info;
    memset_s(&info, sizeof info, 0, sizeof info);
    // Suspended only until the second look below; the container itself sees
    // the launch's flags alone.
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CONTAINER_CREATION_FLAGS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info)) {
        result.error = ::GetLastError();
        result.outcome = CreationOutcome::Failed;
        LeaveCreation();
        return;
    }
    result.hProcess.reset(info.hProcess);
    const qeb::UniqueHandle hThread(info.hThread);
    VelantThread::MarkJobStep(CREATE_PROCESS_JOB, "created");

    if (VelantThread::IsSignalled(hExitEvent)) {
        EndUnstarted(result, CreationOutcome::Stopped);
    } else if (::ResumeThread(hThread.get()) == static_cast<DWORD>(-1)) {
        result.error = ::GetLastError();
        EndUnstarted(result, CreationOutcome::Failed);
    } else {
        result.outcome = CreationOutcome::Created;
    }
    LeaveCreation();
}

bool WaitForContainerCreation(DWORD timeoutMs) noexcept {
    CreationsInFlight& inFlight = InFlight();
    // Past this point a creation that has not counted itself in sees the stop.
    ::EnterCriticalSection(&inFlight.lock);
    ::LeaveCriticalSection(&inFlight.lock);
    return inFlight.hIdle != nullptr && ::WaitForSingleObject(inFlight.hIdle, timeoutMs) == WAIT_OBJECT_0;
}
