// QEBBenchNoop: the smallest service that does what QEBCoreService does on
// the way to running, for the floors of the service benchmark. It reports
// start pending, then passes a 34-byte message through an anonymous pipe to
// a reader thread, which reports running at once. The time of the write and
// of the read go to "QEBBenchNoop.stamp" beside the executable. A stop is
// answered with stopped at once.

#include <windows.h>

#include <cstdio>
#include <string>

#include "bench_report.h"

namespace {

constexpr wchar_t SERVICE_NAME[] = L"QEBBenchNoop";
constexpr DWORD MESSAGE_BYTES = 34;  // UTF-16 "NotifyWorkStatus1"
constexpr DWORD SETTLE_MS = 300;

SERVICE_STATUS_HANDLE g_hStatusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_hStopEvent = nullptr;
HANDLE g_hReadEnd = nullptr;
double g_readUtcMs = 0.0;

void Report(DWORD state, DWORD waitHint) noexcept {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    g_status.dwWaitHint = waitHint;
    ::SetServiceStatus(g_hStatusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOPPED, 0);
        ::SetEvent(g_hStopEvent);
    }
    return NO_ERROR;
}

DWORD WINAPI ReadAndReport(LPVOID) {
    char buffer[4096];
    DWORD got = 0;
    if (::ReadFile(g_hReadEnd, buffer, sizeof buffer, &got, nullptr)) {
        g_readUtcMs = qebbench::UtcNowMs();
        Report(SERVICE_RUNNING, 0);
    }
    return 0;
}

void WINAPI NoopServiceMain(DWORD, LPWSTR*) {
    g_hStatusHandle = ::RegisterServiceCtrlHandlerExW(SERVICE_NAME, Handler, nullptr);
    if (g_hStatusHandle == nullptr) return;
    Report(SERVICE_START_PENDING, 1000);
    g_hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    HANDLE hWriteEnd = nullptr;
    ::CreatePipe(&g_hReadEnd, &hWriteEnd, nullptr, 0);
    const HANDLE hReader = ::CreateThread(nullptr, 0, ReadAndReport, nullptr, 0, nullptr);
    // Lets the watcher see start pending settle before the timed step.
    ::Sleep(SETTLE_MS);
    const wchar_t message[] = L"NotifyWorkStatus1";
    const double writeUtcMs = qebbench::UtcNowMs();
    DWORD written = 0;
    ::WriteFile(hWriteEnd, message, MESSAGE_BYTES, &written, nullptr);
    ::WaitForSingleObject(hReader, INFINITE);

    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%.4f %.4f\n", writeUtcMs, g_readUtcMs);
    qebbench::WriteTextFile(qebbench::ExeDirectory() + L"QEBBenchNoop.stamp", stamp);

    ::WaitForSingleObject(g_hStopEvent, INFINITE);
    ::CloseHandle(hReader);
    ::CloseHandle(hWriteEnd);
    ::CloseHandle(g_hReadEnd);
}

}  // namespace

int main() {
    wchar_t name[] = L"QEBBenchNoop";
    const SERVICE_TABLE_ENTRYW table[] = {{name, NoopServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
