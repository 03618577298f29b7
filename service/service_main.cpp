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
constexpr const char kFunc[] = "service_main";
ServiceCtrlRegistrar s_registrar = &::RegisterServiceCtrlHandlerExW;
}  // namespace

ServiceCtrlRegistrar SetServiceCtrlRegistrar(ServiceCtrlRegistrar registrar) noexcept {
    const ServiceCtrlRegistrar previous = s_registrar;
    s_registrar = registrar != nullptr ? registrar : &::RegisterServiceCtrlHandlerExW;
    return previous;
}

void WINAPI service_main(DWORD /*dwArgc*/, LPWSTR* /*lpszArgv*/) {
    DbgSdkPrepareThread();
    g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFunc, "QEBCoreService.service_main enter.");

    g_hServiceStatusHandle = s_registrar(QEB_SERVICE_NAME, ServiceHandlerEx, nullptr);
    if (g_hServiceStatusHandle == nullptr) {
        qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFunc,
                     "service_main RegisterServiceCtrlHandlerExW fail error = ", ::GetLastError());
        return;
    }

    SetServiceStartValues();
    SetServiceStartPendingState();
    ReportServiceStartedEvent();

    g_hContainerReadyEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_hContainerReadyEvent != nullptr) {
        QEBCoreProcess::SetContainerReadyEvent(g_hContainerReadyEvent);
    } else {
        qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, kFunc,
                     "server CreateEvent failed error = ", ::GetLastError());
    }

    QEBCoreProcess* process = QEBCoreProcess::GetInstance();
    process->CleanContainerProcess();
    process->CreateContainerProcess();
    if (g_hContainerHandle != nullptr) {
        WaitContainerReadyAndReportStatus();
    } else {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, kFunc, "server CreateContainerProcess failed");
    }

    // After a stop has begun the thread manager starts nothing here, so no
    // supervision thread outlives the stop.
    VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun", false);

    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, kFunc, "QEBCoreService.service_main finish");
    FlushQebLogFile();
    ::SetEvent(g_hServiceMainExitEvent);
}
