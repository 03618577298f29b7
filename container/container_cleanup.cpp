#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>

#include "container_constants.h"
#include "event_report.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "unique_handle.h"

namespace {
constexpr char CLEAN_FUNC_NAME[] = "QEBCoreProcess::CleanContainerProcess";
}  // namespace

// Only the file name counts: a copy running from any folder is a leftover
// too, while a name that differs only in letter case is not the container.
void QEBCoreProcess::CleanContainerProcess() {
    const qeb::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, CLEAN_FUNC_NAME, "createSnapshot failed");
        return;
    }
    PROCESSENTRY32W entry;
    ::ZeroMemory(&entry, sizeof entry);
    entry.dwSize = sizeof entry;
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, CLEAN_FUNC_NAME, "Error: Process32First ",
                     static_cast<unsigned long>(::GetLastError()));
        return;
    }
    unsigned long cleared = 0;
    do {
        if (std::wcscmp(entry.szExeFile, CONTAINER_EXE_NAME_W) == 0 && KillContainerProcess(entry.th32ProcessID))
            ++cleared;
    } while (::Process32NextW(snapshot.get(), &entry));
    if (cleared > 0) qeb::ReportServiceEvent(QEB_EVENT_STRAY_CONTAINERS_ENDED, {std::to_string(cleared).c_str()});
}

// The termination is requested, not awaited.
bool QEBCoreProcess::KillContainerProcess(DWORD processId) {
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "QEBCoreProcess::KillContainerProcess",
                 "Killprocess Pid = ", static_cast<unsigned long>(processId));
    const qeb::UniqueHandle process(::OpenProcess(KILL_PROCESS_ACCESS, FALSE, processId));
    if (!process) return false;
    ::TerminateProcess(process.get(), 0);
    return true;
}
