// Service benchmark: QEBCoreService.exe under the Service Control Manager,
// with the reference container, against QEBBenchNoop as the floor.
//
//   service_bench.exe [restarts (500)] [repetitions (10)]
//
// Prints Markdown: readiness latency, stop latency, restart reaction, idle
// cost, and private bytes / handles after start and after the restarts.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_report.h"
#include "journal_scan.h"
#include "process_cost.h"
#include "process_list.h"
#include "scm_client.h"
#include "status_watch.h"

namespace {

using namespace qebbench;
namespace scm = qeb::scm;

constexpr wchar_t NOOP_NAME[] = L"QEBBenchNoop";
constexpr wchar_t SERVICE_IMAGE[] = L"QEBCoreService.exe";
constexpr DWORD STATE_TIMEOUT_MS = 15000;
constexpr double RESTART_PAUSE_MS = 2000.0;
constexpr DWORD IDLE_MS = 10000;

struct Staging {
    std::wstring folder;
    std::wstring noopFolder;
};

bool Stage(Staging* staging) {
    const std::wstring bin = ExeDirectory();
    staging->folder = MakeUniqueDirectory(L"C:\\", L"qeb-bench");
    if (staging->folder.empty()) return false;
    staging->noopFolder = staging->folder + L"noop\\";
    return ::CreateDirectoryW(staging->noopFolder.c_str(), nullptr) &&
           ::CopyFileW((bin + SERVICE_IMAGE).c_str(), (staging->folder + SERVICE_IMAGE).c_str(), FALSE) &&
           ::CopyFileW((bin + L"QEBBenchNoop.exe").c_str(), (staging->noopFolder + L"QEBBenchNoop.exe").c_str(),
                       FALSE) &&
           ::CopyFileW((bin + L"QEBBenchReadyContainer.exe").c_str(),
                       (staging->folder + L"QEBCoreContainer.exe").c_str(), FALSE);
}

void RemoveLeftovers() {
    scm::RemoveServiceQuietly(10000);
    scm::RemoveServiceQuietly(10000, NOOP_NAME);
    scm::TerminateProcesses(scm::kContainerFileName, 5000);
}

// Starts the service and returns the sample in which the watch first saw it
// running; utcMs is 0 when it did not get there.
scm::StatusSample StartAndWaitRunning(scm::StatusWatcher& watcher, const wchar_t* name) {
    scm::StatusSample running;
    const size_t from = watcher.Changes().size();
    if (scm::StartNamedService(name) != ERROR_SUCCESS) return running;
    if (!watcher.WaitForState(SERVICE_RUNNING, STATE_TIMEOUT_MS, &running, from)) running.utcMs = 0;
    return running;
}

// Milliseconds from the stop request to stopped seen; negative on failure.
double StopAndWait(scm::StatusWatcher& watcher, const wchar_t* name) {
    const size_t from = watcher.Changes().size();
    const double begin = UtcNowMs();
    if (scm::SendControl(SERVICE_CONTROL_STOP, nullptr, name) != ERROR_SUCCESS) return -1.0;
    scm::StatusSample stopped;
    if (!watcher.WaitForState(SERVICE_STOPPED, STATE_TIMEOUT_MS, &stopped, from)) return -1.0;
    return static_cast<double>(stopped.utcMs) - begin;
}

DWORD ServiceProcessId(const wchar_t* name) {
    SERVICE_STATUS_PROCESS status = {};
    return scm::QueryStatus(&status, name) == ERROR_SUCCESS ? status.dwProcessId : 0;
}

struct Floors {
    std::vector<double> start;  // StartServiceW called → running, QEBBenchNoop
    std::vector<double> readiness;
    std::vector<double> stop;
    std::vector<double> createProcess;
    std::vector<double> startToReady;
};

double ReadyStamp(const Staging& staging, DWORD processId);
bool UseContainer(const Staging& staging, bool bReadyContainer);

// The floor of a restart's launch: CreateProcessW of the ready container
// (no pipes, nothing checked) until its ready write, i.e. Wine's whole
// process start; negative on failure.
double BareStartToReadyMs(const Staging& staging) {
    const double begin = UtcNowMs();
    double ready = 0.0;
    const double created = RunBareProcess(staging.folder + L"QEBCoreContainer.exe", [&](DWORD processId) {
        for (int wait = 0; wait < 500 && ready == 0.0; ++wait) {
            ready = ReadyStamp(staging, processId);
            if (ready == 0.0) ::Sleep(10);
        }
    });
    return created >= 0.0 && ready > 0.0 ? ready - begin : -1.0;
}

Floors MeasureFloors(const Staging& staging, int repetitions) {
    Floors floors;
    if (scm::InstallService(staging.noopFolder + L"QEBBenchNoop.exe", NOOP_NAME) != ERROR_SUCCESS) return floors;
    scm::StatusWatcher watcher(1, NOOP_NAME);
    watcher.Start();
    for (int i = 0; i < repetitions; ++i) {
        ::DeleteFileW((staging.noopFolder + L"QEBBenchNoop.stamp").c_str());
        const double startCalled = UtcNowMs();
        const scm::StatusSample running = StartAndWaitRunning(watcher, NOOP_NAME);
        if (running.utcMs != 0) floors.start.push_back(running.utcMs - startCalled);
        double writeUtcMs = 0.0, readUtcMs = 0.0;
        for (int wait = 0; wait < 200 && writeUtcMs == 0.0; ++wait) {
            const std::string stamp = ReadTextFile(staging.noopFolder + L"QEBBenchNoop.stamp");
            if (std::sscanf(stamp.c_str(), "%lf %lf", &writeUtcMs, &readUtcMs) != 2) writeUtcMs = 0.0;
            if (writeUtcMs == 0.0) ::Sleep(10);
        }
        if (running.utcMs != 0 && writeUtcMs != 0.0) floors.readiness.push_back(running.utcMs - writeUtcMs);
        const double stop = StopAndWait(watcher, NOOP_NAME);
        if (stop >= 0.0) floors.stop.push_back(stop);
        scm::WaitForServiceState(SERVICE_STOPPED, STATE_TIMEOUT_MS, NOOP_NAME);
        ::Sleep(200);  // the host process is gone before the next start
    }
    watcher.Stop();
    scm::RemoveServiceQuietly(10000, NOOP_NAME);
    for (int i = 0; i < repetitions; ++i) {
        const double elapsed = BareCreateProcessMs(staging.folder + L"QEBCoreContainer.exe");
        if (elapsed >= 0.0) floors.createProcess.push_back(elapsed);
    }
    if (UseContainer(staging, true)) {
        for (int i = 0; i < repetitions; ++i) {
            const double elapsed = BareStartToReadyMs(staging);
            if (elapsed >= 0.0) floors.startToReady.push_back(elapsed);
        }
    }
    return floors;
}

constexpr char READY_TIMEOUT_LINE[] = "WaitContainerReadyAndReportStatus WaitForSingleObject fail, wait timeout";

size_t CountInLog(const Staging& staging, const char* text) {
    const std::string log = ReadTextFile(staging.folder + L"logs\\QEBCoreService.log");
    size_t count = 0;
    for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; ++at) ++count;
    return count;
}

