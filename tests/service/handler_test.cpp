// The control handler's answers, and session changes forwarded to a real
// container over the real pipe.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ostream>
#include <thread>

#include "event_forward.h"
#include "host_fixture.h"
#include "path_utils.h"
#include "qeb_core_process.h"
#include "report_capture.h"
#include "service_handler.h"
#include "service_status.h"
#include "svc_thread.h"
#include "thread_manager.h"

namespace {

using qebtest::DumpLog;
using qebtest::ReportCapture;

std::string Utf16(const std::string& ascii) {
    std::string bytes;
    for (const char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

bool SameRecord(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct MessageRow {
    DWORD eventType;
    DWORD sessionId;
    const char* text;
};

void PrintTo(const MessageRow& row, std::ostream* os) { *os << row.text; }

class WinEventMessageTest : public ::testing::TestWithParam<MessageRow> {};

TEST_P(WinEventMessageTest, TextAndWideLength) {
    const MessageRow& row = GetParam();
    const std::string text = ComposeWinEventMessage(row.eventType, row.sessionId);
    EXPECT_EQ(text, row.text);
    const auto wide = qeb::NarrowToWide(text.c_str(), CP_THREAD_ACP);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->size(), text.size()) << "one UTF-16 unit per character";
}

INSTANTIATE_TEST_SUITE_P(
    Table, WinEventMessageTest,
    ::testing::Values(MessageRow{0, 0, "NotifyWinEvent0EventId0"}, MessageRow{7, 2, "NotifyWinEvent7EventId2"},
                      MessageRow{10, 3, "NotifyWinEvent10EventId3"},  // type before EventId, session after
                      MessageRow{0x7FFFFFFF, 1, "NotifyWinEvent2147483647EventId1"},
                      MessageRow{4294967295u, 4294967295u, "NotifyWinEvent4294967295EventId4294967295"}),
    [](const ::testing::TestParamInfo<MessageRow>& info) {
        return "Type" + std::to_string(info.param.eventType) + "Session" + std::to_string(info.param.sessionId);
    });

TEST(WinEventMessageLimits, LongestTextIs41Characters) {
    EXPECT_EQ(ComposeWinEventMessage(0, 0).size(), 23u);
    EXPECT_EQ(ComposeWinEventMessage(4294967295u, 4294967295u).size(), 41u);
}

class HandlerTest : public qebtest::ServiceHostTest {
protected:
    // Start values, the start-pending report and a launched container that
    // has reported ready; gives the container's process id (0 on failure).
    DWORD StartPendingWithContainer(const char* scenario) {
        SetServiceStartValues();
        SetServiceStartPendingState();
        if (!LaunchContainer(scenario)) return 0;
        const DWORD container = ContainerProcessId();
        WaitForJournalKey(container, "ready-sent", 5000);
        return container;
    }

    struct FillResult {
        size_t sent = 0;
        ULONGLONG longestMs = 0;
        bool bBlocked = false;
    };
    // Session changes through the handler until one write can no longer
    // complete and takes its bound: the container's input pipe is then full.
    FillResult FillContainerInput(WTSSESSION_NOTIFICATION& notification) {
        FillResult fill;
        for (; fill.sent < 200000 && !fill.bBlocked; ++fill.sent) {
            const ULONGLONG begin = ::GetTickCount64();
            EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 1, &notification, nullptr),
                      static_cast<DWORD>(NO_ERROR));
            const ULONGLONG took = ::GetTickCount64() - begin;
            if (took > fill.longestMs) fill.longestMs = took;
            fill.bBlocked = took >= 500;
        }
        return fill;
    }
};

TEST_F(HandlerTest, ControlsOtherThanStopShutdownAndSessionChangeDoNothing) {
    ReportCapture capture;
    SetServiceStartValues();
    SetServiceStartPendingState();
    const SERVICE_STATUS before = g_serviceStatus;

    const DWORD codes[] = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                           SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_NETBINDADD, SERVICE_CONTROL_POWEREVENT,
                           SERVICE_CONTROL_PRESHUTDOWN, SERVICE_CONTROL_TIMECHANGE, 128, 255, 0};
    for (const DWORD code : codes) {
        EXPECT_EQ(ServiceHandlerEx(code, 1, nullptr, nullptr), static_cast<DWORD>(NO_ERROR)) << "code " << code;
    }
    EXPECT_EQ(capture.Count(), 1u) << "only the start-pending report";
    EXPECT_TRUE(SameRecord(g_serviceStatus, before));
    EXPECT_EQ(Logs().size(), 0u) << DumpLog(Logs());
}

