// The shape of a line: composition by qeb::ComposeLogLine, the stored record
// around it, and calls that must do no harm when the log cannot store.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "log_line.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_support.h"

namespace {

struct ComposeCase {
    const char* name;
    std::string composed;
    const char* expected;
};

}  // namespace

TEST(LogLineComposition, TextValueAndFunctionNameJoinWithoutSeparators) {
    const DWORD maxError = 0xFFFFFFFFu;
    const uint32_t notFound = 1168;
    const unsigned long waitTimeout = WAIT_TIMEOUT;
    const int workStatus = -1;
    const int intMin = INT_MIN;
    const std::string funcName = "QEBCoreProcess::Pipe_Listen";
    const std::vector<ComposeCase> cases = {
        {"no value", qeb::ComposeLogLine("QEBCoreService.main start and begin.", "main"),
         "QEBCoreService.main start and begin.(main)"},
        {"unsigned max", qeb::ComposeLogLine("WaitForSingleObject fail exitHandle = ", maxError, "ThreadEndHandle"),
         "WaitForSingleObject fail exitHandle = 4294967295(ThreadEndHandle)"},
        {"uint32", qeb::ComposeLogLine("CancelSynchronousIo: ", notFound, "VelantThread::ThreadManager::WaitAll"),
         "CancelSynchronousIo: 1168(VelantThread::ThreadManager::WaitAll)"},
        {"unsigned long", qeb::ComposeLogLine("code ", waitTimeout, "f"), "code 258(f)"},
        {"signed negative", qeb::ComposeLogLine("work status ", workStatus, "g"), "work status -1(g)"},
        {"int min", qeb::ComposeLogLine("v", intMin, "h"), "v-2147483648(h)"},
        {"text value", qeb::ComposeLogLine("ExitThread failed! thread entry function: ", funcName, "W"),
         "ExitThread failed! thread entry function: QEBCoreProcess::Pipe_Listen(W)"},
        {"empty text", qeb::ComposeLogLine("", 0u, "f"), "0(f)"},
        {"large unsigned has no grouping", qeb::ComposeLogLine("n", 1234567u, "f"), "n1234567(f)"},
    };
    for (const ComposeCase& c : cases) EXPECT_EQ(c.composed, c.expected) << c.name;
}

TEST(LogRecordShape, StoredLineCarriesPrefixAndMessageByteForByte) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    std::string everyByte;
    for (int c = 0x20; c <= 0xFF; ++c) everyByte.push_back(static_cast<char>(c));
    const std::vector<std::string> messages = {
        qeb::ComposeLogLine("SetServiceStatus fail error = ", 6u, "ServiceHandlerEx"),
        everyByte,
        "tab\tinside",
        "",
        std::string(100000, 'L'),
    };
    for (const std::string& message : messages) QEBLOGE("container", message);
    qeb::LogLine(qeb::LogLevel::Warning, qeb::kTagContainer, "VelantThread::ThreadManager::WaitAll",
                 "ExitThread failed! thread entry function: ", std::string("svcThreadFun"));
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, "main", "QEBCoreService.main start and begin.");
    ShutdownQebLog();

    const std::vector<std::string> lines = qebtest::SplitLines(qebtest::ReadWholeFile(log.CurrentFile()));
    ASSERT_EQ(lines.size(), messages.size() + 2);
    for (size_t i = 0; i < messages.size(); ++i) {
        qebtest::LogRecord record;
        ASSERT_TRUE(qebtest::ParseLogRecord(lines[i], record)) << lines[i];
        EXPECT_EQ(record.level, 'E');
        EXPECT_EQ(record.tag, "container");
        EXPECT_EQ(record.processId, ::GetCurrentProcessId());
        EXPECT_EQ(record.threadId, ::GetCurrentThreadId());
        EXPECT_EQ(record.message, messages[i]) << "message " << i;
    }
    qebtest::LogRecord warning;
    ASSERT_TRUE(qebtest::ParseLogRecord(lines[messages.size()], warning));
    EXPECT_EQ(warning.level, 'W');
    EXPECT_EQ(warning.message, "ExitThread failed! thread entry function: svcThreadFun(VelantThread::ThreadManager::WaitAll)");
    qebtest::LogRecord info;
    ASSERT_TRUE(qebtest::ParseLogRecord(lines[messages.size() + 1], info));
    EXPECT_EQ(info.level, 'I');
    EXPECT_EQ(info.tag, "service");
    EXPECT_EQ(info.message, "QEBCoreService.main start and begin.(main)");
}

