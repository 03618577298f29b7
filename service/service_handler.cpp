#include "service_handler.h"

#include "container_creation.h"
#include "event_forward.h"
#include "event_report.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "qebcore_log_sink.h"
#include "service_events.h"
#include "service_status.h"
#include "thread_manager.h"

namespace {

constexpr const char kFuncHandler[] = "ServiceHandlerEx";
constexpr const char kFuncRelease[] = "ReleaseAllResources";

void StopService(DWORD dwControl) {
    // Stop pending goes into the record first: a running report that is
    // still on its way sees it and stands down.
    SetServiceStopPendingValues();
    // From here on no log line waits long for another thread's flush or
    // rotation: every thread has a bounded time to end.
    BoundQebLogWaitsForStop();
    // Nor does an event report: the stopped event waits for the dispatcher's return.
    qeb::EndEventReportsForStop();
    RecordStopControl(dwControl);
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncHandler, "ServiceHandlerEx fdwControl = .", dwControl);
    if (!ReportServiceStatus()) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncHandler,
                     "SetServiceStatus fail error = ", ::GetLastError());
    }
    ReleaseAllResources();
    ReportServiceStatus();
}

}  // namespace

void ReleaseAllResources() {
    VelantThread::ThreadManager::GetInstance()->WaitAll();
    const ULONGLONG deadline = ::GetTickCount64() + WAIT_SERVICE_MAIN_EXIT_TIME;

    // A launch the stop made walk away from may still be creating its
    // container on the pool thread; such a container never runs, and it is
    // gone before stopped is reported. This wait and the one for the
    // service main function share one bound.
    if (!WaitForContainerCreation(WAIT_SERVICE_MAIN_EXIT_TIME)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kFuncRelease,
                     "ReleaseAllResources fail container creation still running");
    }

    // The container keeps running; the next start clears it away. A launch
    // still running on the service main thread, or a wait on the ready
    // event, holds copies of its own, so these closes take nothing from
    // under another thread.
    g_hContainerHandle.Reset();
    QEBCoreProcess::SetContainerReadyEvent(nullptr);
    g_hContainerReadyEvent.Reset();

    const ULONGLONG now = ::GetTickCount64();
    const qeb::UniqueHandle hServiceMainExit = g_hServiceMainExitEvent.Duplicate();
    const DWORD serviceMainExitStatus =
        ::WaitForSingleObject(hServiceMainExit.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
    if (serviceMainExitStatus != WAIT_OBJECT_0) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kFuncRelease,
                     "ReleaseAllResources fail serviceMainExitStatus = ", serviceMainExitStatus);
    }

    SetServiceStoppedValues();
}

DWORD WINAPI ServiceHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID /*lpContext*/) {
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: StopService(dwControl); break;
    case SERVICE_CONTROL_SESSIONCHANGE:
        NotifyWinEvent(dwEventType, lpEventData);
        ReportServiceStatus();
        break;
    default: break;
    }
    return NO_ERROR;
}
