// Many threads logging at once: every line stored once, whole, in order per
// thread, also while the file rotates underneath them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_support.h"

namespace {

constexpr int WRITERS = 8;
constexpr int LINES_PER_WRITER = 2000;

// Lengths vary so that lines of different threads would show if they were
// cut into each other.
std::string Payload(int writer, int index) {
    return "writer " + std::to_string(writer) + " line " + std::to_string(index) + " " +
           std::string(static_cast<size_t>(10 + (index * 7 + writer * 13) % 150), static_cast<char>('a' + writer));
}

struct Parsed {
    std::map<int, std::vector<int>> indexesByWriter;
    std::map<int, unsigned long> threadByWriter;
    size_t lines = 0;
};

void ParseAll(const std::vector<std::string>& lines, Parsed& parsed) {
    for (const std::string& line : lines) {
        ++parsed.lines;
        qebtest::LogRecord record;
        ASSERT_TRUE(qebtest::ParseLogRecord(line, record)) << "malformed line: " << line;
        EXPECT_EQ(record.processId, ::GetCurrentProcessId());
        EXPECT_EQ(record.level, 'W');
        EXPECT_EQ(record.tag, "container");
        int writer = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(record.message.c_str(), "writer %d line %d", &writer, &index), 2) << line;
        ASSERT_EQ(record.message, Payload(writer, index)) << "torn line: " << line;
        auto known = parsed.threadByWriter.find(writer);
        if (known == parsed.threadByWriter.end())
            parsed.threadByWriter[writer] = record.threadId;
        else
            EXPECT_EQ(known->second, record.threadId);
        parsed.indexesByWriter[writer].push_back(index);
    }
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

void ExpectEveryLineOnceInOrder(const Parsed& parsed) {
    EXPECT_EQ(parsed.lines, static_cast<size_t>(WRITERS * LINES_PER_WRITER));
    ASSERT_EQ(parsed.indexesByWriter.size(), static_cast<size_t>(WRITERS));
    for (const auto& [writer, indexes] : parsed.indexesByWriter) {
        ASSERT_EQ(indexes.size(), static_cast<size_t>(LINES_PER_WRITER)) << "writer " << writer;
        for (int i = 0; i < LINES_PER_WRITER; ++i) ASSERT_EQ(indexes[static_cast<size_t>(i)], i) << "writer " << writer;
    }
}

}  // namespace

TEST(LogConcurrency, ManyThreadsStoreEveryLineWhole) {
    qebtest::LogCapture log;
    ASSERT_TRUE(log.opened());
    const double seconds = RunWriters();
    ShutdownQebLog();
    std::printf("[ figure ] %d lines from %d threads in %.3f s: %.0f lines/s\n", WRITERS * LINES_PER_WRITER, WRITERS,
                seconds, WRITERS * LINES_PER_WRITER / seconds);

    Parsed parsed;
    ParseAll(qebtest::SplitLines(qebtest::ReadWholeFile(log.CurrentFile())), parsed);
    ExpectEveryLineOnceInOrder(parsed);
    std::set<unsigned long> threads;
    for (const auto& [writer, thread] : parsed.threadByWriter) threads.insert(thread);
    EXPECT_EQ(threads.size(), static_cast<size_t>(WRITERS)) << "each writer shows its own thread id";
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
        const std::wstring name =
            index == 0 ? L"QEBCoreService.log" : L"QEBCoreService." + std::to_wstring(index) + L".log";
        const std::wstring path = log.directory() + L"\\" + name;
        if (!qebtest::FileExists(path)) continue;
        if (index > 0) ++rotated;
        const std::string content = qebtest::ReadWholeFile(path);
        EXPECT_LE(content.size(), FILE_BYTES) << qebtest::Narrow(name);
        for (std::string& line : qebtest::SplitLines(content)) lines.push_back(std::move(line));
    }
    EXPECT_GE(rotated, 10);
    EXPECT_LT(rotated, BACKUPS) << "the test needs every rotated file kept";

    Parsed parsed;
    ParseAll(lines, parsed);
    ExpectEveryLineOnceInOrder(parsed);
}
