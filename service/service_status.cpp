#include "service_status.h"

#include "log_line.h"
#include "qeb_core_process.h"
#include "thread_manager.h"

qeb::KernelMutex g_statusLock;
SERVICE_STATUS g_serviceStatus = {};
SERVICE_STATUS_HANDLE g_hServiceStatusHandle = nullptr;
qeb::SharedHandle g_hServiceMainExitEvent;
qeb::SharedHandle g_hContainerReadyEvent;

namespace {

constexpr const char kFuncStartPending[] = "SetServiceStartPendingState";
constexpr const char kFuncWaitReady[] = "WaitContainerReadyAndReportStatus";

ServiceStatusReporter s_reporter GUARDED_BY(g_statusLock) = &::SetServiceStatus;

using StatusLock = qeb::LockGuard<qeb::KernelMutex>;

bool IsStopping(DWORD state) noexcept { return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING; }

// Reports while the caller holds the lock, so that the order of reports is
// the order of changes.
bool ReportLocked() noexcept REQUIRES(g_statusLock) {
    SERVICE_STATUS copy = g_serviceStatus;
    return s_reporter(g_hServiceStatusHandle, &copy) != FALSE;
}

}  // namespace

ServiceStatusReporter SetServiceStatusReporter(ServiceStatusReporter reporter) noexcept {
    StatusLock lock(g_statusLock);
    ServiceStatusReporter previous = s_reporter;
    s_reporter = reporter != nullptr ? reporter : &::SetServiceStatus;
    return previous;
}

bool ReportServiceStatus() noexcept {
    bool reported = false;
    DWORD error = ERROR_SUCCESS;
    {
        StatusLock lock(g_statusLock);
        reported = ReportLocked();
        error = ::GetLastError();
    }
    ::SetLastError(error);
    return reported;
}

void SetServiceStatusHandle(SERVICE_STATUS_HANDLE hStatus) noexcept {
    StatusLock lock(g_statusLock);
    g_hServiceStatusHandle = hStatus;
}

void SetServiceStartValues() noexcept {
    StatusLock lock(g_statusLock);
    g_serviceStatus.dwServiceType = QEB_SERVICE_TYPE;
    g_serviceStatus.dwControlsAccepted = QEB_CONTROLS_ACCEPTED;
    g_serviceStatus.dwWin32ExitCode = NO_ERROR;
    g_serviceStatus.dwServiceSpecificExitCode = 0;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = STATUS_WAIT_HINT;
}

void SetServiceStopPendingValues() noexcept {
    StatusLock lock(g_statusLock);
    g_serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
    g_serviceStatus.dwControlsAccepted = QEB_CONTROLS_ACCEPTED;
    g_serviceStatus.dwWin32ExitCode = NO_ERROR;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = STATUS_WAIT_HINT;
}

void SetServiceStoppedValues() noexcept {
    StatusLock lock(g_statusLock);
    g_serviceStatus.dwCurrentState = SERVICE_STOPPED;
    g_serviceStatus.dwWaitHint = 0;
}

void SetServiceStartPendingState() {
    bool reported = true;
    DWORD error = ERROR_SUCCESS;
    {
        StatusLock lock(g_statusLock);
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
    // A copy of its own: the stop may close the host's event meanwhile.
    const qeb::UniqueHandle hReady = g_hContainerReadyEvent.Duplicate();
    const HANDLE waitHandles[2] = {VelantThread::ThreadManager::GetInstance()->GetExitEvent(), hReady.get()};
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
        StatusLock lock(g_statusLock);
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

    const DWORD containerState =
        g_hContainerHandle.With([](HANDLE hContainer) noexcept { return ::WaitForSingleObject(hContainer, 0); });
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncWaitReady,
                 "WaitContainerReadyAndReportStatus WaitForSingleObject containerState = ", containerState);
    // An ended container is the supervision loop's to report.
    if (containerState == WAIT_OBJECT_0) return;

    if (!ReportServiceStatus()) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncWaitReady,
                     "WaitContainerReadyAndReportStatus SetServiceStatus SERVICE_RUNNING error = ", ::GetLastError());
    }
}
