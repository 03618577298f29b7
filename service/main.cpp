// Process entry of QEBCoreService: brings up the log and crash dumps and
// hands the main thread to the Service Control Manager's dispatcher.

#include <windows.h>

#include "log_line.h"
#include "qebcore_dbg.h"
#include "qebcore_log.h"
#include "service_main.h"

int main(int /*argc*/, char** /*argv*/) {
    // Before anything can load a library: a DLL planted in the working
    // directory or on PATH is never picked up, only System32 and our folder.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    initQebLog(10, 10);
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "main", "QEBCoreService.main start and begin.");
    DbgSdkInit();

    SERVICE_TABLE_ENTRYW serviceTable[] = {
        {const_cast<LPWSTR>(QEB_SERVICE_NAME), service_main},
        {nullptr, nullptr},
    };
    // Blocks while the service runs; started from a console it fails and
    // the process simply ends.
    ::StartServiceCtrlDispatcherW(serviceTable);

    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "main", "QEBCoreService.main end and exit.");
    FlushQebLogFile();
    DbgSdkUnInit();
    return 0;
}
