// CreateContainerProcess with the signed reference container that lies beside
// this program: the launch contract as the container sees it, messages both
// ways, a launch while one is held, handles over many restarts, and the write
// bound against a container that never reads.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "container_test_env.h"
#include "qeb_core_process.h"
#include "qebcore_security.h"
#include "test_log.h"
#include "test_support.h"

namespace {

const char LAUNCH_FUNC[] = "QEBCoreProcess::CreateContainerProcess";

QEBCoreProcess& Process() { return *QEBCoreProcess::GetInstance(); }

std::wstring BinDir() {
    std::wstring dir = qebtest::ExeDirW();
    dir.pop_back();
    return dir;
}

// The scenario beside the shared container is this test's alone while it
// runs (the wine_processes lock), and gone afterwards.
struct Scenario : qebtest::ScenarioFile {
    explicit Scenario(const std::string& text) : qebtest::ScenarioFile(BinDir(), text) {}
};

// What the service host does with a container that is gone.
void ReleaseContainer(bool terminate) {
    if (g_hContainerHandle == nullptr) return;
    if (terminate) ::TerminateProcess(g_hContainerHandle, 0);
    ::WaitForSingleObject(g_hContainerHandle, 10000);
    ::CloseHandle(g_hContainerHandle);
    g_hContainerHandle = nullptr;
}

struct ContainerGuard {
    ~ContainerGuard() { ReleaseContainer(true); }
};

std::vector<std::string> LaunchLines(const qebtest::LogCursor& cursor) {
    std::vector<std::string> lines;
    for (const qebtest::LogRecord& r : cursor.Since()) {
        if (r.message.find(std::string("(") + LAUNCH_FUNC + ")") != std::string::npos)
            lines.push_back(std::string(1, r.level) + " " + r.tag + " " + r.message);
    }
    return lines;
}

std::vector<std::string> AllLines(const qebtest::LogCursor& cursor) {
    std::vector<std::string> lines;
    for (const qebtest::LogRecord& r : cursor.Since()) lines.push_back(std::string(1, r.level) + " " + r.tag + " " + r.message);
    return lines;
}

bool IsUpperHex16(const std::string& text) {
    if (text.size() != 16) return false;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'F')) return false;
    }
    return true;
}

TEST(Launch, ContainerRunsOnThePipesWithAValidHandleToItsLauncher) {
    ContainerGuard guard;
    ::DeleteFileW((BinDir() + L"\\QEBCoreContainer.scenario").c_str());
    qebtest::LogCursor cursor;
    const ULONGLONG start = ::GetTickCount64();
    const HANDLE launched = Process().CreateContainerProcess();
    const ULONGLONG launchMs = ::GetTickCount64() - start;
    ASSERT_NE(nullptr, launched);
    EXPECT_EQ(g_hContainerHandle, launched);
    EXPECT_EQ(std::vector<std::string>{"I service ContainerProcess exe verify success(" + std::string(LAUNCH_FUNC) + ")"},
              LaunchLines(cursor));

    // Its readiness comes back through the listener.
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    const DWORD pid = ::GetProcessId(launched);
    ASSERT_TRUE(qebtest::WaitForJournal(BinDir(), pid, "ready-sent", 10000));
    const std::vector<qebtest::JournalEntry> journal = qebtest::ReadJournal(BinDir(), pid);
    const std::string commandLine = qebtest::JournalText(journal, "cmdline");
    EXPECT_TRUE(IsUpperHex16(commandLine)) << commandLine;
    EXPECT_EQ("valid pid=" + std::to_string(::GetCurrentProcessId()), qebtest::JournalText(journal, "parent-handle"));
    EXPECT_EQ("pipe", qebtest::JournalText(journal, "stdin-type"));
    EXPECT_EQ("pipe", qebtest::JournalText(journal, "stdout-type"));
    EXPECT_EQ("none", qebtest::JournalText(journal, "console-window"));
    std::printf("[ figures ] launch %llu ms; container stderr %s (%s)\n", launchMs,
                qebtest::JournalText(journal, "stderr").c_str(), qebtest::JournalText(journal, "stderr-type").c_str());

    // One message, one write, exactly its bytes.
    const std::wstring message = L"NotifyWinEvent5EventId1";
    ASSERT_TRUE(Process().SendDataPipe(message.c_str(), 46));
    ASSERT_TRUE(qebtest::WaitForJournal(BinDir(), pid, "recv", 5000));
    const std::vector<qebtest::JournalEntry> after = qebtest::ReadJournal(BinDir(), pid);
    EXPECT_EQ(qebtest::Hex(qebtest::Utf16Bytes(message)), qebtest::JournalText(after, "recv"));
    EXPECT_EQ(92u, qebtest::JournalText(after, "recv").size()) << "46 bytes";
    EXPECT_EQ("NotifyWinEvent5EventId1", qebtest::JournalText(after, "recv-text"));
}

TEST(Launch, WhileAContainerIsHeldOnlyItsLineIsWritten) {
    ContainerGuard guard;
    ASSERT_NE(nullptr, Process().CreateContainerProcess());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    const HANDLE held = g_hContainerHandle;
    const HANDLE fields[4] = {Process().m_hStdInWrite, Process().m_hStdInRead, Process().m_hStdOutWrite,
                              Process().m_hStdOutRead};

    qebtest::LogCursor cursor;
    EXPECT_EQ(held, Process().CreateContainerProcess());
    EXPECT_EQ(held, g_hContainerHandle);
    // Only this line, from any function.
    EXPECT_EQ(std::vector<std::string>{"I service container is already exists.(" + std::string(LAUNCH_FUNC) + ")"},
              AllLines(cursor));
    EXPECT_TRUE(qebtest::IsSignalled(qebtest::ReadyEvent())) << "ready event left alone";
    const HANDLE now[4] = {Process().m_hStdInWrite, Process().m_hStdInRead, Process().m_hStdOutWrite,
                           Process().m_hStdOutRead};
    EXPECT_TRUE(std::equal(std::begin(fields), std::end(fields), std::begin(now))) << "pipes left alone";
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(held, 0)) << "container left alone";
}

