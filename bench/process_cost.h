#pragma once
// What a running process costs: CPU time, context switches, private bytes
// and handles, read from outside the process.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

namespace qebbench {

struct ProcessCost {
    bool bValid = false;
    double cpuMs = 0.0;            // kernel + user (GetProcessTimes)
    uint64_t privateBytes = 0;     // GetProcessMemoryInfo PrivateUsage
    DWORD handles = 0;             // GetProcessHandleCount
    uint64_t contextSwitches = 0;  // sum over threads (NtQuerySystemInformation)
    bool bMemoryFromApi = false;   // false: the system process record's values
    bool bHandlesFromApi = false;
    uint64_t workingSetBytes = 0;  // system process record
    // Wine only: the host process behind the Windows one, read from the
    // host's /proc through drive Z:.
    bool bHostValid = false;
    unsigned long hostProcessId = 0;
    uint64_t hostContextSwitches = 0;  // voluntary + involuntary, all threads
    // The same per host thread: a thread that ends between two samples takes
    // its count with it, so a difference is taken over the threads in both.
    std::map<unsigned long, uint64_t> hostThreadSwitches;
    double hostCpuMs = 0.0;       // utime + stime
    uint64_t hostRssAnonKiB = 0;  // resident anonymous memory
};

// imagePath: the full path the process was started by (its command line
// under Wine), to find the host process.
ProcessCost MeasureProcess(DWORD processId, const std::wstring& imagePath);

struct SwitchesBetween {
    uint64_t switches = 0;  // of the threads alive in both samples, and of those started since
    size_t threadsEnded = 0;
    size_t threadsStarted = 0;
};
SwitchesBetween HostSwitchesBetween(const ProcessCost& before, const ProcessCost& after);

}  // namespace qebbench
