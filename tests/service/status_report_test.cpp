// Status record transitions and the readiness wait, with every report
// captured through the host's reporter seam and real containers launched
// through QEBCoreProcess.

#include <gtest/gtest.h>

#include <thread>


#include "host_fixture.h"
#include "qeb_core_process.h"
#include "report_capture.h"
#include "service_status.h"
#include "thread_manager.h"

namespace {

using qebtest::CountLogEntries;
using qebtest::DumpLog;
using qebtest::FindLogEntry;
using qebtest::ReportCapture;

constexpr char kWarningLine[] = "WaitContainerReadyAndReportStatus WaitForSingleObject fail, wait timeout"
                                "(WaitContainerReadyAndReportStatus)";
constexpr char kStillRunningLine[] = "WaitContainerReadyAndReportStatus WaitForSingleObject containerState = 258"
                                     "(WaitContainerReadyAndReportStatus)";
constexpr char kReadyLine[] = "get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)";

void ExpectStatus(const SERVICE_STATUS& s, DWORD state, DWORD waitHint) {
    EXPECT_EQ(s.dwServiceType, 0x30u);
    EXPECT_EQ(s.dwCurrentState, state);
    EXPECT_EQ(s.dwControlsAccepted, 0x85u);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, waitHint);
}

class StatusReportTest : public qebtest::ServiceHostTest {};

TEST_F(StatusReportTest, FirstStartPendingCarriesTheStartValues) {
    ReportCapture capture;
    SetServiceStartValues();
    EXPECT_EQ(capture.Count(), 0u) << "the start values are not reported by themselves";
    SetServiceStartPendingState();

    const auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 1u);
    ExpectStatus(reports[0], SERVICE_START_PENDING, 1000);
    EXPECT_TRUE(Logs().empty()) << DumpLog(Logs());
}

TEST_F(StatusReportTest, RefusedStartPendingReportIsLoggedWithItsError) {
    ReportCapture capture;
    capture.FailWith(ERROR_INVALID_HANDLE);
    SetServiceStartValues();
    SetServiceStartPendingState();

    const auto logs = Logs();
    ASSERT_EQ(logs.size(), 1u) << DumpLog(logs);
    EXPECT_EQ(logs[0].level, 'I');
    EXPECT_EQ(logs[0].tag, "service");
    EXPECT_EQ(logs[0].message, "svcThreadFun SetServiceStatus SERVICE_START_PENDING error = 6(SetServiceStartPendingState)");
    EXPECT_EQ(g_serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST_F(StatusReportTest, ReadyContainerIsReportedRunningAtOnceAndRestartPendingHasNoHint) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    ASSERT_TRUE(LaunchContainer("ready_after_ms 0\n"));
    // The container's notification travels through the listener to the
    // ready event; a Wine process start may take most of the 500 ms, so the
    // wait begins once it has arrived.
    ASSERT_EQ(::WaitForSingleObject(g_hContainerReadyEvent, 5000), WAIT_OBJECT_0);

    const ULONGLONG begin = ::GetTickCount64();
    WaitContainerReadyAndReportStatus();
    const ULONGLONG waited = ::GetTickCount64() - begin;
    EXPECT_LT(waited, 200u);

    const auto logs = Logs();
    EXPECT_EQ(CountLogEntries(logs, kWarningLine), 0u) << DumpLog(logs);
    const size_t ready = FindLogEntry(logs, kReadyLine);
    const size_t polled = FindLogEntry(logs, kStillRunningLine);
    ASSERT_NE(ready, std::string::npos) << DumpLog(logs);
    ASSERT_NE(polled, std::string::npos) << DumpLog(logs);
    EXPECT_LT(ready, polled);

    auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 2u);
    ExpectStatus(reports[1], SERVICE_RUNNING, 0);

    // A container that ended takes the service back to start pending: the
    // running transition left check point and wait hint at 0.
    SetServiceStartPendingState();
    reports = capture.Reports();
    ASSERT_EQ(reports.size(), 3u);
    ExpectStatus(reports[2], SERVICE_START_PENDING, 0);
}

