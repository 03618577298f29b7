// A real crash with the crash filter installed. The child is a copy of this
// program started with CRASH_FLAG, in a folder of its own, so that its "logs"
// folder holds only its own dump and log.
#include <windows.h>
#include <gtest/gtest.h>
#include <process.h>

#include "qebcore_dbg.h"
#include "qebcore_log.h"
#include "test_kit.h"

namespace {

constexpr wchar_t CRASH_FLAG[] = L"--qeb-crash-child";

// Runs before main, so that the child crashes without going through the tests.
const bool s_bCrashChild = [] {
    if (std::wcsstr(::GetCommandLineW(), CRASH_FLAG) == nullptr) return false;
    initQebLog(1, 1);
    DbgSdkInit();
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    return true;
}();

}  // namespace

TEST(CrashDump, CrashLeavesADumpAndALogLine) {
    kit::TempDir dir(L"qeb_crash");
    const std::filesystem::path exe = dir.path / L"QEBCrashProbe.exe";
    ASSERT_TRUE(::CopyFileW((kit::ExeDir() + L"unit_tests.exe").c_str(), exe.c_str(), FALSE));
    const intptr_t exitCode = _wspawnl(_P_WAIT, exe.c_str(), exe.c_str(), CRASH_FLAG, nullptr);
    EXPECT_EQ(0xC0000005u, static_cast<DWORD>(exitCode)) << "the process still ends as the crash it was";

    std::vector<std::filesystem::path> dumps;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path / L"logs"))
        if (entry.path().extension() == L".dmp") dumps.push_back(entry.path());
    ASSERT_EQ(1u, dumps.size());
    EXPECT_EQ("MDMP", kit::ReadAll(dumps[0]).substr(0, 4));
    const std::string log = kit::ReadAll(dir.path / L"logs" / L"QEBCoreService.log");
    EXPECT_NE(std::string::npos, log.find("E container Unhandled exception 3221225477, crash dump: " +
                                          dumps[0].string() + "(DbgSdkCrashFilter)"))
        << log;
}
