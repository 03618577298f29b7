#include "service_status.h"

#include "kernel_mutex_lock.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "thread_manager.h"

SERVICE_STATUS g_serviceStatus = {};
SERVICE_STATUS_HANDLE g_hServiceStatusHandle = nullptr;
HANDLE g_hServiceMainExitEvent = nullptr;
HANDLE g_hContainerReadyEvent = nullptr;

namespace {

constexpr const char kFuncStartPending[] = "SetServiceStartPendingState";
constexpr const char kFuncWaitReady[] = "WaitContainerReadyAndReportStatus";

ServiceStatusReporter s_reporter = &::SetServiceStatus;

// Never closed: a report can still be under way on a thread that outlives
// the exit-time destructors, and a closed value may name another object.
HANDLE StatusMutex() noexcept {
    static const HANDLE s_hStatusMutex = ::CreateMutexW(nullptr, FALSE, nullptr);
    return s_hStatusMutex;
}

class StatusLock : public qeb::KernelMutexLock {
public:
    StatusLock() noexcept : qeb::KernelMutexLock(StatusMutex()) {}
};

bool IsStopping(DWORD state) noexcept { return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING; }

// Reports while the caller holds the lock, so that the order of reports is
// the order of changes.
bool ReportLocked() noexcept {
    SERVICE_STATUS copy = g_serviceStatus;
    return s_reporter(g_hServiceStatusHandle, &copy) != FALSE;
}

}  // namespace

ServiceStatusReporter SetServiceStatusReporter(ServiceStatusReporter reporter) noexcept {
    StatusLock lock;
    ServiceStatusReporter previous = s_reporter;
    s_reporter = reporter != nullptr ? reporter : &::SetServiceStatus;
    return previous;
}

bool ReportServiceStatus() noexcept {
    bool reported = false;
    DWORD error = ERROR_SUCCESS;
    {
        StatusLock lock;
        reported = ReportLocked();
        error = ::GetLastError();
    }
    ::SetLastError(error);
    return reported;
}

void SetServiceStartValues() noexcept {
    StatusLock lock;
    g_serviceStatus.dwServiceType = QEB_SERVICE_TYPE;
    g_serviceStatus.dwControlsAccepted = QEB_CONTROLS_ACCEPTED;
    g_serviceStatus.dwWin32ExitCode = NO_ERROR;
    g_serviceStatus.dwServiceSpecificExitCode = 0;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = STATUS_WAIT_HINT;
}

void SetServiceStopPendingValues() noexcept {
    StatusLock lock;
    g_serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
    g_serviceStatus.dwControlsAccepted = QEB_CONTROLS_ACCEPTED;
    g_serviceStatus.dwWin32ExitCode = NO_ERROR;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = STATUS_WAIT_HINT;
}

void SetServiceStoppedValues() noexcept {
    StatusLock lock;
    g_serviceStatus.dwCurrentState = SERVICE_STOPPED;
    g_serviceStatus.dwWaitHint = 0;
}

void SetServiceStartPendingState() {
    bool reported = true;
    DWORD error = ERROR_SUCCESS;
    {
        StatusLock lock;
        // A container that ends while a stop is under way must not take the
        // service back from stop pending to start pending.
        if (IsStopping(g_serviceStatus.dwCurrentState)) return;
        g_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
        reported = ReportLocked();
        error = ::GetLastError();
    }
    if (!reported) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncStartPending,
                     "svcThreadFun SetServiceStatus SERVICE_START_PENDING error = ", error);
    }
}

void WaitContainerReadyAndReportStatus() {
    const HANDLE waitHandles[2] = {VelantThread::ThreadManager::GetInstance()->GetExitEvent(), g_hContainerReadyEvent};
    const DWORD waitResult = ::WaitForMultipleObjects(2, waitHandles, FALSE, WAIT_CONTAINER_READY_TIME);
    if (waitResult == WAIT_OBJECT_0) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kFuncWaitReady,
                     "WaitContainerReadyAndReportStatus WaitForMultipleObjects fail,  exit signal received");
        return;
    }
    if (waitResult != WAIT_OBJECT_0 + 1) {
        qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, kFuncWaitReady,
                     "WaitContainerReadyAndReportStatus WaitForSingleObject fail, wait timeout");
    }

    // The state test and the running transition are one step under the lock,
    // so a stop that has written stop pending is never overwritten.
    DWORD stateSeen = 0;
    bool bStopping = false;
    {
        StatusLock lock;
        stateSeen = g_serviceStatus.dwCurrentState;
        bStopping = IsStopping(stateSeen);
        if (!bStopping) {
            g_serviceStatus.dwCurrentState = SERVICE_RUNNING;
            g_serviceStatus.dwCheckPoint = 0;
            g_serviceStatus.dwWaitHint = 0;
        }
    }
    if (bStopping) {
        qeb::LogLine(
            qeb::LogLevel::Info, qeb::kTagService, kFuncWaitReady,
            "WaitContainerReadyAndReportStatus set SERVICE_RUNNING fail g_serviceStatus.dwCurrentState = ", stateSeen);
        return;
    }

    const DWORD containerState = ::WaitForSingleObject(g_hContainerHandle, 0);
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncWaitReady,
                 "WaitContainerReadyAndReportStatus WaitForSingleObject containerState = ", containerState);
    // An ended container is the supervision loop's to report.
    if (containerState == WAIT_OBJECT_0) return;

    if (!ReportServiceStatus()) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncWaitReady,
                     "WaitContainerReadyAndReportStatus SetServiceStatus SERVICE_RUNNING error = ", ::GetLastError());
    }
}
