// Process entry of QEBCoreService: brings up the log and crash dumps and
// hands the main thread to the Service Control Manager's dispatcher.

#include <windows.h>

#include "background_call.h"
#include "log_line.h"
#include "qebcore_dbg.h"
#include "qebcore_log.h"
#include "qebcore_security.h"
#include "service_events.h"
#include "service_main.h"

namespace {
constexpr DWORD EVENT_REPORTS_EXIT_WAIT_MS = 1000;
}  // namespace

int main(int /*argc*/, char** /*argv*/) {
    // Before anything can load a library: a DLL planted in the working
    // directory or on PATH is never picked up, only System32 and our folder.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    initQebLog(10, 10);
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "main", "QEBCoreService.main start and begin.");
    DbgSdkInit();
    PrepareServiceEvents();
    // A crash of the service itself is the administrators' to see too.
    DbgSdkSetCrashCallback(&ReportServiceCrashEvent);
    // The first signature check's one-time cost (loading the trust providers
    // and crypto modules) is paid here, beside the service's start-up instead
    // of on its way to running.
    VelantThread::RunInBackground([] { WarmUpSignatureChecks(); });

    SERVICE_TABLE_ENTRYW serviceTable[] = {
        {const_cast<LPWSTR>(QEB_SERVICE_NAME), service_main},
        {nullptr, nullptr},
    };
    // Blocks while the service runs; started from a console it fails and
    // the process simply ends.
    ::StartServiceCtrlDispatcherW(serviceTable);

    // Nothing waits here for work the stop left behind: a signature check
    // still running on the pool thread, or the warm-up, ends with the
    // process, however long it would have taken. The process-wide objects
    // such work can reach are never destroyed, and no process creation is
    // under way any more once stopped has been reported.

    ReportServiceStoppedEvent();
    // The service is stopped already: this delays only the process's end,
    // so that the stopped event is not lost with it.
    qeb::WaitForEventReports(EVENT_REPORTS_EXIT_WAIT_MS);

    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "main", "QEBCoreService.main end and exit.");
    FlushQebLogFile();
    DbgSdkUnInit();
    return 0;
}
