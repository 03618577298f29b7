#include "process_cost.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_report.h"

namespace qebbench {

namespace {

// Offsets in the x64 layout of SYSTEM_PROCESS_INFORMATION and of the
// SYSTEM_THREAD_INFORMATION records that follow it.
constexpr ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
constexpr size_t PROCESS_THREAD_COUNT_OFFSET = 4;
constexpr size_t PROCESS_ID_OFFSET = 0x50;
constexpr size_t PROCESS_HANDLE_COUNT_OFFSET = 0x60;
constexpr size_t PROCESS_PRIVATE_PAGES_OFFSET = 0xC8;
constexpr size_t PROCESS_WORKING_SET_OFFSET = 0x90;
constexpr size_t PROCESS_RECORD_BYTES = 0x100;
constexpr size_t THREAD_RECORD_BYTES = 0x50;
constexpr size_t THREAD_SWITCHES_OFFSET = 0x40;

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

struct SystemRecord {
    uint64_t contextSwitches = 0;
    DWORD handles = 0;
    uint64_t privateBytes = 0;
    uint64_t workingSetBytes = 0;
};

bool ReadSystemRecord(DWORD processId, SystemRecord* result) {
    const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return false;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const LONG status = query(SYSTEM_PROCESS_INFORMATION_CLASS, buffer.data(), static_cast<ULONG>(buffer.size()),
                                  &needed);
        if (status == 0) break;
        if (attempt == 3) return false;
        buffer.resize(buffer.size() * 2 + needed);
    }
    size_t offset = 0;
    for (;;) {
        const unsigned char* record = buffer.data() + offset;
        ULONG next = 0, threads = 0;
        ULONG_PTR id = 0;
        std::memcpy(&next, record, sizeof next);
        std::memcpy(&threads, record + PROCESS_THREAD_COUNT_OFFSET, sizeof threads);
        std::memcpy(&id, record + PROCESS_ID_OFFSET, sizeof id);
        if (id == processId) {
            uint64_t sum = 0;
            for (ULONG t = 0; t < threads; ++t) {
                ULONG switches = 0;
                std::memcpy(&switches, record + PROCESS_RECORD_BYTES + t * THREAD_RECORD_BYTES + THREAD_SWITCHES_OFFSET,
                            sizeof switches);
                sum += switches;
            }
            result->contextSwitches = sum;
            ULONG handles = 0;
            SIZE_T privatePages = 0;
            std::memcpy(&handles, record + PROCESS_HANDLE_COUNT_OFFSET, sizeof handles);
            std::memcpy(&privatePages, record + PROCESS_PRIVATE_PAGES_OFFSET, sizeof privatePages);
            SIZE_T workingSet = 0;
            std::memcpy(&workingSet, record + PROCESS_WORKING_SET_OFFSET, sizeof workingSet);
            result->workingSetBytes = workingSet;
            result->handles = handles;
            result->privateBytes = privatePages;
            return true;
        }
        if (next == 0) return false;
        offset += next;
    }
}

uint64_t SumField(const std::string& status, const char* field) {
    const size_t at = status.find(field);
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + std::strlen(field), nullptr, 10);
}


// Fields 14 and 15 of /proc/<pid>/stat (after the parenthesised name).
double HostCpuMs(const std::string& stat) {
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0.0;
    const char* at = stat.c_str() + close + 1;
    char* end = nullptr;
    unsigned long long fields[15] = {};
    for (int field = 3; field <= 15; ++field) {
        while (*at == ' ') ++at;
        if (field == 3) {  // the state letter
            ++at;
            continue;
        }
        fields[field - 1] = std::strtoull(at, &end, 10);
        at = end;
    }
    return static_cast<double>(fields[13] + fields[14]) * 10.0;  // USER_HZ 100
}

// Under Wine every Windows process is a host process whose command line
// names the Windows image; the host's /proc is reachable through drive Z:.
bool ReadHost(const std::wstring& imagePath, ProcessCost* cost) {
    const std::string wanted = Narrow(imagePath);
    WIN32_FIND_DATAW found = {};
    const HANDLE hFind = ::FindFirstFileW(L"Z:\\proc\\*", &found);
    if (hFind == INVALID_HANDLE_VALUE) return false;
    bool bFound = false;
    do {
        const std::wstring name = found.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        const std::wstring base = L"Z:\\proc\\" + name + L"\\";
        const std::string commandLine = ReadTextFile(base + L"cmdline");
        if (commandLine.compare(0, wanted.size(), wanted) != 0) continue;
        uint64_t switches = 0;
        WIN32_FIND_DATAW task = {};
        const HANDLE hTasks = ::FindFirstFileW((base + L"task\\*").c_str(), &task);
        if (hTasks == INVALID_HANDLE_VALUE) continue;
        do {
            const std::wstring taskName = task.cFileName;
            if (taskName == L"." || taskName == L"..") continue;
            const std::string status = ReadTextFile(base + L"task\\" + taskName + L"\\status");
            switches += SumField(status, "\nvoluntary_ctxt_switches:") + SumField(status, "nonvoluntary_ctxt_switches:");
        } while (::FindNextFileW(hTasks, &task));
        ::FindClose(hTasks);
        cost->hostContextSwitches = switches;
        cost->hostCpuMs = HostCpuMs(ReadTextFile(base + L"stat"));
        cost->hostRssAnonKiB = SumField(ReadTextFile(base + L"status"), "RssAnon:");
        cost->hostProcessId = std::wcstoul(name.c_str(), nullptr, 10);
        bFound = true;
        break;
    } while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    return bFound;
}

double FileTimeMs(const FILETIME& time) {
    return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000.0;
}

}  // namespace

ProcessCost MeasureProcess(DWORD processId, const std::wstring& imagePath) {
    ProcessCost cost;
    const HANDLE hProcess = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (hProcess == nullptr) return cost;
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    cost.bValid = ::GetProcessTimes(hProcess, &created, &exited, &kernel, &user) != FALSE;
    cost.cpuMs = FileTimeMs(kernel) + FileTimeMs(user);
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (::GetProcessMemoryInfo(hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory) &&
        memory.PrivateUsage != 0) {
        cost.privateBytes = memory.PrivateUsage;
        cost.bMemoryFromApi = true;
    }
    DWORD handles = 0;
    if (::GetProcessHandleCount(hProcess, &handles) && handles != 0) {
        cost.handles = handles;
        cost.bHandlesFromApi = true;
    }
    ::CloseHandle(hProcess);
    SystemRecord record;
    if (ReadSystemRecord(processId, &record)) {
        cost.contextSwitches = record.contextSwitches;
        if (!cost.bMemoryFromApi) cost.privateBytes = record.privateBytes;
        if (!cost.bHandlesFromApi) cost.handles = record.handles;
        cost.workingSetBytes = record.workingSetBytes;
    }
    cost.bHostValid = ReadHost(imagePath, &cost);
    return cost;
}

}  // namespace qebbench
