// CleanContainerProcess against real processes: copies of the container
// running from other folders, and one whose name differs only in case.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qeb_core_process.h"
#include "test_log.h"
#include "test_support.h"
#include "unique_handle.h"

namespace {

std::string KillLine(DWORD pid) {
    return "Killprocess Pid = " + std::to_string(pid) + "(QEBCoreProcess::KillContainerProcess)";
}

class Cleanup : public ::testing::Test {
protected:
    void SetUp() override {
        m_dirA = qebtest::MakeTempDir(L"cleanA");
        m_dirB = qebtest::MakeTempDir(L"cleanB");
        const std::wstring source = qebtest::ExeDirW() + L"QEBCoreContainer.exe";
        ASSERT_TRUE(::CopyFileW(source.c_str(), (m_dirA + L"\\QEBCoreContainer.exe").c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(source.c_str(), (m_dirB + L"\\qebcorecontainer.exe").c_str(), FALSE));
        // Leftovers of earlier programs would add lines of their own.
        QEBCoreProcess::GetInstance()->CleanContainerProcess();
        ::Sleep(200);
    }
    void TearDown() override {
        for (qeb::UniqueHandle& process : m_processes) ::TerminateProcess(process.get(), 0);
        for (qeb::UniqueHandle& process : m_processes) ::WaitForSingleObject(process.get(), 5000);
        m_processes.clear();
        qebtest::RemoveTree(m_dirA);
        qebtest::RemoveTree(m_dirB);
    }

    DWORD Start(const std::wstring& exe) {
        DWORD pid = 0;
        m_processes.emplace_back(qebtest::StartProgram(exe, L"0000000000000000", &pid));
        EXPECT_TRUE(m_processes.back()) << ::GetLastError();
        // Running for real, not just created.
        EXPECT_TRUE(qebtest::WaitForJournal(exe.substr(0, exe.find_last_of(L'\\')), pid, "cmdline", 10000));
        return pid;
    }

    std::wstring m_dirA, m_dirB;
    std::vector<qeb::UniqueHandle> m_processes;
};

TEST_F(Cleanup, KillsEveryCopyByExactNameAndSparesAnotherCase) {
    const DWORD first = Start(m_dirA + L"\\QEBCoreContainer.exe");
    const DWORD second = Start(m_dirA + L"\\QEBCoreContainer.exe");
    const DWORD otherCase = Start(m_dirB + L"\\qebcorecontainer.exe");

    qebtest::LogCursor cursor;
    QEBCoreProcess::GetInstance()->CleanContainerProcess();

    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_processes[0].get(), 5000));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_processes[1].get(), 5000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(m_processes[2].get(), 500));
    DWORD code = 1;
    ::GetExitCodeProcess(m_processes[0].get(), &code);
    EXPECT_EQ(0u, code) << "terminated with exit code 0";

    const std::vector<qebtest::LogRecord> records = cursor.Since();
    std::vector<std::string> lines;
    for (const qebtest::LogRecord& r : records) {
        lines.push_back(r.message);
        EXPECT_EQ('I', r.level);
        EXPECT_EQ("service", r.tag);
    }
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), KillLine(first)));
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), KillLine(second)));
    EXPECT_EQ(0, std::count(lines.begin(), lines.end(), KillLine(otherCase)));
    EXPECT_EQ(2u, lines.size());
}

TEST_F(Cleanup, WithNoContainerRunningNothingIsWritten) {
    const DWORD otherCase = Start(m_dirB + L"\\qebcorecontainer.exe");
    (void)otherCase;
    qebtest::LogCursor cursor;
    QEBCoreProcess::GetInstance()->CleanContainerProcess();
    EXPECT_TRUE(cursor.Since().empty());
}

}  // namespace
