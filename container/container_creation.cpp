#include "container_creation.h"

#include <cstddef>
#include <memory>

#include "background_call.h"
#include "call_faults.h"
#include "container_constants.h"
#include "locks.h"
#include "qebcore_memset_s.h"
#include "thread_annotations.h"

namespace {

// What ResumeThread answers, its refusal included when a test armed one.
DWORD ResumeCreatedThread(HANDLE hThread) noexcept {
    return qeb::CallFails(qeb::FaultableCall::ResumeThread) ? static_cast<DWORD>(-1) : ::ResumeThread(hThread);
}

// Creations under way. Trivially destructible and never torn down: a pool
// thread may still be inside a creation while the process exits. Pool
// threads are never terminated, so a slim lock will do.
qeb::SlimMutex s_inFlightLock;
long s_inFlightCount GUARDED_BY(s_inFlightLock) = 0;

// Manual-reset, signalled while no creation is under way; never closed.
HANDLE IdleEvent() noexcept {
    static const HANDLE s_hIdle = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return s_hIdle;
}

// The look at the exit event and the count of creations under way change
// together under the lock, and the stop path takes the lock after setting
// the event: a creation either sees the stop or is counted before the stop
// path looks at the count.
bool EnterCreation(HANDLE hExitEvent) noexcept {
    const HANDLE hIdle = IdleEvent();
    const qeb::LockGuard<qeb::SlimMutex> lock(s_inFlightLock);
    const bool bStopped = VelantThread::IsSignalled(hExitEvent);
    if (!bStopped && s_inFlightCount++ == 0 && hIdle != nullptr) ::ResetEvent(hIdle);
    return !bStopped;
}

void LeaveCreation() noexcept {
    const HANDLE hIdle = IdleEvent();
    const qeb::LockGuard<qeb::SlimMutex> lock(s_inFlightLock);
    if (--s_inFlightCount == 0 && hIdle != nullptr) ::SetEvent(hIdle);
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

// The one attribute of the creation: the list of handles the container may
// inherit. Inheritance is then limited to that list, so that a handle made
// inheritable elsewhere in the process at the wrong moment never reaches the
// container.
class InheritanceList {
public:
    explicit InheritanceList(const InheritedHandles& inherited) noexcept {
        for (const HANDLE h :
             {inherited.hStdIn, inherited.hStdOut, inherited.hStdInWrite, inherited.hStdOutRead, inherited.hSelf}) {
            if (h != nullptr) m_handles[m_count++] = h;
        }
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        try {
            m_storage = std::make_unique<std::byte[]>(size);
        } catch (...) {
            return;
        }
        // Storage from operator new is aligned for the list.
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.get());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        m_list = list;
        if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_handles,
                                         m_count * sizeof(HANDLE), nullptr, nullptr)) {
            Delete();
        }
    }
    InheritanceList(const InheritanceList&) = delete;
    InheritanceList& operator=(const InheritanceList&) = delete;
    ~InheritanceList() { Delete(); }

    // Null when the list could not be made.
    LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return m_list; }

private:
    void Delete() noexcept {
        if (m_list != nullptr) ::DeleteProcThreadAttributeList(m_list);
        m_list = nullptr;
    }

    HANDLE m_handles[5] = {};
    SIZE_T m_count = 0;
    std::unique_ptr<std::byte[]> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

}  // namespace

void CreateContainerUnlessStopped(CreationResult& result, const std::wstring& path, std::wstring commandLine,
                                  const InheritedHandles& inherited, HANDLE hExitEvent) noexcept {
    STARTUPINFOEXW startup;
    memset_s(&startup, sizeof startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inherited.hStdIn;
    startup.StartupInfo.hStdOutput = inherited.hStdOut;
    startup.StartupInfo.hStdError = reinterpret_cast<HANDLE>(STD_ERROR_DEVICE_NUMBER);
    const InheritanceList inheritance(inherited);
    if (inheritance.get() == nullptr) {
        result.error = ::GetLastError();
        result.outcome = CreationOutcome::Failed;
        return;
    }
    startup.lpAttributeList = inheritance.get();

    if (!EnterCreation(hExitEvent)) {
        result.outcome = CreationOutcome::Stopped;
        return;
    }
    PROCESS_INFORMATION info;
    memset_s(&info, sizeof info, 0, sizeof info);
    // Suspended only until the second look below; the container itself sees
    // the launch's flags alone.
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CONTAINER_CREATION_FLAGS | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                          &startup.StartupInfo, &info)) {
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
    } else if (ResumeCreatedThread(hThread.get()) == static_cast<DWORD>(-1)) {
        result.error = ::GetLastError();
        EndUnstarted(result, CreationOutcome::Failed);
    } else {
        result.outcome = CreationOutcome::Created;
    }
    LeaveCreation();
}

bool WaitForContainerCreation(DWORD timeoutMs) noexcept {
    const HANDLE hIdle = IdleEvent();
    // Past this point a creation that has not counted itself in sees the stop.
    { const qeb::LockGuard<qeb::SlimMutex> lock(s_inFlightLock); }
    return hIdle != nullptr && ::WaitForSingleObject(hIdle, timeoutMs) == WAIT_OBJECT_0;
}
