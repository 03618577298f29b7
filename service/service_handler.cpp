#include "service_handler.h"

#include "event_forward.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "service_status.h"
#include "thread_manager.h"

namespace {

constexpr const char kFuncHandler[] = "ServiceHandlerEx";
constexpr const char kFuncRelease[] = "ReleaseAllResources";

void StopService(DWORD dwControl) {
    // Stop pending goes into the record first: a running report that is
    // still on its way sees it and stands down.
    SetServiceStopPendingValues();
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncHandler, "ServiceHandlerEx fdwControl = .", dwControl);
    if (!ReportServiceStatus()) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFuncHandler, "SetServiceStatus fail error = ",
                     ::GetLastError());
    }
    ReleaseAllResources();
    ReportServiceStatus();
}

}  // namespace

void ReleaseAllResources() {
    VelantThread::ThreadManager::GetInstance()->WaitAll();

    // The container keeps running; the next start clears it away.
    if (g_hContainerHandle != nullptr) {
        ::CloseHandle(g_hContainerHandle);
        g_hContainerHandle = nullptr;
    }
    if (g_hContainerReadyEvent != nullptr) {
        // A launch still running on the service main thread must not reset
        // the closed handle's value, which may belong to something else by then.
        QEBCoreProcess::SetContainerReadyEvent(nullptr);
        ::CloseHandle(g_hContainerReadyEvent);
        g_hContainerReadyEvent = nullptr;
    }

    const DWORD serviceMainExitStatus = ::WaitForSingleObject(g_hServiceMainExitEvent, WAIT_SERVICE_MAIN_EXIT_TIME);
    if (serviceMainExitStatus != WAIT_OBJECT_0) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kFuncRelease,
                     "ReleaseAllResources fail serviceMainExitStatus = ", serviceMainExitStatus);
    }

    SetServiceStoppedValues();
}

DWORD WINAPI ServiceHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID /*lpContext*/) {
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        StopService(dwControl);
        break;
    case SERVICE_CONTROL_SESSIONCHANGE:
        NotifyWinEvent(dwEventType, lpEventData);
        ReportServiceStatus();
        break;
    default:
        break;
    }
    return NO_ERROR;
}