TEST(Launch, ScenarioStepsReachTheServiceInOrder) {
    ContainerGuard guard;
    Scenario scenario("ready_after_ms 300\nsend NotifyWorkStatus2\nexit_after_ms 600 code 7\n");
    qebtest::LogCursor cursor;
    ASSERT_NE(nullptr, Process().CreateContainerProcess());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(qebtest::ReadyEvent(), 100));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_hContainerHandle, 10000));
    DWORD code = 0;
    ::GetExitCodeProcess(g_hContainerHandle, &code);
    EXPECT_EQ(7u, code);
    EXPECT_TRUE(cursor.WaitFor("get container notify workStatus = 2(QEBCoreProcess::Pipe_Listen)", 5000));
    std::vector<std::string> listened;  // the notifications only (a first launch also starts the listener)
    for (const std::string& m : qebtest::Messages(cursor.Since(), "QEBCoreProcess::Pipe_Listen")) {
        if (m.rfind("get container notify", 0) == 0) listened.push_back(m);
    }
    EXPECT_EQ((std::vector<std::string>{"get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)",
                                        "get container notify workStatus = 2(QEBCoreProcess::Pipe_Listen)"}),
              listened);
}

TEST(Launch, CrashScenarioEndsTheContainerWithAnAccessViolation) {
    ContainerGuard guard;
    Scenario scenario("ready never\ncrash_after_ms 0\n");
    ASSERT_NE(nullptr, Process().CreateContainerProcess());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_hContainerHandle, 10000));
    DWORD code = 0;
    ::GetExitCodeProcess(g_hContainerHandle, &code);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), code);
    EXPECT_FALSE(qebtest::IsSignalled(qebtest::ReadyEvent()));
}

TEST(Launch, SendDataPipeToAContainerThatNeverReadsEndsWithinTheBound) {
    ContainerGuard guard;
    Scenario scenario("no_read\n");
    ASSERT_NE(nullptr, Process().CreateContainerProcess());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    qebtest::LogCursor cursor;
    const std::string chunk(4096, 'm');
    DWORD failedAfter = 0;
    int calls = 0;
    for (calls = 1; calls <= 256; ++calls) {
        const ULONGLONG start = ::GetTickCount64();
        if (!Process().SendDataPipe(chunk.data(), 4096)) {
            failedAfter = static_cast<DWORD>(::GetTickCount64() - start);
            break;
        }
    }
    ASSERT_LE(calls, 256);
    EXPECT_LE(failedAfter, 2000u);
    const std::vector<std::string> lines = qebtest::Messages(cursor.Since(), "QEBCoreProcess::SendDataPipe");
    EXPECT_EQ(std::vector<std::string>{"SendDataPipe failed(QEBCoreProcess::SendDataPipe)"}, lines);
    std::printf("[ figures ] never-reading container: write %d failed after %lu ms\n", calls,
                static_cast<unsigned long>(failedAfter));
}

TEST(Launch, HandleCountStaysFlatOverManyLaunchAndExitCycles) {
    Scenario scenario("ready never\nno_read\nexit_after_ms 0 code 0\n");
    constexpr int CYCLES = 200;
    constexpr int WARM_UP = 5;
    unsigned long warm = 0;
    const ULONGLONG start = ::GetTickCount64();
    for (int cycle = 1; cycle <= CYCLES; ++cycle) {
        ASSERT_NE(nullptr, Process().CreateContainerProcess()) << "cycle " << cycle;
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_hContainerHandle, 10000));
        ReleaseContainer(false);
        if (cycle == WARM_UP) warm = qebtest::CountOpenHandles();
    }
    const unsigned long last = qebtest::CountOpenHandles();
    EXPECT_LE(last, warm + 3) << "after " << WARM_UP << ": " << warm << ", after " << CYCLES << ": " << last;
    std::printf("[ figures ] open handles after %d cycles %lu, after %d cycles %lu; %llu ms per cycle\n", WARM_UP, warm,
                CYCLES, last, (::GetTickCount64() - start) / CYCLES);
}

TEST(Launch, OneSignatureCheckOfTheContainer) {
    const std::string path = [] {
        char module[MAX_PATH * 2] = {};
        ::GetModuleFileNameA(nullptr, module, sizeof module);
        std::string p(module);
        return p.substr(0, p.find_last_of('\\') + 1) + "QEBCoreContainer.exe";
    }();
    const std::wstring wide(path.begin(), path.end());
    ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(VerifyEmbeddedSignature(path.c_str()));
    const ULONGLONG first = ::GetTickCount64() - start;
    start = ::GetTickCount64();
    EXPECT_TRUE(VerifyVelantDigitalSignature(wide.c_str()));
    const ULONGLONG second = ::GetTickCount64() - start;
    std::printf("[ figures ] VerifyEmbeddedSignature %llu ms, VerifyVelantDigitalSignature %llu ms\n", first, second);
}

}  // namespace
