// The log under concurrent writers while it rotates: every line whole and
// stored once, each writer's lines in order across the files (.N oldest ...
// .1, then the current one), no file past its size; then, with fewer
// backups allowed, the oldest file falls off.
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
constexpr int BACKUPS = 60;  // room for every rotated file of the run

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

    std::map<int, int> next;  // writer -> index its next line must have
    for (int file = BACKUPS; file >= 0; --file) {
        if (!std::filesystem::exists(log.File(file))) continue;
        EXPECT_LE(std::filesystem::file_size(log.File(file)), FILE_BYTES) << file;
        for (const std::string& line : log.Lines(0, file)) {
            int writer = -1, index = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "W container w%d %d", &writer, &index)) << line;
            EXPECT_EQ("W container " + Payload(writer, index), line) << "torn line in file " << file;
            EXPECT_EQ(next[writer]++, index) << "writer " << writer << ", file " << file;
        }
    }
    EXPECT_TRUE(std::filesystem::exists(log.File(5))) << "too few rotations to show anything";
    EXPECT_FALSE(std::filesystem::exists(log.File(BACKUPS))) << "the run needs every rotated file kept";
    EXPECT_EQ((std::map<int, int>{{0, LINES}, {1, LINES}, {2, LINES}, {3, LINES}, {4, LINES}, {5, LINES}}), next);

    const std::string current = kit::ReadAll(log.File(0)), newest = kit::ReadAll(log.File(1));
    ShutdownQebLog();
    ASSERT_TRUE(initQebLogAt(log.File(0).parent_path().c_str(), FILE_BYTES, 2));
    QEBLOGI("service", std::string(FILE_BYTES, 'x'));
    EXPECT_EQ(current, kit::ReadAll(log.File(1)));
    EXPECT_EQ(newest, kit::ReadAll(log.File(2))) << "the old .2 must have fallen off";
}
