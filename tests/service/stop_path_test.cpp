// The stop path: one stop per process, since the thread manager's exit event
// is never reset. ctest runs every case in a process of its own; a case that
// finds the stop already done in its process is skipped, not faked.

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <thread>

#include "host_fixture.h"
#include "qeb_core_process.h"
#include "report_capture.h"
#include "service_handler.h"
#include "service_status.h"
#include "svc_thread.h"
#include "thread_manager.h"

namespace {

using qebtest::CountLogEntries;
using qebtest::DumpLog;
using qebtest::FindLogEntry;
using qebtest::ReportCapture;

bool IsProcessAlive(DWORD processId) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return alive;
}

void ExpectStopReports(const std::vector<SERVICE_STATUS>& reports) {
    ASSERT_GE(reports.size(), 2u);
    const SERVICE_STATUS& pending = reports[reports.size() - 2];
    const SERVICE_STATUS& stopped = reports.back();
    EXPECT_EQ(pending.dwServiceType, 0x30u);
    EXPECT_EQ(pending.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(pending.dwControlsAccepted, 0x85u);
    EXPECT_EQ(pending.dwWin32ExitCode, 0u);
    EXPECT_EQ(pending.dwCheckPoint, 0u);
    EXPECT_EQ(pending.dwWaitHint, 1000u);
    EXPECT_EQ(stopped.dwServiceType, 0x30u);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwControlsAccepted, 0x85u);
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(stopped.dwCheckPoint, 0u);
    EXPECT_EQ(stopped.dwWaitHint, 0u);
}

class StopPathTest : public qebtest::ServiceHostTest {
protected:
    void SetUp() override {
        if (::WaitForSingleObject(VelantThread::ThreadManager::GetInstance()->GetExitEvent(), 0) == WAIT_OBJECT_0) {
            GTEST_SKIP() << "this process has already stopped its threads; run the case on its own (ctest does)";
        }
        qebtest::ServiceHostTest::SetUp();
    }
    void TearDown() override {
        qebtest::ServiceHostTest::TearDown();
        if (g_hServiceMainExitEvent != nullptr) {
            ::CloseHandle(g_hServiceMainExitEvent);
            g_hServiceMainExitEvent = nullptr;
        }
    }

    // The service as service_main leaves it: running, a container, the
    // supervision thread watching it, start-up finished.
    void StartRunningService(const std::string& scenario) {
        SetServiceStartValues();
        SetServiceStartPendingState();
        g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(LaunchContainer(scenario));
        WaitContainerReadyAndReportStatus();
        ASSERT_TRUE(VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun",
                                                                            false));
        ::SetEvent(g_hServiceMainExitEvent);
        ASSERT_TRUE(WaitForLog("svcThreadFun start.(svcThreadFun)", 5000));
        ASSERT_EQ(g_serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }
};

class StopControlTest : public StopPathTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(StopControlTest, EndsThreadsClosesHandlesAndLeavesTheContainerRunning) {
    ReportCapture capture;
    StartRunningService("ready_after_ms 0\n");
    const DWORD container = ContainerProcessId();
    const size_t before = Logs().size();