TEST(LogRecordShape, TimestampIsCurrentUtc) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    SYSTEMTIME before{};
    ::GetSystemTime(&before);
    QEBLOGI("service", "now");
    ShutdownQebLog();
    const std::vector<qebtest::LogRecord> records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    char expectedDate[16];
    std::snprintf(expectedDate, sizeof expectedDate, "%04u-%02u-%02u %02u", before.wYear, before.wMonth, before.wDay,
                  before.wHour);
    // Same UTC date and hour unless the test straddles an hour boundary.
    if (before.wMinute != 59) {
        EXPECT_EQ(records[0].timestamp.substr(0, 13), expectedDate);
    }
}

TEST(LogRecordShape, LineBreaksInsideAMessageCannotForgeALine) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    QEBLOGW("container", "first\r\n2026-01-01 00:00:00.000Z 1 1 E container forged\nend\r");
    ShutdownQebLog();
    const std::vector<std::string> lines = qebtest::SplitLines(qebtest::ReadWholeFile(log.CurrentFile()));
    ASSERT_EQ(lines.size(), 1u);
    qebtest::LogRecord record;
    ASSERT_TRUE(qebtest::ParseLogRecord(lines[0], record));
    EXPECT_EQ(record.message, "first  2026-01-01 00:00:00.000Z 1 1 E container forged end ");
}

TEST(LogHarmlessCalls, BeforeInitAndAfterShutdownNothingHappens) {
    ShutdownQebLog();
    ShutdownQebLog();  // closing twice is harmless
    QEBLOGI("service", "dropped");
    QEBLOGW("container", "dropped");
    QEBLOGE("container", "dropped");
    FlushQebLogFile();

    qebtest::TempDir dir(L"qeb_log_closed");
    ASSERT_TRUE(initQebLogAt(dir.path().c_str(), 1 << 20, 1));
    QEBLOGI("service", "kept");
    ShutdownQebLog();
    QEBLOGI("service", "after shutdown");
    FlushQebLogFile();
    const std::vector<std::string> lines = qebtest::SplitLines(qebtest::ReadWholeFile(dir.File(L"QEBCoreService.log")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("kept"), std::string::npos);
}

TEST(LogHarmlessCalls, FailedOpenLeavesLogInertAndReusable) {
    qebtest::TempDir dir(L"qeb_log_badopen");
    const std::wstring notADirectory = dir.File(L"plain_file");
    {
        const HANDLE file = ::CreateFileW(notADirectory.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ::CloseHandle(file);
    }
    ShutdownQebLog();
    EXPECT_FALSE(initQebLogAt(notADirectory.c_str(), 1 << 20, 1));
    EXPECT_FALSE(initQebLogAt(nullptr, 1 << 20, 1));
    EXPECT_FALSE(initQebLogAt(L"", 1 << 20, 1));
    EXPECT_FALSE(initQebLogAt(std::wstring(5000, L'a').c_str(), 1 << 20, 1));
    QEBLOGE("container", "nowhere to go");
    FlushQebLogFile();
    EXPECT_EQ(qebtest::ReadWholeFile(notADirectory), "");

    // The failure leaves nothing behind that blocks a later open.
    const std::wstring good = dir.File(L"good");
    ASSERT_TRUE(initQebLogAt(good.c_str(), 1 << 20, 1));
    QEBLOGI("service", "stored");
    ShutdownQebLog();
    EXPECT_EQ(qebtest::SplitLines(qebtest::ReadWholeFile(good + L"\\QEBCoreService.log")).size(), 1u);
}

TEST(LogHarmlessCalls, SecondInitKeepsTheOpenFile) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    qebtest::TempDir other(L"qeb_log_other");
    EXPECT_FALSE(initQebLogAt(other.path().c_str(), 1 << 20, 1));
    initQebLog(1, 1);
    QEBLOGI("service", "still here");
    ShutdownQebLog();
    EXPECT_EQ(log.Find('I', "still here").size(), 1u);
    EXPECT_FALSE(qebtest::FileExists(other.File(L"QEBCoreService.log")));
}

TEST(LogHarmlessCalls, LogIsReadableWhileOpenAndFlushKeepsIt) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    QEBLOGI("service", "visible while open");
    FlushQebLogFile();
    EXPECT_EQ(log.Find('I', "visible while open").size(), 1u);
}