TEST_F(HandlerTest, SessionChangeReachesTheContainerAsExactlyItsBytes) {
    ReportCapture capture;
    const DWORD container = StartPendingWithContainer("ready_after_ms 0\n");
    ASSERT_NE(container, 0u);

    WTSSESSION_NOTIFICATION notification = {sizeof notification, 2};
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 7, &notification, nullptr),
              static_cast<DWORD>(NO_ERROR));

    // The handler repeats the record as it is, once.
    auto reports = capture.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(SameRecord(reports[1], g_serviceStatus));

    const std::string expected = Utf16("NotifyWinEvent7EventId2");
    ASSERT_EQ(expected.size(), 46u);
    auto journal = WaitForJournalKey(container, "recv", 5000);
    ::Sleep(200);  // anything sent after the message would show by now
    journal = JournalFor(container);
    EXPECT_EQ(qebtest::ReceivedBytes(journal, container), expected);

    // Later messages follow without separators; the longest is 82 bytes.
    std::string all = expected;
    const MessageRow rows[] = {{0, 0, "NotifyWinEvent0EventId0"},
                               {4294967295u, 4294967295u, "NotifyWinEvent4294967295EventId4294967295"}};
    for (const MessageRow& row : rows) {
        notification.dwSessionId = row.sessionId;
        EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, row.eventType, &notification, nullptr),
                  static_cast<DWORD>(NO_ERROR));
        all += Utf16(row.text);
        const ULONGLONG deadline = ::GetTickCount64() + 5000;
        while (qebtest::ReceivedBytes(JournalFor(container), container).size() < all.size() &&
               ::GetTickCount64() < deadline) {
            ::Sleep(10);
        }
        EXPECT_EQ(qebtest::ReceivedBytes(JournalFor(container), container), all);
    }
    EXPECT_EQ(Utf16(rows[1].text).size(), 82u);
    EXPECT_EQ(capture.Count(), 4u);
    EXPECT_TRUE(qebtest::Problems(Logs()).empty()) << DumpLog(Logs());
}

TEST_F(HandlerTest, SessionChangeWithoutItsRecordSendsNothing) {
    ReportCapture capture;
    const DWORD container = StartPendingWithContainer("ready_after_ms 0\n");
    ASSERT_NE(container, 0u);
    ASSERT_TRUE(WaitForLog("get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)", 5000));
    const size_t before = Logs().size();

    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 5, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(capture.Count(), 2u) << "the record is still repeated";

    ::Sleep(300);
    EXPECT_TRUE(qebtest::ReceivedBytes(JournalFor(container), container).empty());
    EXPECT_EQ(Logs().size(), before) << DumpLog(Logs());
}

