// What the Service Control Manager cannot drive under test, on the real
// control handler: a session change (no client can send control 14) into a
// real reference container, and a stop while that write is blocked.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "qeb_core_process.h"
#include "service_handler.h"
#include "service_status.h"
#include "svc_thread.h"
#include "test_kit.h"
#include "thread_manager.h"
#include "unique_handle.h"

namespace {

// A thread object that still owns its thread must not be destroyed with the
// thread manager at exit.
struct StopThreadsAtExit : ::testing::Environment {
    void TearDown() override { VelantThread::ThreadManager::GetInstance()->WaitAll(); }
};
const auto* const s_environment = ::testing::AddGlobalTestEnvironment(std::make_unique<StopThreadsAtExit>().release());

std::atomic<int> s_reports{0};
std::atomic<DWORD> s_lastState{0};

BOOL WINAPI CountReport(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    s_lastState = status->dwCurrentState;
    ++s_reports;
    return TRUE;
}

// A container launched as the service launches it, ready reported, with the
// host's ready event and its status reports counted.
class Host : public ::testing::Test {
protected:
    void Launch(const char* scenario) {
        SetServiceStatusReporter(&CountReport);
        g_hContainerReadyEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        QEBCoreProcess::SetContainerReadyEvent(g_hContainerReadyEvent);
        std::ofstream(std::filesystem::path(kit::ExeDir() + L"QEBCoreContainer.scenario")) << scenario;
        QEBCoreProcess::GetInstance()->CreateContainerProcess();
        ASSERT_NE(nullptr, g_hContainerHandle) << log.Tail();
        m_pid = ::GetProcessId(g_hContainerHandle);
        m_hContainer.reset(::OpenProcess(PROCESS_TERMINATE, FALSE, m_pid));
        ASSERT_TRUE(log.Has("I container get container notify workStatus = 1(", 0, 5000)) << log.Tail();
    }
    void TearDown() override {
        // The host's handles stay as a service would leave them; the process ends soon.
        ::TerminateProcess(m_hContainer.get(), 1);
        ::DeleteFileW((kit::ExeDir() + L"QEBCoreContainer.scenario").c_str());
        SetServiceStatusReporter(nullptr);
    }
    // The bytes the container journalled as read from its input, in hexadecimal.
    std::string Received() const {
        std::istringstream in(kit::ReadAll(m_journal).substr(m_journalStart));
        const std::string key = " " + std::to_string(m_pid) + " recv ";
        std::string hex;
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(key);
            if (at != std::string::npos) hex += line.substr(at + key.size(), line.find_last_not_of('\r') + 1 - at - key.size());
        }
        return hex;
    }

    kit::LogCapture log;
    const std::wstring m_journal = kit::ExeDir() + L"QEBCoreContainer.journal";
    const size_t m_journalStart = kit::ReadAll(m_journal).size();
    DWORD m_pid = 0;
    qeb::UniqueHandle m_hContainer;
};

}  // namespace

TEST_F(Host, SessionChangeReachesTheContainerAsExactBytes) {
    ASSERT_NO_FATAL_FAILURE(Launch("ready_after_ms 0\n"));
    const struct {
        DWORD eventType, sessionId;
        const char* text;
    } rows[] = {{7, 2, "NotifyWinEvent7EventId2"}, {4294967295u, 4294967295u, "NotifyWinEvent4294967295EventId4294967295"}};
    std::string expected;
    for (const auto& row : rows) {
        WTSSESSION_NOTIFICATION notification = {sizeof notification, row.sessionId};
        const int reports = s_reports;
        EXPECT_EQ(0u, ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, row.eventType, &notification, nullptr));
        EXPECT_EQ(reports + 1, s_reports) << "the status is reported once more";
        for (const char* c = row.text; *c != '\0'; ++c) expected += "0123456789abcdef"[*c >> 4] + std::string(1, "0123456789abcdef"[*c & 15]) + "00";
        kit::WaitFor([&] { return Received().size() >= expected.size(); }, 5000);
        EXPECT_EQ(expected, Received()) << "UTF-16LE, no terminator, nothing between messages";
    }
    EXPECT_FALSE(log.Has("E ") || log.Has("W ")) << log.Tail();
}

TEST_F(Host, StopWhileASessionChangeIsBlockedEndsBothThreadsByThemselves) {
    // The stop ends the process's managed threads for good; ctest runs each case in a process of its own.
    if (::testing::UnitTest::GetInstance()->test_to_run_count() > 1) GTEST_SKIP() << "stops the thread manager: run it alone";
    ASSERT_NO_FATAL_FAILURE(Launch("ready_after_ms 0\nno_read\n"));
    g_hServiceMainExitEvent = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);  // start-up done; the stop never closes it
    ASSERT_TRUE(VelantThread::ThreadManager::GetInstance()->StartThread(svcThreadFun, nullptr, "svcThreadFun", false));
    ASSERT_TRUE(log.Has("I service svcThreadFun start.", 0, 5000)) << log.Tail();

    // The container never reads: messages pile up until a write waits for its bound.
    WTSSESSION_NOTIFICATION notification = {sizeof notification, 1};
    ULONGLONG took = 0;
    for (int i = 0; i < 100000 && took < 500; ++i) {
        const ULONGLONG begin = ::GetTickCount64();
        ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 1, &notification, nullptr);
        took = ::GetTickCount64() - begin;
    }
    ASSERT_GE(took, 500u) << "the pipe never filled";
    std::atomic<bool> bSessionReturned{false};
    std::thread session([&] {
        ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, 1, &notification, nullptr);
        bSessionReturned = true;
    });
    ::Sleep(100);  // into its write on the full pipe, which holds it far longer
    EXPECT_FALSE(bSessionReturned);
    const ULONGLONG begin = ::GetTickCount64();
    EXPECT_EQ(0u, ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    const ULONGLONG stopMs = ::GetTickCount64() - begin;
    session.join();

    EXPECT_LT(stopMs, 2000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s_lastState.load());
    EXPECT_TRUE(log.Has("I service svcThreadFun end.") && log.Has("I container QEBCoreProcess.Pipe_Listen end."))
        << log.Tail();
    EXPECT_FALSE(log.Has("W container ExitThread failed!")) << log.Tail();
}
