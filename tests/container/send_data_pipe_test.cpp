// SendDataPipe on real anonymous pipes, without a container: framing, the
// failure line, the bound on a write nobody reads, and writes that meet a
// replacement.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "container_support.h"
#include "qeb_core_process.h"

namespace {

const char SEND_FAILED[] = "SendDataPipe failed(QEBCoreProcess::SendDataPipe)";

QEBCoreProcess& Process() { return *QEBCoreProcess::GetInstance(); }

std::string ReadAvailable(HANDLE readEnd) {
    DWORD available = 0;
    if (!::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) || available == 0) return {};
    std::string bytes(available, '\0');
    DWORD got = 0;
    ::ReadFile(readEnd, bytes.data(), available, &got, nullptr);
    bytes.resize(got);
    return bytes;
}

bool LoggedSendFailure(const qebtest::LogCursor& cursor) {
    const std::vector<std::string> lines = qebtest::Lines(cursor.Since());
    return std::find(lines.begin(), lines.end(), std::string("E container ") + SEND_FAILED) != lines.end();
}

TEST(SendDataPipe, WithoutAWriteEndFailsWithItsLine) {
    Process().ClosePipeHandles();
    qebtest::LogCursor cursor;
    const std::wstring message = L"NotifyWinEvent5EventId1";
    EXPECT_FALSE(Process().SendDataPipe(message.data(), 46));
    EXPECT_TRUE(LoggedSendFailure(cursor));
}

TEST(SendDataPipe, WritesExactlyTheMessagesBytesWithoutTerminator) {
    ASSERT_TRUE(Process().CreateContainerPipe());
    const std::wstring message = L"NotifyWinEvent5EventId1";
    ASSERT_EQ(23u, message.size());
    ASSERT_TRUE(Process().SendDataPipe(message.c_str(), 46));
    EXPECT_EQ(qebtest::Utf16Bytes(message), ReadAvailable(Process().m_hStdInRead));

    // Messages follow one another with nothing in between.
    ASSERT_TRUE(Process().SendDataPipe(L"NotifyWinEvent6EventId2", 46));
    ASSERT_TRUE(Process().SendDataPipe(L"NotifyWinEvent7EventId3", 46));
    EXPECT_EQ(qebtest::Utf16Bytes(L"NotifyWinEvent6EventId2NotifyWinEvent7EventId3"),
              ReadAvailable(Process().m_hStdInRead));
}

// Fills pipe 1 (nobody reads it) until a write blocks; that write must give up
// after about SEND_DATA_PIPE_TIMEOUT.
TEST(SendDataPipe, AWriteNobodyReadsEndsWithinTheBound) {
    ASSERT_TRUE(Process().CreateContainerPipe());
    qebtest::LogCursor cursor;
    const std::string chunk(4096, 'q');
    DWORD failedAfterMs = 0;
    int calls = 1;
    for (; calls <= 256; ++calls) {
        const ULONGLONG start = ::GetTickCount64();
        if (!Process().SendDataPipe(chunk.data(), 4096)) {
            failedAfterMs = static_cast<DWORD>(::GetTickCount64() - start);
            break;
        }
    }
    ASSERT_LE(calls, 256) << "the pipe never filled";
    EXPECT_GE(failedAfterMs, 500u);
    EXPECT_LE(failedAfterMs, 2000u);
    EXPECT_TRUE(LoggedSendFailure(cursor));
    std::printf("[ figures ] pipe took %d writes of 4096 bytes; the blocked one failed after %lu ms\n", calls - 1,
                static_cast<unsigned long>(failedAfterMs));
}

TEST(SendDataPipe, AReplacementIsNotHeldBehindABlockedWrite) {
    ASSERT_TRUE(Process().CreateContainerPipe());
    const std::string chunk(4096, 'q');
    while (Process().SendDataPipe(chunk.data(), 4096)) {
    }  // full now
    std::atomic<bool> sendResult{true};
    std::atomic<ULONGLONG> sendEnded{0};
    std::thread writer([&] {
        sendResult = Process().SendDataPipe(chunk.data(), 4096);
        sendEnded = ::GetTickCount64();
    });
    ::Sleep(100);  // the writer is blocked in its write by now
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(Process().CreateContainerPipe());
    const ULONGLONG replaced = ::GetTickCount64();
    writer.join();
    EXPECT_LT(replaced - start, 500u) << "the replacement waited for the write";
    EXPECT_FALSE(sendResult.load());
    EXPECT_LE(sendEnded.load() - start, 2000u);
    // The new pipe works.
    EXPECT_TRUE(Process().SendDataPipe(L"ok", 4));
    EXPECT_EQ(qebtest::Utf16Bytes(L"ok"), ReadAvailable(Process().m_hStdInRead));
}

TEST(SendDataPipe, WritesRacingReplacementsLeaveNoHandleBehind) {
    std::atomic<int> sent{0}, failed{0};
    const auto race = [&] {
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop) (Process().SendDataPipe(L"NotifyWinEvent5EventId1", 46) ? sent : failed)++;
        });
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(Process().CreateContainerPipe());
            ReadAvailable(Process().m_hStdInRead);
        }
        stop = true;
        writer.join();
    };
    // The first round brings up the thread pool that bounds each write; its
    // threads keep their handles, so counting starts after it.
    race();
    const unsigned long before = qebtest::CountOpenHandles();
    race();
    race();
    const unsigned long after = qebtest::CountOpenHandles();
    EXPECT_GT(sent.load(), 0);
    EXPECT_LE(after, before + 2) << "before " << before << ", after " << after;
    std::printf("[ figures ] 100 replacements under %d sends (%d failed): handles %lu -> %lu\n",
                sent.load() + failed.load(), failed.load(), before, after);
}

}  // namespace
