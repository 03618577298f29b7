#include "service_events.h"

#include <atomic>
#include <string>

#include "container_constants.h"
#include "event_report.h"
#include "path_utils.h"
#include "svc_thread.h"

namespace {

std::atomic<DWORD> s_stopControl{0};

// As the launch builds it; empty directory when the launch cannot run at all.
std::string ContainerPath() { return qeb::GetExeDirectory() + CONTAINER_EXE_NAME; }

std::string Seconds(DWORD ms) { return std::to_string(ms / 1000); }

}  // namespace

void ReportServiceStartedEvent() noexcept {
    try {
        qeb::ReportServiceEvent(QEB_EVENT_SERVICE_STARTED, {qeb::ProgramVersionText(), ContainerPath().c_str()});
    } catch (...) {
    }
}

void ReportContainerEndedEvent(DWORD exitCode) noexcept {
    try {
        qeb::ReportServiceEvent(QEB_EVENT_CONTAINER_ENDED, {ContainerPath().c_str(), std::to_string(exitCode).c_str(),
                                                            Seconds(WAIT_CONTAINER_EXIT_TIME).c_str()});
    } catch (...) {
    }
}

void ReportLaunchesFailingEvent(int32_t failedLaunches) noexcept {
    try {
        qeb::ReportServiceEvent(QEB_EVENT_LAUNCHES_FAILING,
                                {ContainerPath().c_str(), std::to_string(failedLaunches).c_str(),
                                 Seconds(WAIT_CONTAINER_EXIT_TIME + WAIT_START_CONTAINER_MAX_TRY_TIME).c_str()});
    } catch (...) {
    }
}

void ReportRunningAgainEvent(int32_t failedLaunches) noexcept {
    try {
        qeb::ReportServiceEvent(QEB_EVENT_CONTAINER_RUNNING_AGAIN,
                                {ContainerPath().c_str(), std::to_string(failedLaunches).c_str()});
    } catch (...) {
    }
}

void RecordStopControl(DWORD dwControl) noexcept { s_stopControl.store(dwControl); }

void ReportServiceStoppedEvent() noexcept {
    const DWORD control = s_stopControl.load();
    if (control == 0) return;
    qeb::ReportServiceEventAfterStop(QEB_EVENT_SERVICE_STOPPED,
                                     {control == SERVICE_CONTROL_SHUTDOWN ? "system shutdown" : "stop request"});
}
