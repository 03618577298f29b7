// The log under concurrent writers while it rotates: every line whole and
// stored once, each writer's lines in order across the files (.N oldest ...
// .1, then the current one), no file past its size; then, with fewer
// backups allowed, the oldest file falls off while the file a killed
// rotation left pending joins the chain; at the service's own limits, a
// reader holding the current file without delete sharing loses no backup and
// grows nothing past the cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "qebcore_log.h"
#include "test_kit.h"
#include "unique_handle.h"

namespace {

constexpr int WRITERS = 6;
constexpr int LINES = 400;
constexpr unsigned long long FILE_BYTES = 16 * 1024;
constexpr int BACKUPS = 60;                                     // room for every rotated file of the run
constexpr unsigned long long SERVICE_FILE_BYTES = 10ULL << 20;  // main's initQebLog(10, 10)
constexpr int SERVICE_BACKUPS = 10;

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
        for (const std::string& line : kit::LogFile(log.File(file)).Lines()) {
            int writer = -1, index = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "W container w%d %d", &writer, &index)) << line;
            EXPECT_EQ("W container " + Payload(writer, index), line) << "torn line in file " << file;
            EXPECT_EQ(next[writer]++, index) << "writer " << writer << ", file " << file;
        }
    }
    EXPECT_TRUE(std::filesystem::exists(log.File(5))) << "too few rotations to show anything";
    EXPECT_FALSE(std::filesystem::exists(log.File(BACKUPS))) << "the run needs every rotated file kept";
    EXPECT_EQ((std::map<int, int>{{0, LINES}, {1, LINES}, {2, LINES}, {3, LINES}, {4, LINES}, {5, LINES}}), next);

    const std::string current = kit::ReadAll(log.File(0));
    const std::filesystem::path pending = log.File(0).parent_path() / "QEBCoreService.rotating.log";
    std::ofstream(pending) << "left";
    ShutdownQebLog();
    // Named with a trailing separator this time, which the paths must not double.
    ASSERT_TRUE(initQebLogAt((log.File(0).parent_path() / "").c_str(), FILE_BYTES, 2));
    QEBLOGI("service", std::string(FILE_BYTES, 'x'));
    EXPECT_EQ(current, kit::ReadAll(log.File(1)));
    EXPECT_EQ("left", kit::ReadAll(log.File(2))) << "the pending file lost, or the old .1 kept instead";

    // Six files' worth of lines while a reader holds the current file.
    ShutdownQebLog();
    ASSERT_TRUE(initQebLogAt(log.File(0).parent_path().c_str(), SERVICE_FILE_BYTES, SERVICE_BACKUPS));
    const std::string one = kit::ReadAll(log.File(1)), two = kit::ReadAll(log.File(2));
    qeb::UniqueHandle reader(::CreateFileW(log.File(0).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    const ULONGLONG heldAt = ::GetTickCount64();  // just before the first try fails
    for (int i = 0; i < 100; ++i) QEBLOGI("service", std::string(SERVICE_FILE_BYTES / 16, 'r'));
    reader.reset();
    const std::string held = kit::ReadAll(log.File(0));
    EXPECT_TRUE(one == kit::ReadAll(log.File(1)) && two == kit::ReadAll(log.File(2))) << "a backup changed";
    EXPECT_LE(held.size(), 2 * SERVICE_FILE_BYTES + 160) << "the hard cap and one line";
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "W log log rotation failed, error = 32(RotateLocked)"));
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                            "W log log writing stopped at twice the file size until a rotation succeeds, "
                            "error = 32(RotateLocked)"));
    // Once the reader is gone, the next try rotates them all down.
    EXPECT_TRUE(kit::WaitFor(
        [&] { return QEBLOGI("service", "after"), std::filesystem::file_size(log.File(1)) >= held.size(); }, 3000));
    EXPECT_EQ(kit::ReadAll(log.File(1)).rfind(held, 0), 0u);
    EXPECT_GE(::GetTickCount64() - heldAt, 1000u - 16) << "tried again before its pause";
    EXPECT_TRUE(one == kit::ReadAll(log.File(2)));
    EXPECT_TRUE(log.Has("W log log writing resumed, lines dropped = ")) << log.Tail();
    EXPECT_FALSE(std::filesystem::exists(pending));

    // A reader holding the newest backup instead: the shift fails and is
    // undone, and the current file's lines stay where they were.
    reader.reset(::CreateFileW(log.File(1).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    QEBLOGI("service", "kept");
    QEBLOGI("service", std::string(SERVICE_FILE_BYTES, 'y'));
    reader.reset();
    EXPECT_TRUE(log.Has("I service kept")) << "the current file's lines went with a failed rotation";
    EXPECT_FALSE(std::filesystem::exists(pending));

    // One backup allowed: the current file still moves to .1.
    const std::string last = kit::ReadAll(log.File(0));
    ShutdownQebLog();
    ASSERT_TRUE(initQebLogAt(log.File(0).parent_path().c_str(), FILE_BYTES, 1));
    QEBLOGI("service", std::string(FILE_BYTES, 'z'));
    EXPECT_EQ(last, kit::ReadAll(log.File(1)));

    // The service's outgoing process still holds the file, as it does for a
    // moment after it reported stopped: the next one's log opens beside it,
    // and each appends whole lines.
    ShutdownQebLog();
    reader.reset(::CreateFileW(log.File(0).c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr));
    ASSERT_TRUE(initQebLogAt(log.File(0).parent_path().c_str(), SERVICE_FILE_BYTES, 1));
    QEBLOGI("service", "incoming");
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(reader.get(), "outgoing\r\n", 10, &written, nullptr));
    QEBLOGI("service", "again");
    const std::string text = kit::ReadAll(log.File(0));
    const size_t outgoing = text.find("\noutgoing\r\n");
    EXPECT_TRUE(outgoing != std::string::npos && text.rfind("service incoming", outgoing) != std::string::npos &&
                text.find("service again", outgoing) != std::string::npos)
        << text.substr(text.size() - std::min<size_t>(text.size(), 300));
    EXPECT_TRUE(::MoveFileExW(log.File(0).c_str(), (log.File(0).wstring() + L".moved").c_str(), 0))
        << "the outgoing process's rotation refused";
}
