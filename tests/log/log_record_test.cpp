// The shape of a line: composition by qeb::ComposeLogLine, the stored record
// around it, and calls that must do no harm when the log cannot store.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "log_line.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_log.h"

TEST(LogLineComposition, TextValueAndFunctionNameJoinWithoutSeparators) {
    const std::pair<std::string, const char*> cases[] = {
        {qeb::ComposeLogLine("QEBCoreService.main start and begin.", "main"), "QEBCoreService.main start and begin.(main)"},
        {qeb::ComposeLogLine("WaitForSingleObject fail exitHandle = ", DWORD{0xFFFFFFFFu}, "ThreadEndHandle"),
         "WaitForSingleObject fail exitHandle = 4294967295(ThreadEndHandle)"},
        {qeb::ComposeLogLine("CancelSynchronousIo: ", uint32_t{1168}, "VelantThread::ThreadManager::WaitAll"),
         "CancelSynchronousIo: 1168(VelantThread::ThreadManager::WaitAll)"},
        {qeb::ComposeLogLine("code ", static_cast<unsigned long>(WAIT_TIMEOUT), "f"), "code 258(f)"},
        {qeb::ComposeLogLine("work status ", -1, "g"), "work status -1(g)"},
        {qeb::ComposeLogLine("v", INT_MIN, "h"), "v-2147483648(h)"},
        {qeb::ComposeLogLine("ExitThread failed! thread entry function: ", std::string("QEBCoreProcess::Pipe_Listen"), "W"),
         "ExitThread failed! thread entry function: QEBCoreProcess::Pipe_Listen(W)"},
        {qeb::ComposeLogLine("", 0u, "f"), "0(f)"},
        {qeb::ComposeLogLine("n", 1234567u, "f"), "n1234567(f)"},  // no digit grouping
    };
    for (const auto& [composed, expected] : cases) EXPECT_EQ(composed, expected);
}

TEST(LogRecordShape, StoredLineCarriesPrefixAndMessageByteForByte) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    SYSTEMTIME before{};
    ::GetSystemTime(&before);
    std::string everyByte;
    for (int c = 0x20; c <= 0xFF; ++c) everyByte.push_back(static_cast<char>(c));
    const std::vector<std::string> messages = {qeb::ComposeLogLine("SetServiceStatus fail error = ", 6u, "ServiceHandlerEx"),
                                               everyByte, "tab\tinside", "", std::string(100000, 'L')};
    for (const std::string& message : messages) QEBLOGE("container", message);
    qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, "VelantThread::ThreadManager::WaitAll",
                 "ExitThread failed! thread entry function: ", std::string("svcThreadFun"));
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "main", "QEBCoreService.main start and begin.");
    ShutdownQebLog();

    const std::vector<std::string> lines = qebtest::StoredLines(log.CurrentFile());
    ASSERT_EQ(lines.size(), messages.size() + 2);
    std::vector<qebtest::LogRecord> records(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_TRUE(qebtest::ParseLogRecord(lines[i], records[i])) << lines[i];
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(records[i].level, 'E');
        EXPECT_EQ(records[i].tag, "container");
        EXPECT_EQ(records[i].processId, ::GetCurrentProcessId());
        EXPECT_EQ(records[i].threadId, ::GetCurrentThreadId());
        EXPECT_EQ(records[i].message, messages[i]) << "message " << i;
    }
    EXPECT_EQ(records[5].level, 'W');
    EXPECT_EQ(records[5].message, "ExitThread failed! thread entry function: svcThreadFun(VelantThread::ThreadManager::WaitAll)");
    EXPECT_EQ(records[6].level, 'I');
    EXPECT_EQ(records[6].tag, "service");
    EXPECT_EQ(records[6].message, "QEBCoreService.main start and begin.(main)");
    // The timestamp is UTC now: same date and hour unless the test straddles
    // an hour boundary.
    char expectedHour[16];
    std::snprintf(expectedHour, sizeof expectedHour, "%04u-%02u-%02u %02u", before.wYear, before.wMonth, before.wDay,
                  before.wHour);
    if (before.wMinute != 59) {
        EXPECT_EQ(records[0].timestamp.substr(0, 13), expectedHour);
    }
}

TEST(LogRecordShape, LineBreaksInsideAMessageCannotForgeALine) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    QEBLOGW("container", "first\r\n2026-01-01 00:00:00.000Z 1 1 E container forged\nend\r");
    ShutdownQebLog();
    const std::vector<std::string> lines = qebtest::StoredLines(log.CurrentFile());
    ASSERT_EQ(lines.size(), 1u);
    qebtest::LogRecord record;
    ASSERT_TRUE(qebtest::ParseLogRecord(lines[0], record));
    EXPECT_EQ(record.message, "first  2026-01-01 00:00:00.000Z 1 1 E container forged end ");
}

TEST(LogHarmlessCalls, BeforeInitAndAfterShutdownNothingHappens) {
    ShutdownQebLog();
    ShutdownQebLog();  // closing twice is harmless
    QEBLOGI("service", "dropped");
    QEBLOGE("container", "dropped");
    FlushQebLogFile();
    qebtest::TempDir dir(L"qeb_log_closed");
    ASSERT_TRUE(initQebLogAt(dir.path().c_str(), 1 << 20, 1));
    QEBLOGI("service", "kept");
    ShutdownQebLog();
    QEBLOGI("service", "after shutdown");
    FlushQebLogFile();
    const auto records = qebtest::ReadLogRecords(dir.File(L"QEBCoreService.log"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "kept");
}

TEST(LogHarmlessCalls, FailedOpenLeavesLogInertAndReusable) {
    qebtest::TempDir dir(L"qeb_log_badopen");
    const std::wstring notADirectory = dir.File(L"plain_file");
    ASSERT_TRUE(qebtest::WriteTextFile(notADirectory, ""));
    ShutdownQebLog();
    for (const wchar_t* bad : {notADirectory.c_str(), static_cast<const wchar_t*>(nullptr), L""})
        EXPECT_FALSE(initQebLogAt(bad, 1 << 20, 1));
    EXPECT_FALSE(initQebLogAt(std::wstring(5000, L'a').c_str(), 1 << 20, 1));
    QEBLOGE("container", "nowhere to go");
    FlushQebLogFile();
    EXPECT_EQ(qebtest::ReadFileShared(notADirectory), "");
    // The failure leaves nothing behind that blocks a later open.
    const std::wstring good = dir.File(L"good");
    ASSERT_TRUE(initQebLogAt(good.c_str(), 1 << 20, 1));
    QEBLOGI("service", "stored");
    ShutdownQebLog();
    EXPECT_EQ(qebtest::ReadLogRecords(good + L"\\QEBCoreService.log").size(), 1u);
}

TEST(LogHarmlessCalls, SecondInitKeepsTheOpenFile) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    qebtest::TempDir other(L"qeb_log_other");
    EXPECT_FALSE(initQebLogAt(other.path().c_str(), 1 << 20, 1));
    initQebLog(1, 1);
    QEBLOGI("service", "still here");
    FlushQebLogFile();  // readable while still open
    EXPECT_EQ(log.Find('I', "still here").size(), 1u);
    EXPECT_FALSE(qebtest::FileExists(other.File(L"QEBCoreService.log")));
}