TEST_F(StatusReportTest, ReadinessDuringTheWaitEndsItEarly) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    ASSERT_TRUE(LaunchContainer("ready never\n"));

    // The listener's part, played at a known moment inside the wait.
    std::thread listener([] {
        ::Sleep(150);
        ::SetEvent(g_hContainerReadyEvent);
    });
    const ULONGLONG begin = ::GetTickCount64();
    WaitContainerReadyAndReportStatus();
    const ULONGLONG waited = ::GetTickCount64() - begin;
    listener.join();
    std::printf("[ measure ] readiness wait ended by the ready event set after 150 ms: %llu ms\n", waited);
    EXPECT_GE(waited, 140u);
    EXPECT_LT(waited, 450u);

    const auto logs = Logs();
    EXPECT_EQ(CountLogEntries(logs, kWarningLine), 0u) << DumpLog(logs);
    EXPECT_EQ(CountLogEntries(logs, kStillRunningLine), 1u) << DumpLog(logs);
    const auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 2u);
    ExpectStatus(reports[1], SERVICE_RUNNING, 0);
}

TEST_F(StatusReportTest, SilentContainerIsReportedRunningAfterOneWarning) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    ASSERT_TRUE(LaunchContainer("ready never\n"));

    const ULONGLONG begin = ::GetTickCount64();
    WaitContainerReadyAndReportStatus();
    const ULONGLONG waited = ::GetTickCount64() - begin;
    std::printf("[ measure ] readiness wait for a silent container: %llu ms\n", waited);
    EXPECT_GE(waited, 490u);
    EXPECT_LT(waited, 1500u);

    const auto logs = Logs();
    EXPECT_EQ(CountLogEntries(logs, kWarningLine), 1u) << DumpLog(logs);
    const size_t warning = FindLogEntry(logs, kWarningLine);
    ASSERT_NE(warning, std::string::npos);
    EXPECT_EQ(logs[warning].level, 'W');
    EXPECT_EQ(logs[warning].tag, "container");
    EXPECT_NE(FindLogEntry(logs, kStillRunningLine, warning), std::string::npos) << DumpLog(logs);
    EXPECT_EQ(CountLogEntries(logs, kReadyLine), 0u);

    const auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 2u);
    ExpectStatus(reports[1], SERVICE_RUNNING, 0);
}

TEST_F(StatusReportTest, EndedContainerIsNotReportedRunning) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    ASSERT_TRUE(LaunchContainer("ready_after_ms 0\nexit_after_ms 200 code 0\n"));
    ASSERT_EQ(::WaitForSingleObject(g_hContainerReadyEvent, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(::WaitForSingleObject(g_hContainerHandle, 10000), WAIT_OBJECT_0);

    WaitContainerReadyAndReportStatus();

    const auto logs = Logs();
    EXPECT_EQ(CountLogEntries(logs, kWarningLine), 0u) << DumpLog(logs);
    EXPECT_EQ(CountLogEntries(logs, "WaitContainerReadyAndReportStatus WaitForSingleObject containerState = 0"
                                    "(WaitContainerReadyAndReportStatus)"),
              1u)
        << DumpLog(logs);
    EXPECT_EQ(capture.Count(), 1u) << "only the start-pending report";
    // The record says running; the supervision loop reports start pending.
    EXPECT_EQ(g_serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

class StoppingStateTest : public qebtest::ServiceHostTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(StoppingStateTest, RunningIsNeitherWrittenNorReported) {
    ReportCapture capture;
    SetServiceStartValues();
    g_serviceStatus.dwCurrentState = GetParam();
    ASSERT_TRUE(::SetEvent(g_hContainerReadyEvent));

    WaitContainerReadyAndReportStatus();

    const auto logs = Logs();
    ASSERT_EQ(logs.size(), 1u) << DumpLog(logs);
    EXPECT_EQ(logs[0].level, 'I');
    EXPECT_EQ(logs[0].tag, "service");
    EXPECT_EQ(logs[0].message,
              "WaitContainerReadyAndReportStatus set SERVICE_RUNNING fail g_serviceStatus.dwCurrentState = " +
                  std::to_string(GetParam()) + "(WaitContainerReadyAndReportStatus)");
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_EQ(g_serviceStatus.dwCurrentState, GetParam());
    EXPECT_EQ(g_serviceStatus.dwWaitHint, 1000u);
}

INSTANTIATE_TEST_SUITE_P(StopPendingAndStopped, StoppingStateTest,
                         ::testing::Values(static_cast<DWORD>(SERVICE_STOP_PENDING),
                                           static_cast<DWORD>(SERVICE_STOPPED)),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                             return info.param == SERVICE_STOP_PENDING ? std::string("StopPending")
                                                                       : std::string("Stopped");
                         });

TEST_F(StatusReportTest, StartPendingNeverOverwritesAStopUnderWay) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStopPendingValues();
    SetServiceStartPendingState();
    EXPECT_EQ(g_serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(capture.Count(), 0u);
}

}  // namespace
