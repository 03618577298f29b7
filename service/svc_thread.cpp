#include "svc_thread.h"

#include "log_line.h"
#include "qeb_core_process.h"
#include "service_events.h"
#include "service_status.h"
#include "thread_manager.h"

int32_t g_startContainerFailCount = 0;

namespace {

constexpr const char kSvcThreadFunc[] = "svcThreadFun";

void LogInfo(const char* text) noexcept { qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kSvcThreadFunc, text); }

// True when the exit event was set during the pause. A wait that fails
// (no exit event) still keeps the pace, so failed launches never spin.
bool PauseUntilExit(HANDLE hExitEvent, DWORD pauseMs) noexcept {
    const DWORD result = ::WaitForSingleObject(hExitEvent, pauseMs);
    if (result == WAIT_OBJECT_0) return true;
    if (result == WAIT_FAILED) ::Sleep(pauseMs);
    return false;
}

}  // namespace

uint32_t svcThreadFun(void* /*threadParam*/) {
    LogInfo("svcThreadFun start.");

    HANDLE waitHandles[2] = {VelantThread::ThreadManager::GetInstance()->GetExitEvent(), nullptr};
    // Failed launches in a row for the events, the first launch's included.
    int32_t failedLaunches = g_hContainerHandle.Held() ? 0 : 1;
    for (;;) {
        // A copy of its own: the stop may close the shared handle meanwhile.
        const qeb::UniqueHandle hContainer = g_hContainerHandle.Duplicate();
        waitHandles[1] = hContainer.get();
        if (waitHandles[1] != nullptr) {
            // Any outcome but the exit event counts as the container having
            // ended, a failed wait included.
            if (::WaitForMultipleObjects(2, waitHandles, FALSE, INFINITE) == WAIT_OBJECT_0) {
                LogInfo("wait g_hContainerHandle fail, exit signal received");
                break;
            }
        }

        // A copy that could not be made counts as a failed wait.
        if (g_hContainerHandle.Held()) {
            LogInfo("Container process exit.");
            DWORD exitCode = 0;
            if (!::GetExitCodeProcess(hContainer.get(), &exitCode)) exitCode = STILL_ACTIVE;
            g_hContainerHandle.Reset();
            SetServiceStartPendingState();
            ReportContainerEndedEvent(exitCode);
        }

        if (PauseUntilExit(waitHandles[0], CurrentSupervisionPauses().afterExitMs)) {
            LogInfo("wait timeout WAIT_CONTAINER_EXIT_TIME fail, exit signal received");
            break;
        }
        if (g_startContainerFailCount >= START_CONTAINER_MAX_TRY_COUNT &&
            PauseUntilExit(waitHandles[0], CurrentSupervisionPauses().afterFailuresMs)) {
            LogInfo("wait timeout WAIT_START_CONTAINER_MAX_TRY_TIME fail, exit signal received");
            break;
        }

        QEBCoreProcess::GetInstance()->CreateContainerProcess();
        if (g_hContainerHandle.Held()) {
            g_startContainerFailCount = 0;
            WaitContainerReadyAndReportStatus();
            LogInfo("Restart ContainerProcess success");
            if (failedLaunches > 0) ReportRunningAgainEvent(failedLaunches);
            failedLaunches = 0;
        } else {
            ++g_startContainerFailCount;
            qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kSvcThreadFunc, "Restart ContainerProcessr fail");
            ++failedLaunches;
            if (g_startContainerFailCount >= START_CONTAINER_MAX_TRY_COUNT) ReportLaunchesFailingEvent(failedLaunches);
        }
    }

    LogInfo("svcThreadFun end.");
    return 1;
}
