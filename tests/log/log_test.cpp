// The log under concurrent writers while it rotates: every line whole, each
// writer's lines in order across the files (.N oldest ... .1, then the
// current one), only the oldest lost, no file past its size.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "qebcore_log.h"
#include "test_kit.h"

namespace {

constexpr int WRITERS = 6;
constexpr int LINES = 400;
constexpr unsigned long long FILE_BYTES = 16 * 1024;
constexpr int BACKUPS = 4;

// Lengths vary, so that lines cut into each other would show.
std::string Payload(int writer, int index) {
    return "w" + std::to_string(writer) + " " + std::to_string(index) + " " +
           std::string(static_cast<size_t>(10 + (index * 7 + writer * 13) % 150), static_cast<char>('a' + writer));
}

}  // namespace

TEST(Log, ConcurrentWritersAcrossRotation) {
    kit::LogCapture log(FILE_BYTES, BACKUPS);
    std::vector<std::thread> writers;
    for (int writer = 0; writer < WRITERS; ++writer)
        writers.emplace_back([writer] {
            for (int index = 0; index < LINES; ++index) QEBLOGW("container", Payload(writer, index));
        });
    for (std::thread& writer : writers) writer.join();
    FlushQebLogFile();

    EXPECT_FALSE(std::filesystem::exists(log.File(BACKUPS + 1))) << "more backups kept than asked for";
    std::map<int, int> next;  // writer -> index its next line must have
    for (int file = BACKUPS; file >= 0; --file) {
        ASSERT_TRUE(std::filesystem::exists(log.File(file))) << file;
        EXPECT_LE(std::filesystem::file_size(log.File(file)), FILE_BYTES) << file;
        for (const std::string& line : log.Lines(0, file)) {
            int writer = -1, index = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "W container w%d %d", &writer, &index)) << line;
            EXPECT_EQ("W container " + Payload(writer, index), line) << "torn line in file " << file;
            // Only the oldest lines may have fallen off: after the first, none is missing.
            EXPECT_EQ(next.emplace(writer, index).first->second, index) << "writer " << writer << ", file " << file;
            next[writer] = index + 1;
        }
    }
    ASSERT_EQ(static_cast<size_t>(WRITERS), next.size());
    for (const auto& [writer, index] : next) EXPECT_EQ(LINES, index) << "last lines of writer " << writer;
}