    const ULONGLONG begin = ::GetTickCount64();
    EXPECT_EQ(ServiceHandlerEx(GetParam(), 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    const ULONGLONG took = ::GetTickCount64() - begin;
    std::printf("[ measure ] stop path (control %lu) with a running container: %llu ms\n",
                static_cast<unsigned long>(GetParam()), took);
    EXPECT_LT(took, 2000u);

    ExpectStopReports(capture.Reports());
    const auto logs = Logs();
    const std::string controlLine = "ServiceHandlerEx fdwControl = ." + std::to_string(GetParam()) + "(ServiceHandlerEx)";
    EXPECT_EQ(CountLogEntries(logs, controlLine), 1u) << DumpLog(logs);
    const size_t control = FindLogEntry(logs, controlLine);
    ASSERT_NE(control, std::string::npos);
    EXPECT_EQ(logs[control].tag, "service");
    EXPECT_GE(control, before);
    EXPECT_NE(FindLogEntry(logs, "wait g_hContainerHandle fail, exit signal received(svcThreadFun)", control),
              std::string::npos)
        << DumpLog(logs);
    EXPECT_NE(FindLogEntry(logs, "svcThreadFun end.(svcThreadFun)", control), std::string::npos) << DumpLog(logs);
    EXPECT_NE(FindLogEntry(logs, "QEBCoreProcess.Pipe_Listen end.(QEBCoreProcess::Pipe_Listen)", control),
              std::string::npos)
        << DumpLog(logs);
    EXPECT_TRUE(qebtest::Problems(logs).empty()) << "no thread terminated, no late service_main\n" << DumpLog(logs);

    EXPECT_EQ(g_hContainerHandle, nullptr);
    EXPECT_EQ(g_hContainerReadyEvent, nullptr);
    EXPECT_TRUE(IsProcessAlive(container)) << "the stop does not terminate the container";

    // service_main's late StartThread after the stop starts nothing.
    EXPECT_FALSE(
        VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun", false));
    ::Sleep(100);
    EXPECT_EQ(CountLogEntries(Logs(), "svcThreadFun start.(svcThreadFun)"), 1u);
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, StopControlTest,
                         ::testing::Values(static_cast<DWORD>(SERVICE_CONTROL_STOP),
                                           static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                             return info.param == SERVICE_CONTROL_STOP ? std::string("Stop") : std::string("Shutdown");
                         });

struct LateStartRow {
    bool bCreateEvent;
    DWORD expectedStatus;
};

void PrintTo(const LateStartRow& row, std::ostream* os) {
    *os << (row.bCreateEvent ? "event not signalled" : "no event") << ", expect " << row.expectedStatus;
}

class LateServiceMainTest : public StopPathTest, public ::testing::WithParamInterface<LateStartRow> {};

TEST_P(LateServiceMainTest, IsLoggedAndTheServiceStillStops) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    if (GetParam().bCreateEvent) g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    const ULONGLONG begin = ::GetTickCount64();
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    const ULONGLONG took = ::GetTickCount64() - begin;
    if (GetParam().bCreateEvent) {
        EXPECT_GE(took, 990u) << "waits for service_main";
        EXPECT_LT(took, 2000u);
    }

    ExpectStopReports(capture.Reports());
    const auto logs = Logs();
    const std::string line = "ReleaseAllResources fail serviceMainExitStatus = " +
                             std::to_string(GetParam().expectedStatus) + "(ReleaseAllResources)";
    const size_t index = FindLogEntry(logs, line);
    ASSERT_NE(index, std::string::npos) << DumpLog(logs);
    EXPECT_EQ(logs[index].level, 'E');
    EXPECT_EQ(logs[index].tag, "container");
}

INSTANTIATE_TEST_SUITE_P(ExitEvent, LateServiceMainTest,
                         ::testing::Values(LateStartRow{true, 258}, LateStartRow{false, 4294967295u}),
                         [](const ::testing::TestParamInfo<LateStartRow>& info) {
                             return info.param.bCreateEvent ? std::string("NotSignalled") : std::string("NeverCreated");
                         });

TEST_F(StopPathTest, StopDuringTheReadinessWaitSuppressesRunning) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(LaunchContainer("ready never\n"));

    std::thread serviceMain([] {
        WaitContainerReadyAndReportStatus();
        ::SetEvent(g_hServiceMainExitEvent);
    });
    ::Sleep(100);
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    serviceMain.join();

    const auto logs = Logs();
    const size_t index = FindLogEntry(logs, "WaitContainerReadyAndReportStatus WaitForMultipleObjects fail,  exit "
                                            "signal received(WaitContainerReadyAndReportStatus)");
    ASSERT_NE(index, std::string::npos) << DumpLog(logs);
    EXPECT_EQ(logs[index].level, 'E');
    EXPECT_EQ(logs[index].tag, "container");
    EXPECT_EQ(CountLogEntries(logs, "WaitContainerReadyAndReportStatus WaitForSingleObject", true), 0u)
        << DumpLog(logs);

    const auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 3u) << "start pending, stop pending, stopped; never running";
    EXPECT_EQ(reports[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    ExpectStopReports(reports);
}

TEST_F(StopPathTest, StopRacingTheSupervisionStartLeavesNoThreadBehind) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(LaunchContainer("ready_after_ms 0\n"));
    WaitContainerReadyAndReportStatus();

    // service_main's steps 10 to 13 on their own thread, released together
    // with the stop.
    std::atomic<bool> bGo{false};
    std::atomic<int> started{-1};
    std::thread serviceMain([&] {
        while (!bGo) {
        }
        started = VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun",
                                                                          false)
                      ? 1
                      : 0;
        ::SetEvent(g_hServiceMainExitEvent);
    });
    bGo = true;
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    serviceMain.join();
    ::Sleep(100);

    const auto logs = Logs();
    std::printf("[ info ] the supervision thread %s\n",
                started == 1 ? "was started first and stopped by the stop" : "was refused after the stop");
    // Either way no supervision thread is left: every start has its end.
    EXPECT_EQ(CountLogEntries(logs, "svcThreadFun start.(svcThreadFun)"),
              CountLogEntries(logs, "svcThreadFun end.(svcThreadFun)"))
        << DumpLog(logs);
    EXPECT_EQ(CountLogEntries(logs, "ExitThread failed! thread entry function: ", true), 0u) << DumpLog(logs);
    EXPECT_EQ(capture.Reports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

}  // namespace