TEST_F(HandlerTest, SessionChangeToAContainerThatNeverReadsReturnsWithinBound) {
    ReportCapture capture;
    ASSERT_NE(StartPendingWithContainer("ready_after_ms 0\nno_read\n"), 0u);

    // Messages pile up in the pipe until a write can no longer complete; that
    // write must give up instead of holding the control handler.
    WTSSESSION_NOTIFICATION notification = {sizeof notification, 1};
    const FillResult fill = FillContainerInput(notification);
    std::printf("[ measure ] %zu messages filled the pipe; the blocked handler call returned after %llu ms\n",
                fill.sent, fill.longestMs);
    EXPECT_TRUE(fill.bBlocked) << "the pipe never filled";
    EXPECT_LT(fill.longestMs, 3000u);

    const auto logs = Logs();
    EXPECT_GE(qebtest::CountLogEntries(logs, "SendDataPipe failed(QEBCoreProcess::SendDataPipe)"), 1u)
        << DumpLog(logs);
    EXPECT_EQ(capture.Count(), fill.sent + 1) << "every call repeats the record, the failed one included";
}

// A stop that comes while a session change is blocked on the container's full
// input. The dispatcher hands controls over one at a time, so on Windows the
// stop is delivered when the blocked call returns; the overlapping order
// shows that the stop path itself never waits on the write.
enum class StopArrival { WhenTheBlockedCallReturns, DuringTheBlockedCall };

void PrintTo(StopArrival arrival, std::ostream* os) {
    *os << (arrival == StopArrival::WhenTheBlockedCallReturns ? "after the blocked call" : "during the blocked call");
}

class BlockedSessionChangeStopTest : public HandlerTest, public ::testing::WithParamInterface<StopArrival> {
protected:
    void SetUp() override {
        // The stop ends the process's managed threads for good (the exit
        // event is never reset): every later case of the same run would find
        // no listener. ctest runs each case in a process of its own.
        if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1) {
            GTEST_SKIP() << "stops the thread manager; run this case on its own (ctest does)";
        }
        m_bSetUp = true;
        HandlerTest::SetUp();
    }
    void TearDown() override {
        if (!m_bSetUp) return;  // skipped: nothing of the host fixture exists
        HandlerTest::TearDown();
        if (g_hServiceMainExitEvent != nullptr) {
            ::CloseHandle(g_hServiceMainExitEvent);
            g_hServiceMainExitEvent = nullptr;
        }
    }

    // What service_main leaves behind: running reported, the supervision
    // thread watching the container, start-up finished.
    bool StartSupervision() {
        WaitContainerReadyAndReportStatus();
        g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun", false))
            return false;
        ::SetEvent(g_hServiceMainExitEvent);
        return WaitForLog("svcThreadFun start.(svcThreadFun)", 5000);
    }

    // Tick at which a stopped report first shows in the capture; 0 if none
    // within the time.
    static ULONGLONG WaitForStoppedReport(const ReportCapture& capture, DWORD timeoutMs) {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        for (;;) {
            for (const SERVICE_STATUS& report : capture.Reports()) {
                if (report.dwCurrentState == SERVICE_STOPPED) return ::GetTickCount64();
            }
            if (::GetTickCount64() >= deadline) return 0;
            ::Sleep(2);
        }
    }

    bool m_bSetUp = false;
};