struct StartFigures {
    std::vector<double> readiness;       // ready write → running seen
    std::vector<double> startToRunning;  // StartServiceW called → running seen
    std::vector<double> stops;
    size_t readyTimeouts = 0;  // running reported after the 500 ms wait ran out
};

// The ready container's stamp of one process: the time just before its
// ready write; 0 when it has not written it (yet).
double ReadyStamp(const Staging& staging, DWORD processId) {
    const std::string stamps = ReadTextFile(staging.folder + L"QEBBenchReadyContainer.stamp");
    double found = 0.0;
    for (size_t at = 0; at < stamps.size();) {
        unsigned long id = 0;
        double before = 0.0, after = 0.0;
        if (std::sscanf(stamps.c_str() + at, "%lu %lf %lf", &id, &before, &after) == 3 && id == processId)
            found = before;
        const size_t end = stamps.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return found;
}

DWORD OnlyContainerId() {
    const std::vector<DWORD> containers = scm::FindProcessIds(scm::kContainerFileName);
    return containers.size() == 1 ? containers[0] : 0;
}

// Puts the reference container or the ready container in place as
// QEBCoreContainer.exe (no service or container running).
bool UseContainer(const Staging& staging, bool bReadyContainer) {
    const std::wstring source =
        ExeDirectory() + (bReadyContainer ? L"QEBBenchReadyContainer.exe" : L"QEBCoreContainer.exe");
    return ::CopyFileW(source.c_str(), (staging.folder + L"QEBCoreContainer.exe").c_str(), FALSE) != FALSE;
}

// Start → running → stop, with the given container and scenario; the
// container is killed after each stop.
void MeasureStartStop(const Staging& staging, bool bReadyContainer, const std::string& scenario, int repetitions,
                      StartFigures* figures) {
    if (!UseContainer(staging, bReadyContainer)) return;
    WriteTextFile(staging.folder + L"QEBCoreContainer.scenario", scenario);
    scm::StatusWatcher watcher(1);
    watcher.Start();
    for (int i = 0; i < repetitions; ++i) {
        ::DeleteFileW((staging.folder + L"QEBCoreContainer.journal").c_str());
        const size_t timeoutsBefore = CountInLog(staging, READY_TIMEOUT_LINE);
        const double startCalled = UtcNowMs();
        const scm::StatusSample running = StartAndWaitRunning(watcher, scm::kServiceName);
        if (running.utcMs == 0) {
            std::fprintf(stderr, "service did not reach running\n");
            break;
        }
        figures->startToRunning.push_back(running.utcMs - startCalled);
        // The container's ready write may come after running when the
        // service's wait for it ran out.
        for (int wait = 0; wait < 100; ++wait) {
            if (bReadyContainer) {
                const double before = ReadyStamp(staging, OnlyContainerId());
                if (before > 0.0) {
                    figures->readiness.push_back(running.utcMs - before);
                    break;
                }
            } else {
                const std::vector<JournalRecord> journal = ReadJournal(staging.folder + L"QEBCoreContainer.journal");
                const JournalRecord* ready = FindRecord(journal, "ready-sent");
                if (ready != nullptr) {
                    figures->readiness.push_back(running.utcMs - ready->utcMs);
                    break;
                }
            }
            ::Sleep(50);
        }
        ::Sleep(200);  // the start-up thread has finished
        figures->readyTimeouts += CountInLog(staging, READY_TIMEOUT_LINE) - timeoutsBefore;
        const double stop = StopAndWait(watcher, scm::kServiceName);
        if (stop >= 0.0) figures->stops.push_back(stop);
        scm::WaitForServiceState(SERVICE_STOPPED, STATE_TIMEOUT_MS);
        scm::TerminateProcesses(scm::kContainerFileName, 5000);
        ::Sleep(200);
    }
    watcher.Stop();
    ::DeleteFileW((staging.folder + L"QEBCoreContainer.scenario").c_str());
}

void PrintCost(const char* when, const ProcessCost& cost) {
    const std::string privateKiB =
        cost.bMemoryFromApi ? std::to_string(cost.privateBytes / 1024) : std::string("not reported");
    const std::string hostCpu = cost.bHostValid ? std::to_string(static_cast<long long>(cost.hostCpuMs)) : "-";
    std::printf("| %s | %s | %llu | %s | %lu%s | %.0f | %s |\n", when, privateKiB.c_str(),
                static_cast<unsigned long long>(cost.workingSetBytes / 1024),
                cost.bHostValid ? std::to_string(cost.hostRssAnonKiB).c_str() : "-",
                static_cast<unsigned long>(cost.handles), cost.bHandlesFromApi ? "" : " (system record)", cost.cpuMs,
                hostCpu.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int restarts = argc > 1 ? std::atoi(argv[1]) : 500;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 10;

    RemoveLeftovers();
    Staging staging;
    if (!Stage(&staging)) {
        std::fprintf(stderr, "cannot stage the service\n");
        return 1;
    }

    const Floors floors = MeasureFloors(staging, repetitions);
    const double readinessFloor = Median(floors.readiness);
    const double stopFloor = Median(floors.stop);
    const double startToReadyFloor = Median(floors.startToReady);

    if (scm::InstallService(staging.folder + SERVICE_IMAGE) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot install the service\n");
        return 1;
    }
    StartFigures quick, healthy, noRead;
    MeasureStartStop(staging, true, std::string(), repetitions, &quick);
    MeasureStartStop(staging, false, std::string(), repetitions, &healthy);
    MeasureStartStop(staging, false, "no_read\n", repetitions, &noRead);

    PrintSection("Service under the Service Control Manager (service_bench)");
    PrintRow("floor: pipe write → read → SetServiceStatus(running) seen by the SCM (QEBBenchNoop)", floors.readiness,
             "ms");
    PrintRow("readiness: ready container's ready write → SCM shows running", quick.readiness, "ms", readinessFloor,
             "noop pipe+SetServiceStatus");
    // A service start can be no faster than the SCM starting a service that
    // does nothing, plus the container's own start until it reports ready.
    PrintRow("floor: StartServiceW called → SCM shows running (QEBBenchNoop)", floors.start, "ms");
    PrintRow("service start: StartServiceW called → SCM shows running (ready container)", quick.startToRunning, "ms",
             Median(floors.start) + startToReadyFloor, "noop start + bare start to ready write");
    PrintRow("reference container: ready write (journal, whole ms) → SCM shows running", healthy.readiness, "ms",
             readinessFloor, "noop pipe+SetServiceStatus");
    PrintRow("reference container: StartServiceW called → SCM shows running", healthy.startToRunning, "ms");
    PrintRow("stop: control → stopped, ready container running", quick.stops, "ms", stopFloor, "noop stop");
    PrintRow("floor: stop control → stopped (QEBBenchNoop)", floors.stop, "ms");
    PrintRow("stop: control → stopped, reference container running", healthy.stops, "ms", stopFloor, "noop stop");
    PrintRow("stop: control → stopped, reference container that never reads its input", noRead.stops, "ms", stopFloor,
             "noop stop");
    PrintRow("floor: bare CreateProcessW of the container", floors.createProcess, "ms");
    PrintRow("floor: bare CreateProcessW of the ready container → its ready write", floors.startToReady, "ms");

    // Idle cost and the restarts, on one run of the service, with the ready
    // container.
    scm::TerminateProcesses(scm::kContainerFileName, 5000);
    UseContainer(staging, true);
    ::DeleteFileW((staging.folder + L"QEBCoreContainer.journal").c_str());
    std::unique_ptr<scm::StatusWatcher> watcher = std::make_unique<scm::StatusWatcher>(1);
    watcher->Start();
    if (StartAndWaitRunning(*watcher, scm::kServiceName).utcMs == 0) {
        std::fprintf(stderr, "service did not reach running\n");
        return 1;
    }
    watcher->Stop();  // no polling of the SCM during the idle window
    ::Sleep(1000);
    const DWORD serviceId = ServiceProcessId(scm::kServiceName);
    const std::wstring serviceImage = staging.folder + SERVICE_IMAGE;
    const ProcessCost afterStart = MeasureProcess(serviceId, serviceImage);
    ::Sleep(IDLE_MS);
    const ProcessCost afterIdle = MeasureProcess(serviceId, serviceImage);

    watcher = std::make_unique<scm::StatusWatcher>(1);
    watcher->Start();
    std::vector<double> reaction, killToReady, readyToRunning;
    const size_t timeoutsBeforeRestarts = CountInLog(staging, READY_TIMEOUT_LINE);
    std::vector<std::pair<int, ProcessCost>> checkpoints;
    for (int i = 1; i <= restarts; ++i) {
        const std::vector<DWORD> containers = scm::FindProcessIds(scm::kContainerFileName);
        if (containers.size() != 1) {
            std::fprintf(stderr, "restart %d: %zu containers running\n", i, containers.size());
            break;
        }
        const HANDLE hContainer = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, containers[0]);
        if (hContainer == nullptr) break;
        const size_t from = watcher->Changes().size();
        const double killed = UtcNowMs();
        ::TerminateProcess(hContainer, 9);
        ::CloseHandle(hContainer);
        // Running counts only after the start-pending report of this restart.
        scm::StatusSample pending, running;
        if (!watcher->WaitForState(SERVICE_START_PENDING, STATE_TIMEOUT_MS, &pending, from)) {
            std::fprintf(stderr, "restart %d: no start pending\n", i);
            break;
        }
        size_t pendingIndex = from;
        const std::vector<scm::StatusSample> changes = watcher->Changes();
        while (pendingIndex < changes.size() && changes[pendingIndex].status.dwCurrentState != SERVICE_START_PENDING)
            ++pendingIndex;
        if (!watcher->WaitForState(SERVICE_RUNNING, STATE_TIMEOUT_MS, &running, pendingIndex + 1)) {
            std::fprintf(stderr, "restart %d: not running again\n", i);
            break;
        }
        reaction.push_back(static_cast<double>(running.utcMs) - killed - RESTART_PAUSE_MS);
        const double ready = ReadyStamp(staging, OnlyContainerId());
        if (ready > 0.0) {
            killToReady.push_back(ready - killed - RESTART_PAUSE_MS);
            readyToRunning.push_back(static_cast<double>(running.utcMs) - ready);
        }
        if (i % 100 == 0 || i == restarts) checkpoints.emplace_back(i, MeasureProcess(serviceId, serviceImage));
        ::Sleep(50);  // the start-up report has settled
    }
    watcher->Stop();
    const size_t restartTimeouts = CountInLog(staging, READY_TIMEOUT_LINE) - timeoutsBeforeRestarts;

    PrintRow("restart: container killed → SCM shows running again, minus the 2000 ms pause", reaction, "ms",
             startToReadyFloor + readinessFloor, "bare start to ready write + noop readiness");
    PrintRow("  part: killed → new container's ready write, minus the 2000 ms pause", killToReady, "ms",
             startToReadyFloor, "bare start to ready write");
    PrintRow("  part: new container's ready write → SCM shows running", readyToRunning, "ms", readinessFloor,
             "noop pipe+SetServiceStatus");
    PrintNote("running reported only after the 500 ms ready wait ran out (\"wait timeout\" warning in the "
              "service log): " +
              std::to_string(quick.readyTimeouts) + " of " + std::to_string(quick.startToRunning.size()) +
              " starts (ready container), " + std::to_string(healthy.readyTimeouts) + " of " +
              std::to_string(healthy.startToRunning.size()) + " starts (reference container), " +
              std::to_string(noRead.readyTimeouts) + " of " + std::to_string(noRead.startToRunning.size()) +
              " starts (reference, no_read), " + std::to_string(restartTimeouts) + " of " +
              std::to_string(reaction.size()) + " restarts (ready container)");

    std::printf("\n#### Idle cost of QEBCoreService.exe over %lu ms, ready container running, nothing polling it\n\n",
                static_cast<unsigned long>(IDLE_MS));
    std::printf("| figure | value |\n|---|---|\n");
    std::printf("| CPU time (kernel + user, GetProcessTimes) | %.3f ms |\n", afterIdle.cpuMs - afterStart.cpuMs);
    std::printf("| context switches (NtQuerySystemInformation, sum over threads) | %llu |\n",
                static_cast<unsigned long long>(afterIdle.contextSwitches - afterStart.contextSwitches));
    if (afterStart.bHostValid && afterIdle.bHostValid) {
        std::printf("| host view (/proc/%lu): CPU time utime + stime | %.0f ms |\n", afterIdle.hostProcessId,
                    afterIdle.hostCpuMs - afterStart.hostCpuMs);
        const SwitchesBetween idle = HostSwitchesBetween(afterStart, afterIdle);
        std::printf(
            "| host view (/proc/%lu): context switches, all threads | %llu (threads ended: %zu, started: %zu) |\n",
            afterIdle.hostProcessId, static_cast<unsigned long long>(idle.switches), idle.threadsEnded,
            idle.threadsStarted);
    } else {
        std::printf("| host view (/proc) | not available |\n");
    }

    std::printf("\n#### Memory and handles of QEBCoreService.exe\n\n");
    std::printf(
        "| when | private KiB (GetProcessMemoryInfo) | working set KiB | host RssAnon KiB | handles | CPU so far "
        "(GetProcessTimes, ms) | host CPU so far (utime + stime, ms) |\n|---|---|---|---|---|---|---|\n");
    PrintCost("1 s after running", afterStart);
    PrintCost("after 10 s idle", afterIdle);
    for (const auto& [count, cost] : checkpoints) PrintCost((std::to_string(count) + " restarts").c_str(), cost);

    scm::SendControl(SERVICE_CONTROL_STOP, nullptr);
    scm::WaitForServiceState(SERVICE_STOPPED, STATE_TIMEOUT_MS);
    RemoveLeftovers();
    for (int attempt = 0; attempt < 50; ++attempt) {
        RemoveDirectoryTree(staging.folder);
        if (::GetFileAttributesW(staging.folder.c_str()) == INVALID_FILE_ATTRIBUTES) break;
        ::Sleep(100);
    }
    return 0;
}
