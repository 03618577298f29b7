// CreateContainerProcess with the signed reference container that lies beside
// this program: the launch contract as the container sees it, its messages,
// a launch while one is held, and handles over many restarts.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "container_support.h"
#include "qeb_core_process.h"

namespace {

const char LAUNCH_FUNC[] = "QEBCoreProcess::CreateContainerProcess";

QEBCoreProcess& Process() { return *QEBCoreProcess::GetInstance(); }

std::wstring BinDir() {
    std::wstring dir = qebtest::ExeDirectory();
    dir.pop_back();
    return dir;
}

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

std::array<HANDLE, 4> PipeFields() {
    return {Process().m_hStdInWrite, Process().m_hStdInRead, Process().m_hStdOutWrite, Process().m_hStdOutRead};
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
              qebtest::Lines(cursor.Since(), LAUNCH_FUNC));

    // Its readiness comes back through the listener.
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    const DWORD pid = ::GetProcessId(launched);
    ASSERT_TRUE(qebtest::WaitForJournal(BinDir(), pid, "ready-sent", 10000));
    const std::vector<qebtest::JournalEntry> journal = qebtest::LatestJournal(BinDir(), pid);
    const std::string commandLine = qebtest::JournalText(journal, "cmdline");
    EXPECT_EQ(16u, commandLine.size()) << commandLine;
    EXPECT_EQ(std::string::npos, commandLine.find_first_not_of("0123456789ABCDEF")) << commandLine;
    EXPECT_EQ("valid pid=" + std::to_string(::GetCurrentProcessId()), qebtest::JournalText(journal, "parent-handle"));
    EXPECT_EQ("pipe", qebtest::JournalText(journal, "stdin-type"));
    EXPECT_EQ("pipe", qebtest::JournalText(journal, "stdout-type"));
    EXPECT_EQ("none", qebtest::JournalText(journal, "console-window"));
    std::printf("[ figures ] launch %llu ms; container stderr %s (%s)\n", launchMs,
                qebtest::JournalText(journal, "stderr").c_str(), qebtest::JournalText(journal, "stderr-type").c_str());
}

TEST(Launch, WhileAContainerIsHeldOnlyItsLineIsWritten) {
    ContainerGuard guard;
    ASSERT_NE(nullptr, Process().CreateContainerProcess());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    const HANDLE held = g_hContainerHandle;
    const std::array<HANDLE, 4> fields = PipeFields();

    qebtest::LogCursor cursor;
    EXPECT_EQ(held, Process().CreateContainerProcess());
    EXPECT_EQ(held, g_hContainerHandle);
    // Only this line, from any function.
    EXPECT_EQ(std::vector<std::string>{"I service container is already exists.(" + std::string(LAUNCH_FUNC) + ")"},
              qebtest::Lines(cursor.Since()));
    EXPECT_TRUE(qebtest::IsSignalled(qebtest::ReadyEvent())) << "ready event left alone";
    EXPECT_EQ(fields, PipeFields()) << "pipes left alone";
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(held, 0)) << "container left alone";
}

TEST(Launch, ScenarioStepsReachTheServiceInOrder) {
    ContainerGuard guard;
    qebtest::ScenarioFile scenario(BinDir(), "ready_after_ms 300\nsend NotifyWorkStatus2\nexit_after_ms 600 code 7\n");
    qebtest::LogCursor cursor;
    ASSERT_NE(nullptr, Process().CreateContainerProcess());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(qebtest::ReadyEvent(), 100));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(qebtest::ReadyEvent(), 10000));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_hContainerHandle, 10000));
    DWORD code = 0;
    ::GetExitCodeProcess(g_hContainerHandle, &code);
    EXPECT_EQ(7u, code);
    const std::string notify = "get container notify workStatus = ";
    EXPECT_TRUE(cursor.WaitFor(notify + "2(QEBCoreProcess::Pipe_Listen)", 5000));
    std::vector<std::string> listened = qebtest::Messages(cursor.Since(), "QEBCoreProcess::Pipe_Listen");
    // The notifications only (a first launch also starts the listener).
    listened.erase(std::remove_if(listened.begin(), listened.end(),
                                  [&](const std::string& m) { return m.rfind(notify, 0) != 0; }),
                   listened.end());
    EXPECT_EQ((std::vector<std::string>{notify + "1(QEBCoreProcess::Pipe_Listen)", notify + "2(QEBCoreProcess::Pipe_Listen)"}),
              listened);
}

TEST(Launch, HandleCountStaysFlatOverManyLaunchAndExitCycles) {
    qebtest::ScenarioFile scenario(BinDir(), "ready never\nno_read\nexit_after_ms 0 code 0\n");
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

}  // namespace
