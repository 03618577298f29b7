// Many threads logging at once: every line stored once, whole, in order per
// thread, also while the file rotates underneath them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_log.h"

namespace {

constexpr int WRITERS = 8;
constexpr int LINES_PER_WRITER = 2000;

// Lengths vary so that lines of different threads would show if they were
// cut into each other.
std::string Payload(int writer, int index) {
    return "writer " + std::to_string(writer) + " line " + std::to_string(index) + " " +
           std::string(static_cast<size_t>(10 + (index * 7 + writer * 13) % 150), static_cast<char>('a' + writer));
}

double RunWriters() {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int writer = 0; writer < WRITERS; ++writer) {
        writers.emplace_back([writer] {
            for (int index = 0; index < LINES_PER_WRITER; ++index) QEBLOGW("container", Payload(writer, index));
        });
    }
    for (std::thread& writer : writers) writer.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every line whole and once, each writer's in order and from one thread;
// gives how many distinct threads wrote.
size_t ExpectEveryLineOnceInOrder(const std::vector<std::string>& lines) {
    std::map<int, int> nextIndex;
    std::map<int, unsigned long> threadByWriter;
    for (const std::string& line : lines) {
        qebtest::LogRecord record;
        EXPECT_TRUE(qebtest::ParseLogRecord(line, record)) << "malformed line: " << line;
        EXPECT_EQ(record.processId, ::GetCurrentProcessId());
        EXPECT_EQ(record.level, 'W');
        EXPECT_EQ(record.tag, "container");
        int writer = -1, index = -1;
        if (std::sscanf(record.message.c_str(), "writer %d line %d", &writer, &index) != 2) {
            ADD_FAILURE() << line;
            continue;
        }
        EXPECT_EQ(record.message, Payload(writer, index)) << "torn line: " << line;
        EXPECT_EQ(nextIndex[writer]++, index) << "writer " << writer;
        EXPECT_EQ(threadByWriter.emplace(writer, record.threadId).first->second, record.threadId);
    }
    EXPECT_EQ(lines.size(), static_cast<size_t>(WRITERS * LINES_PER_WRITER));
    EXPECT_EQ(nextIndex.size(), static_cast<size_t>(WRITERS));
    for (const auto& [writer, count] : nextIndex) EXPECT_EQ(count, LINES_PER_WRITER) << "writer " << writer;
    std::set<unsigned long> threads;
    for (const auto& [writer, thread] : threadByWriter) threads.insert(thread);
    return threads.size();
}

}  // namespace

TEST(LogConcurrency, ManyThreadsStoreEveryLineWhole) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    const double seconds = RunWriters();
    ShutdownQebLog();
    std::printf("[ figure ] %d lines from %d threads in %.3f s: %.0f lines/s\n", WRITERS * LINES_PER_WRITER, WRITERS,
                seconds, WRITERS * LINES_PER_WRITER / seconds);
    EXPECT_EQ(ExpectEveryLineOnceInOrder(qebtest::StoredLines(log.CurrentFile())),
              static_cast<size_t>(WRITERS))
        << "each writer shows its own thread id";
}

TEST(LogConcurrency, RotationUnderConcurrentWritersLosesNothing) {
    // About 1.9 MB of lines over 128 KiB files: around 15 rotations, with
    // enough backups kept that nothing falls off the end.
    constexpr unsigned long long FILE_BYTES = 128 * 1024;
    constexpr int BACKUPS = 40;
    qebtest::LogCapture log(FILE_BYTES, BACKUPS);
    ASSERT_TRUE(log.opened());
    RunWriters();
    ShutdownQebLog();
    // Oldest first: .N ... .1, then the current file.
    std::vector<std::string> lines;
    int rotated = 0;
    for (int index = BACKUPS; index >= 0; --index) {
        const std::wstring path = log.File(index);
        if (!qebtest::FileExists(path)) continue;
        rotated += index > 0;
        const std::string content = qebtest::ReadFileShared(path);
        EXPECT_LE(content.size(), FILE_BYTES) << index;
        for (std::string& line : qebtest::SplitStoredLines(content)) lines.push_back(std::move(line));
    }
    EXPECT_GE(rotated, 10);
    EXPECT_LT(rotated, BACKUPS) << "the test needs every rotated file kept";
    ExpectEveryLineOnceInOrder(lines);
}
