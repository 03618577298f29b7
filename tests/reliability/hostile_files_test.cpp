// The container's file under attack: missing, not a program, a folder in its
// place, swapped for an unsigned build while the container runs, an install
// folder with non-ASCII characters, and one so deep that the container's path
// reaches MAX_PATH. Each gives a clear line and the usual retry; an unchecked
// file is never started (the reference container writes a journal whenever
// it runs, signed or not).

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "reliability_fixture.h"
#include "file_text.h"
#include "process_list.h"
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
    void TearDown() override {
        qebtest::ReliabilityTest::TearDown();
        // The fixture removes only the folder the service was staged in.
        if (!HasFailure() && !m_root.empty()) qebtest::RemoveDirectoryTree(Extended(m_root));
    }

    // Moves the staging into new folders below the fixture's own, one per
    // component of `relative` (each ending in a backslash).
    bool StageBelow(const std::wstring& relative) {
        if (m_root.empty()) m_root = m_staging;
        for (size_t end = relative.find(L'\\'); end != std::wstring::npos; end = relative.find(L'\\', end + 1)) {
            if (!::CreateDirectoryW((m_staging + relative.substr(0, end)).c_str(), nullptr)) return false;
        }
        m_staging += relative;
        return true;
    }
    // The same path in the form that Windows takes beyond MAX_PATH.
    static std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

    std::wstring Container() const { return m_staging + L"QEBCoreContainer.exe"; }
    bool JournalExists() const {
        return ::GetFileAttributesW(Extended(m_staging + L"QEBCoreContainer.journal").c_str()) !=
               INVALID_FILE_ATTRIBUTES;
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

    std::wstring m_root;
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
    ASSERT_TRUE(StageBelow(L"caf\u00e9-\u00fcber\\"));
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
    ASSERT_TRUE(StageBelow(L"\u0416\u4e2d\\"));
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
        EXPECT_FALSE(JournalExists());
    }
    EXPECT_NE(qebtest::ServiceProcessId(), 0u);
    EXPECT_LT(StopAndWait(10000), 2000u);
}

// The container's path against MAX_PATH (260): 259 characters is the longest
// that Windows opens and starts without long-path support; at 260 the
// terminator no longer fits; at 261 the service's own path has 259, the
// longest the manager starts.
struct DeepFolderRow {
    size_t containerPathChars;
    bool bLaunched;
};

void PrintTo(const DeepFolderRow& row, std::ostream* os) { *os << row.containerPathChars << " characters"; }

class DeepInstallFolder : public HostileFiles, public ::testing::WithParamInterface<DeepFolderRow> {
protected:
    // Folders of at most 100 characters, `chars` in all with their
    // backslashes; at least 2.
    static std::wstring Folders(size_t chars) {
        std::wstring folders;
        while (chars > 0) {
            size_t take = chars > 101 ? 101 : chars;
            if (chars > 101 && chars - take < 2) take = chars - 2;
            folders.append(take - 1, L'd');
            folders += L'\\';
            chars -= take;
        }
        return folders;
    }
    // Whether this system takes a plain path of that many characters; the
    // service, like this program, has no long-path opt-in.
    bool PlainPathOfLengthWorks(size_t chars) const {
        const std::wstring name = L"probe";
        if (m_staging.size() + name.size() >= chars) return true;
        const std::wstring path = m_staging + name + std::wstring(chars - m_staging.size() - name.size(), L'p');
        const HANDLE file =
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        ::CloseHandle(file);
        return true;
    }
};

TEST_P(DeepInstallFolder, ContainerIsStartedOnlyFromAPathBelowMaxPath) {
    const DeepFolderRow row = GetParam();
    const std::wstring name = L"QEBCoreContainer.exe";
    ASSERT_GT(row.containerPathChars, m_staging.size() + name.size() + 1);
    ASSERT_TRUE(StageBelow(Folders(row.containerPathChars - name.size() - m_staging.size())));
    ASSERT_EQ(Container().size(), row.containerPathChars);
    const std::wstring service = m_staging + L"QEBCoreService.exe";
    ASSERT_LT(service.size(), static_cast<size_t>(MAX_PATH)) << "the manager could not start the service";

    const std::wstring bin = qebtest::ExeDirectory();
    ASSERT_TRUE(::CopyFileW((bin + L"QEBCoreService.exe").c_str(), service.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW((bin + name).c_str(), Extended(Container()).c_str(), FALSE));
    // The log lies deeper than the container: where the system refuses plain
    // paths that long, the service has no log and its lines are lost.
    const std::wstring log = m_staging + L"logs\\QEBCoreService.log";
    const bool bLogWritable = PlainPathOfLengthWorks(log.size());
    std::printf("[ note ] container path %zu, log path %zu characters: log %s\n", Container().size(), log.size(),
                bLogWritable ? "writable" : "beyond reach");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD servicePid = qebtest::ServiceProcessId();
    EXPECT_NE(servicePid, 0u);

    if (row.bLaunched) {
        ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges() << DumpLog(Logs());
        if (bLogWritable) {
            ASSERT_TRUE(WaitForLog("ContainerProcess exe verify success(QEBCoreProcess::CreateContainerProcess)", 1,
                                   5000))
                << DumpLog(Logs());
        }
    } else {
        // Three attempts: at start and after two pauses of 2 s.
        if (bLogWritable) {
            ASSERT_TRUE(WaitForLog(kRestartFailed, 2, 20000)) << DumpLog(Logs());
            const auto logs = Logs();
            const std::string tooLong = "ContainerProcess exe path too long. exepath = " +
                                        qebtest::Narrow(Container()) + "(QEBCoreProcess::CreateContainerProcess)";
            EXPECT_GE(CountLogEntries(logs, tooLong), 3u) << DumpLog(logs);
            EXPECT_EQ(CountLogEntries(logs, "ContainerProcess exe verify success", true), 0u) << DumpLog(logs);
            EXPECT_EQ(CountLogEntries(logs, "create process fail ", true), 0u) << DumpLog(logs);
        } else {
            ::Sleep(5000);
        }
        EXPECT_FALSE(JournalExists()) << "a container was started from the deep folder";
        EXPECT_TRUE(qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty()) << "a container was started";
        SERVICE_STATUS_PROCESS status = {};
        ASSERT_EQ(qeb::scm::QueryStatus(&status), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING)) << DescribeChanges();
    }
    EXPECT_LT(StopAndWait(10000), 2000u) << DescribeChanges();
    EXPECT_TRUE(qebtest::WaitProcessEnd(servicePid, 5000)) << "the service process outlived its stop";
}

INSTANTIATE_TEST_SUITE_P(HostileFiles, DeepInstallFolder,
                         ::testing::Values(DeepFolderRow{259, true}, DeepFolderRow{260, false},
                                           DeepFolderRow{261, false}),
                         [](const ::testing::TestParamInfo<DeepFolderRow>& info) {
                             return "ContainerPath" + std::to_string(info.param.containerPathChars);
                         });

}  // namespace
