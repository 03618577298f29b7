// Crash-restart soak: the container crashes shortly after every launch and
// the service, with its shipped pauses, restarts it again and again. Every
// restart must be logged, none missed, and the service's handles, private
// bytes and threads must stay level. QEB_SOAK_CYCLES sets the number of
// cycles (100 by default; the full run in docs/reliability.md uses 500).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "reliability_fixture.h"
#include "file_text.h"
#include "scm_client.h"
#include "service_probe.h"

namespace {

using qebtest::CountLogEntries;
using qebtest::DumpLog;

constexpr size_t kDefaultCycles = 100;
// Cycles before the baseline sample: the log, the loader and the heap have
// then settled.
constexpr size_t kWarmUpCycles = 5;
constexpr char kRestarted[] = "Restart ContainerProcess success(svcThreadFun)";
constexpr char kExited[] = "Container process exit.(svcThreadFun)";

size_t CyclesWanted() {
    const char* text = std::getenv("QEB_SOAK_CYCLES");
    if (text == nullptr) return kDefaultCycles;
    const long value = std::strtol(text, nullptr, 10);
    return value > static_cast<long>(kWarmUpCycles) ? static_cast<size_t>(value) : kDefaultCycles;
}

class Soak : public qebtest::ReliabilityTest {};

TEST_F(Soak, CrashRestartCyclesKeepHandlesMemoryAndThreadsLevel) {
    const size_t cycles = CyclesWanted();
    // Ready at once, then an access violation: the hardest way to go.
    Stage(true, "ready_after_ms 0\ncrash_after_ms 150\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges();
    const DWORD servicePid = qebtest::ServiceProcessId();
    ASSERT_NE(servicePid, 0u);

    qebtest::ProcessFigures baseline;
    qebtest::ProcessFigures peak;
    const ULONGLONG begin = ::GetTickCount64();
    for (size_t cycle = 1; cycle <= cycles; ++cycle) {
        // 150 ms of life, the 2 s pause and a launch: well inside 15 s.
        ASSERT_TRUE(WaitForLog(kRestarted, cycle, 15000)) << "cycle " << cycle << "\n" << DumpLog(Logs());
        const qebtest::ProcessFigures now = qebtest::SampleProcess(servicePid);
        ASSERT_TRUE(now.valid) << "cycle " << cycle;
        if (cycle == kWarmUpCycles) baseline = now;
        if (cycle >= kWarmUpCycles) {
            peak.handles = std::max(peak.handles, now.handles);
            peak.privateBytes = std::max(peak.privateBytes, now.privateBytes);
            peak.threads = std::max(peak.threads, now.threads);
        }
        if (cycle % 25 == 0) std::printf("[ soak ] cycle %zu: %s\n", cycle, qebtest::Describe(now).c_str());
    }
    const qebtest::ProcessFigures last = qebtest::SampleProcess(servicePid);
    const ULONGLONG took = ::GetTickCount64() - begin;
    std::printf("[ measure ] %zu crash-restart cycles in %llu ms (%.0f ms each)\n", cycles, took,
                static_cast<double>(took) / static_cast<double>(cycles));
    std::printf("[ measure ] baseline %s; last %s; peak %s\n", qebtest::Describe(baseline).c_str(),
                qebtest::Describe(last).c_str(), qebtest::Describe(peak).c_str());

    // A handle or a thread lost per cycle would show as one per cycle;
    // allow a few for the log file rotating and sampling noise.
    EXPECT_LE(last.handles, baseline.handles + 8);
    EXPECT_LE(last.threads, baseline.threads + 2);
    EXPECT_LE(last.privateBytes, baseline.privateBytes + 4 * 1024 * 1024);

    const DWORD stopMs = StopAndWait(10000);
    EXPECT_LT(stopMs, 2000u);
    ASSERT_TRUE(WaitForLog("QEBCoreService.main end and exit.(main)", 1, 5000));
    const auto logs = Logs();
    const size_t restarts = CountLogEntries(logs, kRestarted);
    const size_t exits = CountLogEntries(logs, kExited);
    // No missed restart: every noticed exit was followed by a successful
    // launch, except perhaps the last one, which the stop may have cut.
    EXPECT_GE(restarts, cycles);
    EXPECT_TRUE(exits == restarts || exits == restarts + 1) << exits << " exits, " << restarts << " restarts";
    EXPECT_EQ(CountLogEntries(logs, "Restart ContainerProcessr fail(svcThreadFun)"), 0u);
    EXPECT_EQ(CountLogEntries(logs, "ExitThread failed! thread entry function: ", true), 0u);
    const auto journal = Journal();
    size_t crashes = 0;
    for (const auto& entry : journal) crashes += entry.key == "crash" ? 1 : 0;
    EXPECT_GE(crashes, cycles);
    EXPECT_TRUE(qebtest::WaitProcessEnd(servicePid, 5000));
}

}  // namespace
