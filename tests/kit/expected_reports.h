#pragma once
// The status reports the service makes, as the whole suite expects them: the
// in-process test compares every report with them exactly, the end-to-end
// tests compare what the Service Control Manager passes on.

#include <windows.h>

#include <ostream>

namespace kit {

// type, state, controls accepted, Win32 and specific exit code, check point, wait hint
constexpr SERVICE_STATUS kFirstStartPending{0x30, SERVICE_START_PENDING, 0x85, 0, 0, 0, 1000};
constexpr SERVICE_STATUS kRunning{0x30, SERVICE_RUNNING, 0x85, 0, 0, 0, 0};
// After a running report, start pending keeps its wait hint of 0.
constexpr SERVICE_STATUS kRestartPending{0x30, SERVICE_START_PENDING, 0x85, 0, 0, 0, 0};
constexpr SERVICE_STATUS kStopPending{0x30, SERVICE_STOP_PENDING, 0x85, 0, 0, 0, 1000};
constexpr SERVICE_STATUS kStopped{0x30, SERVICE_STOPPED, 0x85, 0, 0, 0, 0};

}  // namespace kit

// Beside SERVICE_STATUS, in the global namespace, where the comparisons of
// GoogleTest and std::vector find them.
inline bool operator==(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return a.dwServiceType == b.dwServiceType && a.dwCurrentState == b.dwCurrentState &&
           a.dwControlsAccepted == b.dwControlsAccepted && a.dwWin32ExitCode == b.dwWin32ExitCode &&
           a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode && a.dwCheckPoint == b.dwCheckPoint &&
           a.dwWaitHint == b.dwWaitHint;
}
inline void PrintTo(const SERVICE_STATUS& s, std::ostream* out) {
    *out << "{type 0x" << std::hex << s.dwServiceType << std::dec << " state " << s.dwCurrentState << " accepted 0x"
         << std::hex << s.dwControlsAccepted << std::dec << " exit " << s.dwWin32ExitCode << "/"
         << s.dwServiceSpecificExitCode << " checkpoint " << s.dwCheckPoint << " waithint " << s.dwWaitHint << "}";
}
