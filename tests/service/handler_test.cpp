// The control handler's answers, and session changes forwarded to a real
// container over the real pipe.

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

#include "event_forward.h"
#include "host_fixture.h"
#include "path_utils.h"
#include "report_capture.h"
#include "service_handler.h"
#include "service_status.h"

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
    ULONGLONG longest = 0;
    size_t sent = 0;
    bool bBlocked = false;
    for (; sent < 200000 && !bBlocked; ++sent) {
        const ULONGLONG begin = ::GetTickCount64();
        EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 1, &notification, nullptr),
                  static_cast<DWORD>(NO_ERROR));
        const ULONGLONG took = ::GetTickCount64() - begin;
        if (took > longest) longest = took;
        bBlocked = took >= 500;
    }
    std::printf("[ measure ] %zu messages filled the pipe; the blocked handler call returned after %llu ms\n", sent,
                longest);
    EXPECT_TRUE(bBlocked) << "the pipe never filled";
    EXPECT_LT(longest, 3000u);

    const auto logs = Logs();
    EXPECT_GE(qebtest::CountLogEntries(logs, "SendDataPipe failed(QEBCoreProcess::SendDataPipe)"), 1u)
        << DumpLog(logs);
    EXPECT_EQ(capture.Count(), sent + 1) << "every call repeats the record, the failed one included";
}

}  // namespace
