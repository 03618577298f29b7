// The container's file under attack: missing, not a program, a folder in its
// place, swapped for an unsigned build while the container runs, and an
// install folder with non-ASCII characters. Each gives a clear line and the
// usual retry; an unchecked file is never started (the reference container
// writes a journal whenever it runs, signed or not).

#include <gtest/gtest.h>

#include <string>

#include "reliability_fixture.h"
#include "file_text.h"
#include "scm_client.h"
#include "service_probe.h"

namespace {

using qebtest::CountLogEntries;
using qebtest::DumpLog;

constexpr char kRestartFailed[] = "Restart ContainerProcessr fail(svcThreadFun)";
constexpr char kRestarted[] = "Restart ContainerProcess success(svcThreadFun)";
constexpr char kVerifyFailed[] = "ContainerProcess exe verify failed. ";

class HostileFiles : public qebtest::ReliabilityTest {
protected:
    std::wstring Container() const { return m_staging + L"QEBCoreContainer.exe"; }
    bool JournalExists() const {
        return ::GetFileAttributesW((m_staging + L"QEBCoreContainer.journal").c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    // Two failed attempts, the service still there, nothing launched.
    void ExpectRefusedTwice() {
        ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_TRUE(WaitForLog(kRestartFailed, 2, 20000)) << DumpLog(Logs());
        const auto logs = Logs();
        EXPECT_GE(CountLogEntries(logs, kVerifyFailed, true), 3u) << DumpLog(logs);
        EXPECT_EQ(CountLogEntries(logs, "create process fail ", true), 0u) << DumpLog(logs);
        EXPECT_FALSE(JournalExists()) << "an unchecked file was started";
        const DWORD servicePid = qebtest::ServiceProcessId();
        EXPECT_NE(servicePid, 0u);
        EXPECT_LT(StopAndWait(10000), 2000u);
        EXPECT_TRUE(qebtest::WaitProcessEnd(servicePid, 5000)) << "the service process outlived its stop";
    }
};

TEST_F(HostileFiles, MissingContainerIsLaunchedAtTheRetryAfterItAppears) {
    Stage(false, "ready_after_ms 0\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(WaitForLog(kRestartFailed, 1, 15000)) << DumpLog(Logs());
    auto logs = Logs();
    EXPECT_GE(CountLogEntries(logs, "ContainerProcess exe open failed. error = 2(QEBCoreProcess::CreateContainerProcess)"),
              1u)
        << DumpLog(logs);
    ASSERT_TRUE(::CopyFileW((qebtest::ExeDirectory() + L"QEBCoreContainer.exe").c_str(), Container().c_str(), FALSE));
    ASSERT_TRUE(WaitForLog(kRestarted, 1, 10000)) << DumpLog(Logs());
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 5000)) << DescribeChanges();
    EXPECT_LT(StopAndWait(10000), 2000u);
}

TEST_F(HostileFiles, FileThatIsNotAProgramIsRefusedAndRetried) {
    Stage(false, "");
    ASSERT_TRUE(qebtest::WriteTextFile(Container(), std::string(4096, '\x90')));
    Install();
    ExpectRefusedTwice();
}

TEST_F(HostileFiles, FolderNamedLikeTheContainerIsRefusedAndRetried) {
    Stage(false, "");
    ASSERT_TRUE(::CreateDirectoryW(Container().c_str(), nullptr));
    Install();
    ExpectRefusedTwice();
}

TEST_F(HostileFiles, UnsignedBuildOfTheContainerIsNeverStarted) {
    Stage(false, "");
    ASSERT_TRUE(::CopyFileW((qebtest::ExeDirectory() + L"QEBCoreContainerUnsigned.exe").c_str(), Container().c_str(),
                            FALSE));
    Install();
    ExpectRefusedTwice();
}

TEST_F(HostileFiles, ContainerSwappedWhileRunningIsNotStartedAgain) {
    Stage(true, "ready_after_ms 0\nexit_after_ms 1500 code 2\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges();
    // The running image may be renamed, not written: move it aside and put
    // the unsigned build in its place before the container ends.
    ASSERT_TRUE(::MoveFileW(Container().c_str(), (m_staging + L"QEBCoreContainer.old").c_str()));
    ASSERT_TRUE(::CopyFileW((qebtest::ExeDirectory() + L"QEBCoreContainerUnsigned.exe").c_str(), Container().c_str(),
                            FALSE));
    ASSERT_TRUE(WaitForLog(kRestartFailed, 1, 15000)) << DumpLog(Logs());
    const auto logs = Logs();
    EXPECT_EQ(CountLogEntries(logs, kRestarted), 0u) << DumpLog(logs);
    EXPECT_EQ(qebtest::JournalProcesses(Journal()).size(), 1u) << "the swapped file was started";
    EXPECT_LT(StopAndWait(10000), 2000u);
}

TEST_F(HostileFiles, InstallFolderWithNonAsciiCharactersWorks) {
    // Characters of the ANSI code page: the narrow path carries them.
    m_staging += L"caf\u00e9-\u00fcber\\";
    ASSERT_TRUE(::CreateDirectoryW(m_staging.c_str(), nullptr));
    Stage(true, "ready_after_ms 0\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges();
    ASSERT_TRUE(WaitForLog("get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)", 1, 5000))
        << DumpLog(Logs());
    EXPECT_EQ(qebtest::JournalProcesses(Journal()).size(), 1u);
    EXPECT_LT(StopAndWait(10000), 2000u);
}

TEST_F(HostileFiles, InstallFolderOutsideTheAnsiCodePageGivesAClearLineAndNoCrash) {
    // Cyrillic and CJK have no place in the Western ANSI code page: the
    // narrow path cannot name the file. A clear line and the retry, or, on
    // a system whose code page has them, a normal start.
    m_staging += L"\u0416\u4e2d\\";
    ASSERT_TRUE(::CreateDirectoryW(m_staging.c_str(), nullptr));
    Stage(true, "ready_after_ms 0\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    const bool bRunning = WaitForLog("svcThreadFun start.(svcThreadFun)", 1, 15000);
    ASSERT_TRUE(bRunning) << DumpLog(Logs());
    const auto logs = Logs();
    const bool bLaunched = CountLogEntries(logs, "ContainerProcess exe verify success", true) > 0;
    std::printf("[ note ] non-ANSI install folder: container %s\n", bLaunched ? "launched" : "refused");
    if (!bLaunched) {
        EXPECT_GE(CountLogEntries(logs, kVerifyFailed, true), 1u) << DumpLog(logs);
        EXPECT_FALSE(::GetFileAttributesW((m_staging + L"QEBCoreContainer.journal").c_str()) !=
                     INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_NE(qebtest::ServiceProcessId(), 0u);
    EXPECT_LT(StopAndWait(10000), 2000u);
}

}  // namespace
