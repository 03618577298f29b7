#include "service_main.h"

#include "log_line.h"
#include "qeb_core_process.h"
#include "qebcore_dbg.h"
#include "qebcore_log.h"
#include "service_events.h"
#include "service_handler.h"
#include "service_status.h"
#include "svc_thread.h"
#include "thread_manager.h"

namespace {
constexpr const char kServiceMainFunc[] = "service_main";
ServiceCtrlRegistrar s_registrar = &::RegisterServiceCtrlHandlerExW;
}  // namespace

ServiceCtrlRegistrar SetServiceCtrlRegistrar(ServiceCtrlRegistrar registrar) noexcept {
    const ServiceCtrlRegistrar previous = s_registrar;
    s_registrar = registrar != nullptr ? registrar : &::RegisterServiceCtrlHandlerExW;
    return previous;
}

void WINAPI service_main(DWORD /*dwArgc*/, LPWSTR* /*lpszArgv*/) {
    DbgSdkPrepareThread();
    g_hServiceMainExitEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kServiceMainFunc, "QEBCoreService.service_main enter.");

    const SERVICE_STATUS_HANDLE hStatus = s_registrar(QEB_SERVICE_NAME, ServiceHandlerEx, nullptr);
    SetServiceStatusHandle(hStatus);
    if (hStatus == nullptr) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kServiceMainFunc,
                     "service_main RegisterServiceCtrlHandlerExW fail error = ", ::GetLastError());
        return;
    }

    SetServiceStartValues();
    SetServiceStartPendingState();
    ReportServiceStartedEvent();

    g_hContainerReadyEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // Handed over under the event's lock: a stop may close it at any time.
    const bool bReadyEvent = g_hContainerReadyEvent.With([](HANDLE hReady) noexcept {
        if (hReady != nullptr) QEBCoreProcess::SetContainerReadyEvent(hReady);
        return hReady != nullptr;
    });
    if (!bReadyEvent) {
        qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, kServiceMainFunc,
                     "server CreateEvent failed error = ", ::GetLastError());
    }

    ReportContainerEvents();
    QEBCoreProcess* process = QEBCoreProcess::GetInstance();
    process->CleanContainerProcess();
    process->CreateContainerProcess();
    if (g_hContainerHandle.Held()) {
        WaitContainerReadyAndReportStatus();
    } else {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kServiceMainFunc,
                     "server CreateContainerProcess failed");
    }

    // After a stop has begun the thread manager starts nothing here, so no
    // supervision thread outlives the stop.
    VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun", false);

    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kServiceMainFunc, "QEBCoreService.service_main finish");
    FlushQebLogFile();
    g_hServiceMainExitEvent.With([](HANDLE hEvent) noexcept { return ::SetEvent(hEvent); });
}
