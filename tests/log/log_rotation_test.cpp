// Rotation: how many files are kept, how large each grows, and that the kept
// files hold the newest lines without a gap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_log.h"

namespace {

std::string SequenceMessage(int sequence) {
    char text[32];
    std::snprintf(text, sizeof text, "seq %05d ", sequence);
    return text + std::string(static_cast<size_t>(20 + sequence % 40), 'x');
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

    EXPECT_FALSE(qebtest::FileExists(log.File(rotation.backups + 1)));
    EXPECT_EQ(qebtest::ListFiles(log.directory(), L"*").size(), static_cast<size_t>(rotation.backups + 1));
    std::vector<int> sequences;
    for (int index = rotation.backups; index >= 0; --index) {
        const std::wstring path = log.File(index);
        EXPECT_TRUE(qebtest::FileExists(path)) << index;
        const std::string content = qebtest::ReadFileShared(path);
        EXPECT_LE(content.size(), rotation.maxBytes) << "file " << index;
        // A rotated file was closed only because the next line did not fit.
        if (index > 0) {
            EXPECT_GT(content.size() + longestRecord, rotation.maxBytes) << "file " << index;
        }
        for (const qebtest::LogRecord& record : qebtest::ReadLogRecords(path)) {
            int sequence = -1;
            std::sscanf(record.message.c_str(), "seq %d", &sequence);
            sequences.push_back(sequence);
        }
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
    const auto older = qebtest::ReadLogRecords(log.File(1));
    const auto current = log.Records();
    ASSERT_EQ(older.size(), 1u);
    EXPECT_EQ(older[0].message, "before");
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(current[0].message, huge);
}

TEST(LogRotationEdges, ReopeningAppendsAndCountsExistingBytesTowardTheLimit) {
    qebtest::TempDir dir(L"qeb_log_reopen");
    ShutdownQebLog();
    const std::string filler(3000, 'f');
    ASSERT_TRUE(initQebLogAt(dir.path().c_str(), 4096, 1));
    QEBLOGI("service", filler);
    ShutdownQebLog();
    ASSERT_TRUE(initQebLogAt(dir.path().c_str(), 4096, 1));
    QEBLOGI("service", "appended");  // fits beside the filler
    QEBLOGI("service", filler);      // does not: rotates
    ShutdownQebLog();

    const auto rotated = qebtest::Messages(qebtest::ReadLogRecords(dir.File(L"QEBCoreService.1.log")));
    EXPECT_EQ(rotated, (std::vector<std::string>{filler, "appended"}));
    EXPECT_EQ(qebtest::Messages(qebtest::ReadLogRecords(dir.File(L"QEBCoreService.log"))), std::vector<std::string>{filler});
}
