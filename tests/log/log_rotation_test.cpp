// Rotation: how many files are kept, how large each grows, and that the kept
// files hold the newest lines without a gap.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_support.h"

namespace {

std::wstring LogFileName(int index) {
    return index == 0 ? L"QEBCoreService.log" : L"QEBCoreService." + std::to_wstring(index) + L".log";
}

std::string SequenceMessage(int sequence) {
    char text[32];
    std::snprintf(text, sizeof text, "seq %05d ", sequence);
    return text + std::string(static_cast<size_t>(20 + sequence % 40), 'x');
}

int SequenceOf(const std::string& line) {
    qebtest::LogRecord record;
    if (!qebtest::ParseLogRecord(line, record)) return -1;
    int sequence = -1;
    return std::sscanf(record.message.c_str(), "seq %d", &sequence) == 1 ? sequence : -1;
}

struct RotationCase {
    unsigned long long maxBytes;
    int backups;
    int lines;
};

class LogRotation : public ::testing::TestWithParam<RotationCase> {};

}  // namespace

TEST_P(LogRotation, KeepsStatedFilesEachWithinLimitAndNewestLinesContiguous) {
    const RotationCase rotation = GetParam();
    qebtest::LogCapture log(rotation.maxBytes, rotation.backups);
    ASSERT_TRUE(log.opened());
    size_t longestRecord = 0;
    for (int sequence = 0; sequence < rotation.lines; ++sequence) {
        QEBLOGI("service", SequenceMessage(sequence));
        longestRecord = std::max(longestRecord, SequenceMessage(sequence).size() + 80);
    }
    ShutdownQebLog();

    for (int index = 1; index <= rotation.backups; ++index)
        EXPECT_TRUE(qebtest::FileExists(log.directory() + L"\\" + LogFileName(index))) << index;
    EXPECT_FALSE(qebtest::FileExists(log.directory() + L"\\" + LogFileName(rotation.backups + 1)));
    EXPECT_EQ(qebtest::ListFiles(log.directory(), L"*").size(), static_cast<size_t>(rotation.backups + 1));

    std::vector<int> sequences;
    for (int index = rotation.backups; index >= 0; --index) {
        const std::string content = qebtest::ReadWholeFile(log.directory() + L"\\" + LogFileName(index));
        EXPECT_LE(content.size(), rotation.maxBytes) << "file " << index;
        // A rotated file was closed only because the next line did not fit.
        if (index > 0) {
            EXPECT_GT(content.size() + longestRecord, rotation.maxBytes) << "file " << index;
        }
        for (const std::string& line : qebtest::SplitLines(content)) sequences.push_back(SequenceOf(line));
    }
    ASSERT_FALSE(sequences.empty());
    EXPECT_EQ(sequences.back(), rotation.lines - 1);
    for (size_t i = 1; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], sequences[i - 1] + 1) << "gap at " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, LogRotation,
                         ::testing::Values(RotationCase{4096, 3, 400}, RotationCase{4096, 0, 400},
                                           RotationCase{1000, 1, 100}, RotationCase{2048, 12, 1000}));

TEST(LogRotationEdges, LineLongerThanLimitIsStoredWholeInAFreshFile) {
    qebtest::LogCapture log(4096, 2);
    ASSERT_TRUE(log.opened());
    QEBLOGI("service", "before");
    const std::string huge(10000, 'h');
    QEBLOGI("service", huge);
    ShutdownQebLog();

    const std::vector<std::string> older = qebtest::SplitLines(qebtest::ReadWholeFile(log.directory() + L"\\" + LogFileName(1)));
    const std::vector<qebtest::LogRecord> current = log.Records();
    ASSERT_EQ(older.size(), 1u);
    EXPECT_NE(older[0].find("before"), std::string::npos);
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(current[0].message, huge);
}

TEST(LogRotationEdges, ReopeningAppendsAndCountsExistingBytesTowardTheLimit) {
    qebtest::TempDir dir(L"qeb_log_reopen");
    ShutdownQebLog();
    ASSERT_TRUE(initQebLogAt(dir.path().c_str(), 4096, 1));
    const std::string filler(3000, 'f');
    QEBLOGI("service", filler);
    ShutdownQebLog();

    ASSERT_TRUE(initQebLogAt(dir.path().c_str(), 4096, 1));
    QEBLOGI("service", "appended");  // fits beside the filler
    QEBLOGI("service", filler);      // does not: rotates
    ShutdownQebLog();

    const std::vector<std::string> rotated = qebtest::SplitLines(qebtest::ReadWholeFile(dir.File(L"QEBCoreService.1.log")));
    ASSERT_EQ(rotated.size(), 2u);
    EXPECT_NE(rotated[0].find(filler), std::string::npos);
    EXPECT_NE(rotated[1].find("appended"), std::string::npos);
    const std::vector<std::string> current = qebtest::SplitLines(qebtest::ReadWholeFile(dir.File(L"QEBCoreService.log")));
    ASSERT_EQ(current.size(), 1u);
    EXPECT_NE(current[0].find(filler), std::string::npos);
}
