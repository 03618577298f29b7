// initQebLog places the file in "logs" beside the running executable. The
// probe runs from a copy in a private folder, so the shared bin\logs of
// other test programs is left alone.
#include <gtest/gtest.h>

#include "test_log.h"

TEST(LogLocation, InitQebLogWritesIntoLogsBesideTheExecutable) {
    qebtest::TempDir dir(L"qeb_log_probe");
    const std::wstring probe = dir.File(L"log_probe.exe");
    ASSERT_TRUE(::CopyFileW((qebtest::ExeDirectory() + L"log_probe.exe").c_str(), probe.c_str(), FALSE));
    for (const wchar_t* message : {L"probe_first", L"probe_second"}) {
        const qebtest::ChildResult child = qebtest::RunChild(probe, L"\"" + probe + L"\" " + message, 30000);
        ASSERT_TRUE(child.bEnded);
        EXPECT_EQ(child.exitCode, 0u);
    }
    // The second run appends to the first one's file.
    const auto lines = qebtest::StoredLines(dir.File(L"logs\\QEBCoreService.log"));
    ASSERT_EQ(lines.size(), 2u);
    qebtest::LogRecord first, second;
    ASSERT_TRUE(qebtest::ParseLogRecord(lines[0], first));
    ASSERT_TRUE(qebtest::ParseLogRecord(lines[1], second));
    EXPECT_EQ(first.message, "probe_first");
    EXPECT_EQ(second.message, "probe_second");
    EXPECT_NE(first.processId, second.processId);
}
