#include "service_events.h"

#include <atomic>
#include <string>

#include "QEBCoreServiceEvents.h"
#include "container_constants.h"
#include "container_events.h"
#include "path_utils.h"
#include "svc_thread.h"

namespace {

std::atomic<DWORD> s_stopControl{0};

// As the launch builds it; empty directory when the launch cannot run at all.
std::string ContainerPath() { return qeb::GetExeDirectory() + CONTAINER_EXE_NAME; }

std::string Seconds(DWORD ms) { return std::to_string(ms / 1000); }

WORD EventCategory(DWORD eventId) noexcept {
    switch (eventId) {
    case QEB_EVENT_CONTAINER_REFUSED: return static_cast<WORD>(QEB_CATEGORY_SECURITY);
    case QEB_EVENT_SERVICE_STARTED:
    case QEB_EVENT_SERVICE_STOPPED:
    case QEB_EVENT_REPORTS_DROPPED:
    case QEB_EVENT_SERVICE_CRASHED: return static_cast<WORD>(QEB_CATEGORY_SERVICE);
    default: return static_cast<WORD>(QEB_CATEGORY_CONTAINER);
    }
}

// Failures start an outage; the container running again ends every one.
bool StartsOutage(DWORD eventId) noexcept {
    return eventId == QEB_EVENT_CONTAINER_REFUSED || eventId == QEB_EVENT_LAUNCHES_FAILING;
}

void Report(DWORD eventId, std::initializer_list<const char*> inserts) noexcept {
    qeb::ReportEvent(kServiceEvents, eventId, inserts);
}

void ReportStrayContainersEnded(uint32_t count) noexcept {
    try {
        Report(QEB_EVENT_STRAY_CONTAINERS_ENDED, {std::to_string(count).c_str()});
    } catch (...) {
    }
}

void ReportContainerRefused(const char* path, const char* check) noexcept {
    Report(QEB_EVENT_CONTAINER_REFUSED, {path, check});
}

constexpr ContainerEventSink kContainerEvents = {&ReportStrayContainersEnded, &ReportContainerRefused};

}  // namespace

const qeb::EventCatalog kServiceEvents = {
    L"QEBCoreService",
    &EventCategory,
    &StartsOutage,
    QEB_EVENT_CONTAINER_RUNNING_AGAIN,
    QEB_EVENT_REPORTS_DROPPED,
    QEB_EVENT_SERVICE_CRASHED,
};

void PrepareServiceEvents() noexcept { qeb::PrepareEventReports(kServiceEvents); }

void ReportServiceCrashEvent(const wchar_t* dumpPath) noexcept { qeb::ReportCrashEvent(kServiceEvents, dumpPath); }

void ReportContainerEvents() noexcept { SetContainerEventSink(&kContainerEvents); }

void ReportServiceStartedEvent() noexcept {
    try {
        Report(QEB_EVENT_SERVICE_STARTED, {qeb::ProgramVersionText(), ContainerPath().c_str()});
    } catch (...) {
    }
}

void ReportContainerEndedEvent(DWORD exitCode) noexcept {
    try {
        Report(QEB_EVENT_CONTAINER_ENDED,
               {ContainerPath().c_str(), std::to_string(exitCode).c_str(), Seconds(WAIT_CONTAINER_EXIT_TIME).c_str()});
    } catch (...) {
    }
}

void ReportLaunchesFailingEvent(int32_t failedLaunches) noexcept {
    try {
        Report(QEB_EVENT_LAUNCHES_FAILING,
               {ContainerPath().c_str(), std::to_string(failedLaunches).c_str(),
                Seconds(WAIT_CONTAINER_EXIT_TIME + WAIT_START_CONTAINER_MAX_TRY_TIME).c_str()});
    } catch (...) {
    }
}

void ReportRunningAgainEvent(int32_t failedLaunches) noexcept {
    try {
        Report(QEB_EVENT_CONTAINER_RUNNING_AGAIN, {ContainerPath().c_str(), std::to_string(failedLaunches).c_str()});
    } catch (...) {
    }
}

void RecordStopControl(DWORD dwControl) noexcept { s_stopControl.store(dwControl); }

void ReportServiceStoppedEvent() noexcept {
    const DWORD control = s_stopControl.load();
    if (control == 0) return;
    qeb::ReportEventAfterStop(kServiceEvents, QEB_EVENT_SERVICE_STOPPED,
                              {control == SERVICE_CONTROL_SHUTDOWN ? "system shutdown" : "stop request"});
}
