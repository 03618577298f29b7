#include "process_cost.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_report.h"
#include "process_record.h"

namespace qebbench {

namespace {

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
            const uint64_t taskSwitches =
                SumField(status, "\nvoluntary_ctxt_switches:") + SumField(status, "nonvoluntary_ctxt_switches:");
            switches += taskSwitches;
            cost->hostThreadSwitches[std::wcstoul(taskName.c_str(), nullptr, 10)] = taskSwitches;
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
    qeb::scm::ProcessRecord record;
    if (qeb::scm::ReadProcessRecord(processId, &record)) {
        cost.contextSwitches = record.contextSwitches;
        if (!cost.bMemoryFromApi) cost.privateBytes = record.privateBytes;
        if (!cost.bHandlesFromApi) cost.handles = record.handles;
        cost.workingSetBytes = record.workingSetBytes;
    }
    cost.bHostValid = ReadHost(imagePath, &cost);
    return cost;
}

SwitchesBetween HostSwitchesBetween(const ProcessCost& before, const ProcessCost& after) {
    SwitchesBetween between;
    for (const auto& [thread, count] : after.hostThreadSwitches) {
        const auto earlier = before.hostThreadSwitches.find(thread);
        if (earlier == before.hostThreadSwitches.end()) {
            ++between.threadsStarted;
            between.switches += count;
        } else if (count >= earlier->second) {
            between.switches += count - earlier->second;
        }
    }
    for (const auto& entry : before.hostThreadSwitches)
        if (after.hostThreadSwitches.count(entry.first) == 0) ++between.threadsEnded;
    return between;
}

}  // namespace qebbench
