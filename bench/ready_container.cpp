// QEBBenchReadyContainer: staged as QEBCoreContainer.exe by service_bench.
// It reports ready at once (UTF-16 NotifyWorkStatus1 on standard output, one
// write), then appends "<pid> <utc ms before the write> <utc ms after>" to
// "QEBBenchReadyContainer.stamp" beside itself, reads standard input until
// it fails and then waits until it is killed. Nothing else runs before the
// ready write, so the readiness figures measure the service, not the
// container's own start-up.

#include <windows.h>

#include <cstdio>

#include "bench_report.h"

int main() {
    const wchar_t message[] = L"NotifyWorkStatus1";
    const double before = qebbench::UtcNowMs();
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), message, sizeof message - sizeof(wchar_t), &written, nullptr);
    const double after = qebbench::UtcNowMs();

    char line[96];
    const int length = std::snprintf(line, sizeof line, "%lu %.4f %.4f\r\n",
                                     static_cast<unsigned long>(::GetCurrentProcessId()), before, after);
    const HANDLE hStamp = ::CreateFileW((qebbench::ExeDirectory() + L"QEBBenchReadyContainer.stamp").c_str(),
                                        FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hStamp != INVALID_HANDLE_VALUE) {
        ::WriteFile(hStamp, line, static_cast<DWORD>(length), &written, nullptr);
        ::CloseHandle(hStamp);
    }

    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr)) {
    }
    ::Sleep(INFINITE);
    return 0;
}
