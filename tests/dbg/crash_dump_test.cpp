// The crash filter in a real crashing child: the process still ends as a
// crash, a minidump lies in "logs" beside its executable, and the log names
// it.
#include <gtest/gtest.h>

#include <cstdio>

#include "qebcore_dbg.h"
#include "test_log.h"

namespace {

struct CrashRun {
    qebtest::ChildResult child;
    std::vector<std::wstring> dumps;
    std::vector<qebtest::LogRecord> records;
};

// The helper runs from a copy in a private folder, so that its dump lands in
// that folder's "logs" and not in the one shared by the test programs.
void RunCrashHelper(const qebtest::TempDir& dir, const wchar_t* mode, CrashRun& run) {
    const std::wstring helper = dir.File(L"QEBCrashProbe.exe");
    ASSERT_TRUE(::CopyFileW((qebtest::ExeDirectory() + L"dbg_crash_helper.exe").c_str(), helper.c_str(), FALSE));
    const std::wstring trace = dir.File(L"trace");
    run.child = qebtest::RunChild(helper, L"\"" + helper + L"\" " + mode + L" \"" + trace + L"\"", 60000);
    ASSERT_TRUE(run.child.bEnded);
    run.dumps = qebtest::ListFiles(dir.File(L"logs"), L"*.dmp");
    run.records = qebtest::ReadLogRecords(trace + L"\\QEBCoreService.log");
}

// The filter in place now, put back as it was.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(current);
    return current;
}

bool IsDumpName(const std::wstring& name, DWORD processId) {
    const std::wstring prefix = L"QEBCrashProbe_" + std::to_wstring(processId) + L"_";
    // yyyymmddThhmmssZ.dmp
    if (name.size() != prefix.size() + 20 || name.compare(0, prefix.size(), prefix) != 0) return false;
    const std::wstring stamp = name.substr(prefix.size());
    for (size_t i = 0; i < 16; ++i) {
        const wchar_t c = stamp[i];
        if (i == 8 ? c != L'T' : i == 15 ? c != L'Z' : (c < L'0' || c > L'9')) return false;
    }
    return stamp.substr(16) == L".dmp";
}

}  // namespace

TEST(CrashDump, CrashWritesMinidumpAndNamesItInTheLog) {
    qebtest::TempDir dir(L"qeb_dbg_crash");
    CrashRun run;
    RunCrashHelper(dir, L"crash", run);
    std::printf("[ figure ] crashing child exit code 0x%08lX\n", run.child.exitCode);
    EXPECT_NE(run.child.exitCode, 0u);

    ASSERT_EQ(run.dumps.size(), 1u);
    const std::wstring& name = run.dumps[0];
    EXPECT_TRUE(IsDumpName(name, run.child.processId)) << qebtest::Narrow(name);
    const std::wstring dumpPath = dir.File(L"logs") + L"\\" + name;
    const std::string dump = qebtest::ReadFileShared(dumpPath);
    ASSERT_GT(dump.size(), 32u);
    EXPECT_EQ(dump.substr(0, 4), "MDMP");

    ASSERT_EQ(run.records.size(), 2u);
    EXPECT_EQ(run.records[0].message, "crash helper about to fault");
    const qebtest::LogRecord& crash = run.records[1];
    EXPECT_EQ(crash.level, 'E');
    EXPECT_EQ(crash.tag, "container");
    EXPECT_EQ(crash.processId, run.child.processId);
    // 0xC0000005, the access violation, then the dump's full path.
    EXPECT_EQ(crash.message.rfind("Unhandled exception 3221225477, crash dump: ", 0), 0u) << crash.message;
    EXPECT_NE(crash.message.find(qebtest::ToAnsi(dumpPath).value_or("?") + "(DbgSdkCrashFilter)"), std::string::npos)
        << crash.message;
}

TEST(CrashDump, UninstalledFilterWritesNothing) {
    qebtest::TempDir dir(L"qeb_dbg_uninst");
    CrashRun run;
    RunCrashHelper(dir, L"uninstalled", run);
    EXPECT_NE(run.child.exitCode, 0u);
    EXPECT_TRUE(run.dumps.empty());
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0].level, 'I');
}

TEST(CrashDump, InitAndUnInitAreIdempotentAndRestoreThePreviousFilter) {
    const LPTOP_LEVEL_EXCEPTION_FILTER original = CurrentFilter();
    DbgSdkInit();
    DbgSdkInit();
    const LPTOP_LEVEL_EXCEPTION_FILTER installed = CurrentFilter();
    EXPECT_NE(installed, original);
    DbgSdkUnInit();
    DbgSdkUnInit();
    // A second Init that chained onto the first would leave the first
    // filter behind here.
    EXPECT_EQ(CurrentFilter(), original);
    DbgSdkInit();  // installable again after removal
    EXPECT_EQ(CurrentFilter(), installed);
    DbgSdkUnInit();
}
