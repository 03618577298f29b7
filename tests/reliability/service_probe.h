#pragma once
// What the tests watch of the running service process from outside: its
// handle count, private bytes and thread count, and whether it is alive.

#include <windows.h>

#include <string>

namespace qebtest {

struct ProcessFigures {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    DWORD threads = 0;
    bool valid = false;
};

// The service's process id as the Service Control Manager reports it; 0
// when it is not running.
DWORD ServiceProcessId();
ProcessFigures SampleProcess(DWORD processId);
std::string Describe(const ProcessFigures& figures);
// Waits until the process has ended; true when it did within timeoutMs.
bool WaitProcessEnd(DWORD processId, DWORD timeoutMs);

}  // namespace qebtest
