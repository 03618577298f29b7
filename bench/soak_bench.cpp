// soak_bench.exe [restarts (10000)]
//
// The compressed soak: the real service_main, supervision loop, listener and
// control handler in this process, with the loop's pauses at a hundredth
// (2000 -> 20 ms, 60000 -> 600 ms), against the reference container told to
// report ready and crash 50 ms after it starts. Status reports come to a
// seam, as in the in-process test. At the first running report and then
// every tenth of the run, inside that report (the same point of a cycle
// every time), it records the process's own handles (counted by value),
// threads and private bytes. Events go to the Event Log as in the service,
// counted on their way there with the held-back numbers they carry. At the
// end it stops the service and prints Markdown. It runs from a staging folder of its own, with the container
// copied beside it, so that it never shares a scenario file with the tests.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "module_path.h"
#include "qebcore_log.h"
#include "service_events.h"
#include "service_handler.h"
#include "service_main.h"
#include "service_status.h"
#include "supervision_pauses.h"
#include "test_kit.h"

namespace {

struct Checkpoint {
    long restarts;
    size_t handles;
    size_t threads;
    uint64_t privateBytes;
    double seconds;
};

std::atomic<long> s_running{0};  // running reports: the first start, then one per restart
long s_every = 1000;
double s_begin = 0.0;
std::vector<Checkpoint> s_checkpoints;
LPHANDLER_FUNCTION_EX s_handler = nullptr;
std::map<DWORD, std::pair<long, long>> s_events;  // identifier: reported, held back (as their last inserts say)

BOOL WINAPI CountEvent(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD size,
                       LPCWSTR* strings, LPVOID data) {
    auto& seen = s_events[id & 0xFFFF];
    ++seen.first;
    if (count > 0) seen.second += std::wcstol(strings[count - 1], nullptr, 10);
    return ::ReportEventW(source, type, category, id, user, count, size, strings, data);
}

size_t OwnThreads() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    size_t threads = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        threads += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    ::CloseHandle(snapshot);
    return threads;
}

uint64_t OwnPrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                sizeof memory))
        return 0;
    return memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
}

BOOL WINAPI Capture(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    if (status->dwCurrentState != SERVICE_RUNNING) return TRUE;
    const long restarts = s_running.fetch_add(1);
    if (restarts % s_every == 0) {
        s_checkpoints.push_back({restarts, kit::OpenHandleCount(), OwnThreads(), OwnPrivateBytes(),
                                 (qebbench::NowMs() - s_begin) / 1000.0});
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI Register(LPCWSTR, LPHANDLER_FUNCTION_EX handler, LPVOID) {
    s_handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(1));
}

// Copies this program and the container into a folder of their own and runs
// the copy there; the copy's exit code.
int RunStaged(const char* restarts) {
    const std::wstring from = qebbench::ExeDirectory();
    const std::wstring stage = qebbench::MakeUniqueDirectory(from, L"soak");
    if (!::CopyFileW(qeb::ModulePath().c_str(), (stage + L"soak_bench.exe").c_str(), FALSE) ||
        !::CopyFileW((from + L"QEBCoreContainer.exe").c_str(), (stage + L"QEBCoreContainer.exe").c_str(), FALSE) ||
        !qebbench::WriteTextFile(stage + L"QEBCoreContainer.scenario", "crash_after_ms 50\n")) {
        std::fprintf(stderr, "staging in %s failed\n", qebbench::Narrow(stage).c_str());
        return 2;
    }
    const int code =
        qebbench::RunToEnd(stage + L"soak_bench.exe",
                           L"soak_bench.exe --staged " + std::to_wstring(std::strtol(restarts, nullptr, 10)), stage, 2);
    std::fprintf(stderr, "staging folder kept for its log: %s\n", qebbench::Narrow(stage).c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) != "--staged") return RunStaged(argc > 1 ? argv[1] : "10000");
    const long restarts = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 10000;
    s_every = restarts >= 10 ? restarts / 10 : 1;
    s_checkpoints.reserve(16);

    initQebLog(10, 10);
    PrepareServiceEvents();
    qeb::SetEventReportFunction(&CountEvent);
    SetServiceStatusReporter(&Capture);
    SetServiceCtrlRegistrar(&Register);
    SetSupervisionPauses({WAIT_CONTAINER_EXIT_TIME / 100, WAIT_START_CONTAINER_MAX_TRY_TIME / 100});
    s_begin = qebbench::NowMs();
    std::thread dispatcher([] { service_main(0, nullptr); });
    dispatcher.join();
    // A container that can no longer be launched (a refused signature, say)
    // gives no running report again: the run ends rather than waits for ever.
    constexpr double STALL_MS = 120000.0;
    long seen = s_running.load();
    double lastChange = qebbench::NowMs();
    while (s_running.load() <= restarts) {
        ::Sleep(50);
        if (const long now = s_running.load(); now != seen) {
            seen = now;
            lastChange = qebbench::NowMs();
        } else if (qebbench::NowMs() - lastChange > STALL_MS) {
            std::fprintf(stderr, "stalled after %ld restarts: no running report for 120 s (the log says why)\n", seen);
            if (s_handler != nullptr) s_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
            return 3;
        }
    }
    const double seconds = (qebbench::NowMs() - s_begin) / 1000.0;
    if (s_handler != nullptr) s_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    FlushQebLogFile();

    std::printf("### Compressed soak (soak_bench)\n\n");
    std::printf("%ld restarts of a container that reports ready and crashes 50 ms after it starts, pauses at a "
                "hundredth (20 ms, 600 ms), in %.0f s (%.1f restarts/s). Taken inside the running report, the "
                "same point of every cycle.\n\n",
                restarts, seconds, restarts / seconds);
    std::printf("| restarts | handles | threads | private KiB | seconds |\n|---|---|---|---|---|\n");
    for (const Checkpoint& c : s_checkpoints) {
        std::printf("| %ld | %zu | %zu | %llu | %.0f |\n", c.restarts, c.handles, c.threads,
                    static_cast<unsigned long long>(c.privateBytes / 1024), c.seconds);
    }
    std::printf("\n| event | reported | held back (their counts) |\n|---|---|---|\n");
    for (const auto& [id, seen] : s_events) std::printf("| %lu | %ld | %ld |\n", id, seen.first, seen.second);
    std::fflush(stdout);
    return 0;
}
