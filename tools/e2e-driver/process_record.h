#pragma once
// The system's own record of a process (NtQuerySystemInformation with
// SystemProcessInformation). Under Wine, GetProcessHandleCount and the
// PrivateUsage of GetProcessMemoryInfo report 0 for another process; this
// record has real figures on both systems.

#include <windows.h>

#include <cstdint>

namespace qeb::scm {

struct ProcessRecord {
    DWORD handles = 0;
    uint64_t privateBytes = 0;
    uint64_t workingSetBytes = 0;
    uint64_t contextSwitches = 0;  // summed over the process's threads
};

// False when the process is not in the system's list or the query failed.
bool ReadProcessRecord(DWORD processId, ProcessRecord* result);

}  // namespace qeb::scm