TEST_P(BlockedSessionChangeStopTest, StopReachesStoppedAndEndsTheSupervision) {
    ReportCapture capture;
    const DWORD container = StartPendingWithContainer("ready_after_ms 0\nno_read\n");
    ASSERT_NE(container, 0u);
    ASSERT_TRUE(StartSupervision()) << DumpLog(Logs());
    WTSSESSION_NOTIFICATION notification = {sizeof notification, 1};
    ASSERT_TRUE(FillContainerInput(notification).bBlocked) << "the pipe never filled";
    const size_t logsBefore = Logs().size();

    const bool bOverlap = GetParam() == StopArrival::DuringTheBlockedCall;
    std::atomic<ULONGLONG> sessionReturned{0};
    std::atomic<ULONGLONG> stopCalled{0};
    std::atomic<ULONGLONG> stopReturned{0};
    auto stop = [&] {
        stopCalled = ::GetTickCount64();
        EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        stopReturned = ::GetTickCount64();
    };
    const ULONGLONG sessionCalled = ::GetTickCount64();
    std::thread dispatcher([&] {
        EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 1, &notification, nullptr),
                  static_cast<DWORD>(NO_ERROR));
        sessionReturned = ::GetTickCount64();
        if (!bOverlap) stop();
    });
    // The stop request arrives while the write is blocked.
    ::Sleep(200);
    const ULONGLONG stopArrived = ::GetTickCount64();
    const bool bStillBlocked = sessionReturned == 0;
    std::thread other;
    if (bOverlap) other = std::thread(stop);

    const ULONGLONG stoppedSeen = WaitForStoppedReport(capture, 10000);
    dispatcher.join();
    if (other.joinable()) other.join();

    EXPECT_TRUE(bStillBlocked) << "the session change was not blocked when the stop came";
    ASSERT_NE(stoppedSeen, 0u) << "no stopped report within 10 s";
    std::printf("[ measure ] stop %s: session change returned after %llu ms; stop call %llu ms; stopped %llu ms "
                "after the stop arrived\n",
                bOverlap ? "during the blocked call" : "after the blocked call", sessionReturned - sessionCalled,
                stopReturned - stopCalled, stoppedSeen - stopArrived);
    EXPECT_LT(sessionReturned - sessionCalled, 3000u) << "the blocked write outlived its bound";
    EXPECT_LT(stoppedSeen - stopCalled, 2000u);
    EXPECT_LT(stoppedSeen - stopArrived, 3000u);
    const SERVICE_STATUS last = capture.Reports().back();
    EXPECT_EQ(last.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    const auto logs = Logs();
    const size_t control =
        qebtest::FindLogEntry(logs, "ServiceHandlerEx fdwControl = .1(ServiceHandlerEx)", logsBefore);
    ASSERT_NE(control, std::string::npos) << DumpLog(logs);
    EXPECT_NE(qebtest::FindLogEntry(logs, "SendDataPipe failed(QEBCoreProcess::SendDataPipe)", logsBefore),
              std::string::npos)
        << DumpLog(logs);
    EXPECT_NE(qebtest::FindLogEntry(logs, "svcThreadFun end.(svcThreadFun)", control), std::string::npos)
        << DumpLog(logs);
    EXPECT_NE(qebtest::FindLogEntry(logs, "QEBCoreProcess.Pipe_Listen end.(QEBCoreProcess::Pipe_Listen)", control),
              std::string::npos)
        << DumpLog(logs);
    EXPECT_EQ(qebtest::CountLogEntries(logs, "ExitThread failed! thread entry function: ", true), 0u)
        << "a worker had to be terminated\n"
        << DumpLog(logs);
    EXPECT_EQ(qebtest::CountLogEntries(logs, "ReleaseAllResources fail", true), 0u) << DumpLog(logs);
    EXPECT_EQ(g_hContainerHandle, nullptr);

    // The stop leaves the container to the next start, whose clean-up ends
    // it although its input is still full.
    const HANDLE hContainer = ::OpenProcess(SYNCHRONIZE, FALSE, container);
    ASSERT_NE(hContainer, nullptr) << "the stop ended the container";
    EXPECT_EQ(::WaitForSingleObject(hContainer, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    QEBCoreProcess::GetInstance()->CleanContainerProcess();
    EXPECT_EQ(::WaitForSingleObject(hContainer, 5000), static_cast<DWORD>(WAIT_OBJECT_0)) << "the container lives on";
    ::CloseHandle(hContainer);
}

INSTANTIATE_TEST_SUITE_P(Arrival, BlockedSessionChangeStopTest,
                         ::testing::Values(StopArrival::WhenTheBlockedCallReturns, StopArrival::DuringTheBlockedCall),
                         [](const ::testing::TestParamInfo<StopArrival>& info) {
                             return std::string(info.param == StopArrival::WhenTheBlockedCallReturns
                                                    ? "AfterTheCall"
                                                    : "DuringTheCall");
                         });

}  // namespace
