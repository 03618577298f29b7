// StartThread from several threads racing WaitAll: every thread that was
// started is recorded and released, none is left running.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "test_log.h"
#include "thread_manager.h"

using VelantThread::ThreadManager;

namespace {

constexpr int STARTERS = 4;
constexpr int MAX_STARTS_PER_STARTER = 40;
constexpr int ROUNDS = 6;

}  // namespace

TEST(ThreadRace, ConcurrentStartsRacingWaitAllLeaveNothingRunning) {
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        qebtest::LogCapture log;
        ThreadManager manager;
        const HANDLE hExit = manager.GetExitEvent();
        std::atomic<int> started{0};
        std::atomic<int> ended{0};
        std::atomic<int> refused{0};
        std::atomic<bool> go{false};

        auto worker = [hExit, &ended](void*) -> uint32_t {
            ::WaitForSingleObject(hExit, INFINITE);
            ++ended;
            return 0;
        };
        std::vector<std::thread> starters;
        for (int s = 0; s < STARTERS; ++s) {
            starters.emplace_back([&] {
                while (!go) std::this_thread::yield();
                for (int i = 0; i < MAX_STARTS_PER_STARTER; ++i) {
                    if (!manager.StartThread(worker, nullptr, "racer", i % 2 == 0)) {
                        ++refused;
                        return;
                    }
                    ++started;
                }
            });
        }
        go = true;
        ::Sleep(static_cast<DWORD>(round * 3));  // WaitAll lands at different points of the starts
        manager.WaitAll();
        const int endedAtReturn = ended.load();
        const int startedAtReturn = started.load();
        for (std::thread& starter : starters) starter.join();

        EXPECT_EQ(started.load(), startedAtReturn) << "a start succeeded after WaitAll returned";
        EXPECT_EQ(endedAtReturn, started.load()) << "a started thread was still running";
        EXPECT_TRUE(log.Find('W', "").empty());
        std::printf("[ figure ] round %d: %d started, %d refused\n", round, started.load(), refused.load());
    }
}
