#include "service_probe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

#include "process_record.h"
#include "scm_client.h"
#include "unique_handle.h"

namespace qebtest {

namespace {

DWORD CountThreads(DWORD processId) {
    const qeb::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) ++count;
    }
    return count;
}

}  // namespace

DWORD ServiceProcessId() {
    SERVICE_STATUS_PROCESS status = {};
    if (qeb::scm::QueryStatus(&status) != ERROR_SUCCESS) return 0;
    return status.dwProcessId;
}

ProcessFigures SampleProcess(DWORD processId) {
    ProcessFigures figures;
    const qeb::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return figures;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    // Wine reports 0 for both through these calls; the system record then
    // has the real figures.
    qeb::scm::ProcessRecord record;
    qeb::scm::ReadProcessRecord(processId, &record);
    if (!::GetProcessHandleCount(process.get(), &figures.handles) || figures.handles == 0) {
        figures.handles = record.handles;
    }
    if (::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        figures.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
    }
    if (figures.privateBytes == 0) figures.privateBytes = record.privateBytes;
    figures.threads = CountThreads(processId);
    figures.valid = figures.threads > 0 && figures.handles > 0 && figures.privateBytes > 0;
    return figures;
}

std::string Describe(const ProcessFigures& figures) {
    return "handles=" + std::to_string(figures.handles) + " private=" + std::to_string(figures.privateBytes / 1024) +
           "KiB threads=" + std::to_string(figures.threads);
}

bool WaitProcessEnd(DWORD processId, DWORD timeoutMs) {
    const qeb::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return true;  // already gone
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace qebtest
