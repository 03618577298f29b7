// The package's own stop helper, a DLL custom action from its Binary table:
// an upgrade runs it from the new package, before the earlier package's
// removal, whatever that package carries. Deferred and not impersonated, so
// it runs as LocalSystem, with the rights to reconfigure and end the
// service; its rollback puts back the recovery actions it removed. Both
// always return success: the installation goes on, and its own stop then
// fails as it would have.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "service_main.h"
#include "stuck_stop_core.h"

namespace {

// One line in the installation's log.
void LogToInstaller(void* context, const char* text) noexcept {
    try {
        const MSIHANDLE install = *static_cast<const MSIHANDLE*>(context);
        PMSIHANDLE record = ::MsiCreateRecord(1);
        const std::string line = std::string("QEBCoreStuckStop: ") + text;
        ::MsiRecordSetStringA(record, 0, line.c_str());
        ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    } catch (...) {
    }
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall StopStuckService(MSIHANDLE install) {
    qeb::installer::EndStuckService(QEB_SERVICE_NAME, &LogToInstaller, &install);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RestoreRecoveryActions(MSIHANDLE install) {
    qeb::installer::RestoreRemovedRecoveryActions(QEB_SERVICE_NAME, &LogToInstaller, &install);
    return ERROR_SUCCESS;
}
