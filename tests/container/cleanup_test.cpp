// CleanContainerProcess against real processes: copies of the container
// running from another folder, and one whose name differs only in case.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "container_support.h"
#include "qeb_core_process.h"

namespace {

std::string KillLine(DWORD pid) {
    return "Killprocess Pid = " + std::to_string(pid) + "(QEBCoreProcess::KillContainerProcess)";
}

// Ends the started copies, before their folders go.
struct Processes : std::vector<qeb::UniqueHandle> {
    ~Processes() {
        for (qeb::UniqueHandle& process : *this) ::TerminateProcess(process.get(), 0);
        for (qeb::UniqueHandle& process : *this) ::WaitForSingleObject(process.get(), 5000);
    }
};

TEST(Cleanup, KillsEveryCopyByExactNameAndSparesAnotherCase) {
    qebtest::TempDir dirA(L"qeb_container_cleanA"), dirB(L"qeb_container_cleanB");
    const std::wstring exact = dirA.File(L"QEBCoreContainer.exe"), otherCase = dirB.File(L"qebcorecontainer.exe");
    const std::wstring source = qebtest::ExeDirectory() + L"QEBCoreContainer.exe";
    ASSERT_TRUE(::CopyFileW(source.c_str(), exact.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(source.c_str(), otherCase.c_str(), FALSE));
    // Leftovers of earlier programs would add lines of their own.
    QEBCoreProcess::GetInstance()->CleanContainerProcess();
    ::Sleep(200);

    Processes processes;
    std::vector<DWORD> pids;
    for (const std::wstring* exe : {&exact, &exact, &otherCase}) {
        DWORD pid = 0;
        processes.push_back(qebtest::StartProgram(*exe, L"0000000000000000", &pid));
        ASSERT_TRUE(processes.back()) << ::GetLastError();
        // Running for real, not just created.
        EXPECT_TRUE(qebtest::WaitForJournal(exe->substr(0, exe->find_last_of(L'\\')), pid, "cmdline", 10000));
        pids.push_back(pid);
    }

    qebtest::LogCursor cursor;
    QEBCoreProcess::GetInstance()->CleanContainerProcess();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(processes[0].get(), 5000));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(processes[1].get(), 5000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(processes[2].get(), 500));
    DWORD code = 1;
    ::GetExitCodeProcess(processes[0].get(), &code);
    EXPECT_EQ(0u, code) << "terminated with exit code 0";
    const std::vector<std::string> lines = qebtest::Lines(cursor.Since());
    EXPECT_EQ(2u, lines.size());
    for (const DWORD pid : {pids[0], pids[1]})
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "I service " + KillLine(pid)));

    // With no container left (only the other case runs) nothing is written.
    qebtest::LogCursor again;
    QEBCoreProcess::GetInstance()->CleanContainerProcess();
    EXPECT_TRUE(again.Since().empty());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(processes[2].get(), 0));
}

}  // namespace
