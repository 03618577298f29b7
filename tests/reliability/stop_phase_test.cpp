// A stop in every phase of the service's life ends within its bound, reports
// stopped and ends the process (so no thread of it outlives the stop).

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "reliability_fixture.h"
#include "file_text.h"
#include "scm_client.h"
#include "service_probe.h"

namespace {

using qebtest::CountLogEntries;
using qebtest::DumpLog;

// The stop path waits at most 2 x 220 ms for the threads and 1000 ms for
// the start-up; anything past 2 s is a fault.
constexpr DWORD kStopBoundMs = 2000;
constexpr char kEnd[] = "QEBCoreService.main end and exit.(main)";

struct StopPhase {
    const char* name;
    bool bWithContainer;
    const char* scenario;
    // Brings the service into the phase; false when it could not.
    std::function<bool(qebtest::ReliabilityTest&)> reach;
    // A line the stop must have written, or null.
    const char* expectedLine;
    // The worker may be inside a launch (signature checks take a few
    // hundred ms under Wine) when the stop's wait for it runs out; it is
    // then ended with the thread manager's line instead of its own.
    bool bWorkerMayBeEnded = false;
};

void PrintTo(const StopPhase& phase, std::ostream* out) { *out << phase.name; }


class StopPhaseTest : public qebtest::ReliabilityTest, public ::testing::WithParamInterface<StopPhase> {
protected:
    void Run(const StopPhase& phase) {
        Stage(phase.bWithContainer, phase.scenario);
        Install();
        ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
        const DWORD servicePid = qebtest::ServiceProcessId();
        ASSERT_NE(servicePid, 0u);
        ASSERT_TRUE(phase.reach(*this)) << DumpLog(Logs());

        const DWORD stopMs = StopAndWait(10000);
        std::printf("[ measure ] stop %s: %lu ms\n", phase.name, static_cast<unsigned long>(stopMs));
        EXPECT_LT(stopMs, kStopBoundMs) << DescribeChanges();
        EXPECT_TRUE(qebtest::WaitProcessEnd(servicePid, 5000)) << "the service process outlived its stop";
        ASSERT_TRUE(WaitForLog(kEnd, 1, 5000)) << DumpLog(Logs());
        const auto logs = Logs();
        const size_t started = CountLogEntries(logs, "svcThreadFun start.(svcThreadFun)");
        const size_t ended = CountLogEntries(logs, "svcThreadFun end.(svcThreadFun)");
        const size_t forced = CountLogEntries(
            logs, "ExitThread failed! thread entry function: svcThreadFun(VelantThread::ThreadManager::WaitAll)");
        if (phase.bWorkerMayBeEnded) {
            EXPECT_EQ(ended + forced, started) << DumpLog(logs);
        } else {
            EXPECT_EQ(ended, started) << DumpLog(logs);
            EXPECT_EQ(forced, 0u) << DumpLog(logs);
        }
        EXPECT_EQ(CountLogEntries(logs, "TerminateThread fail error = ", true), 0u) << DumpLog(logs);
        if (phase.expectedLine != nullptr) {
            EXPECT_EQ(CountLogEntries(logs, phase.expectedLine), 1u) << DumpLog(logs);
        }
    }

public:
    bool Wait(const std::string& line, size_t count, DWORD timeoutMs) const { return WaitForLog(line, count, timeoutMs); }
};

// StartServiceW returns at the first start-pending report, before the
// container is cleared away and launched.
bool AtOnce(qebtest::ReliabilityTest&) { return true; }

bool InReadyWait(qebtest::ReliabilityTest& test) {
    return static_cast<StopPhaseTest&>(test).Wait(
        "ContainerProcess exe verify success(QEBCoreProcess::CreateContainerProcess)", 1, 10000);
}

bool InTwoSecondPause(qebtest::ReliabilityTest& test) {
    return static_cast<StopPhaseTest&>(test).Wait("Container process exit.(svcThreadFun)", 1, 15000);
}

bool InLongPause(qebtest::ReliabilityTest& test) {
    if (!static_cast<StopPhaseTest&>(test).Wait("Restart ContainerProcessr fail(svcThreadFun)", 5, 30000)) return false;
    ::Sleep(2500);  // past the 2 s pause, into the 60 s one
    return true;
}

// The container ends at once and the restart follows 2 s after: a stop
// then lands in the launch (signature checks and process creation).
bool InLaunch(qebtest::ReliabilityTest& test) {
    if (!static_cast<StopPhaseTest&>(test).Wait("Container process exit.(svcThreadFun)", 1, 15000)) return false;
    ::Sleep(2000);
    return true;
}

bool InFlood(qebtest::ReliabilityTest& test) {
    if (!static_cast<StopPhaseTest&>(test).Wait("svcThreadFun start.(svcThreadFun)", 1, 15000)) return false;
    ::Sleep(1000);
    return true;
}

const StopPhase kPhases[] = {
    {"StartPendingBeforeFirstLaunch", true, "ready never\n", AtOnce, nullptr, false},
    {"ReadyWait", true, "ready never\n", InReadyWait, nullptr, false},
    {"TwoSecondPause", true, "ready_after_ms 0\nexit_after_ms 300 code 9\n", InTwoSecondPause,
     "wait timeout WAIT_CONTAINER_EXIT_TIME fail, exit signal received(svcThreadFun)", false},
    {"SixtySecondPause", false, "", InLongPause,
     "wait timeout WAIT_START_CONTAINER_MAX_TRY_TIME fail, exit signal received(svcThreadFun)", false},
    {"Launch", true, "ready_after_ms 0\nexit_after_ms 0 code 1\n", InLaunch, nullptr, true},
    {"OutputFlood", true, "ready_after_ms 0\nflood_bytes_per_sec 8000000\n", InFlood,
     "wait g_hContainerHandle fail, exit signal received(svcThreadFun)", false},
};

TEST_P(StopPhaseTest, EndsWithinItsBoundAndEndsTheProcess) { Run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Phases, StopPhaseTest, ::testing::ValuesIn(kPhases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
