#include "service_probe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

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

// SYSTEM_PROCESS_INFORMATION (x64): the system's own record of the
// process. Wine's GetProcessHandleCount reports 0; this count is real.
constexpr ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
constexpr size_t RECORD_PROCESS_ID_OFFSET = 0x50;
constexpr size_t RECORD_HANDLE_COUNT_OFFSET = 0x60;
constexpr size_t RECORD_PRIVATE_BYTES_OFFSET = 0xC8;
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

struct SystemRecord {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// Handle count and private bytes from the system process record; zeros
// when not found.
SystemRecord ReadSystemRecord(DWORD processId) {
    SystemRecord result;
    const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return result;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    for (int attempt = 0;; ++attempt) {
        if (query(SYSTEM_PROCESS_INFORMATION_CLASS, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) == 0)
            break;
        if (attempt == 3) return result;
        buffer.resize(buffer.size() * 2 + needed);
    }
    for (size_t offset = 0;;) {
        const unsigned char* record = buffer.data() + offset;
        ULONG next = 0;
        ULONG_PTR id = 0;
        std::memcpy(&next, record, sizeof next);
        std::memcpy(&id, record + RECORD_PROCESS_ID_OFFSET, sizeof id);
        if (id == processId) {
            ULONG handles = 0;
            std::memcpy(&handles, record + RECORD_HANDLE_COUNT_OFFSET, sizeof handles);
            std::memcpy(&result.privateBytes, record + RECORD_PRIVATE_BYTES_OFFSET, sizeof result.privateBytes);
            result.handles = handles;
            return result;
        }
        if (next == 0) return result;
        offset += next;
    }
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
    const SystemRecord record = ReadSystemRecord(processId);
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
