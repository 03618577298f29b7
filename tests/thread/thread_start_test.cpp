// StartThread: what a worker receives, and when a start is refused.
#include <gtest/gtest.h>

#include <atomic>

#include "test_log.h"
#include "thread_manager.h"

using VelantThread::ThreadManager;
using VelantThread::ThreadParam;

namespace {

struct Seen {
    std::atomic<ThreadParam*> record{nullptr};
    void* param = nullptr;
    std::string funcName;
    bool bRunning = false;
    qeb::UniqueHandle hDone{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace

TEST(ThreadStart, WorkerReceivesItsRecordWithTheCallersParam) {
    qebtest::LogCapture log;
    int target = 0;
    const std::pair<void*, const char*> cases[] = {{&target, "svcThreadFun"}, {nullptr, "QEBCoreProcess::Pipe_Listen"},
                                                   {&target, "svcThreadFun"}};  // same name again: a second entry
    Seen seen[3];
    ThreadManager manager;
    for (size_t i = 0; i < 3; ++i) {
        Seen* slot = &seen[i];
        ASSERT_TRUE(manager.StartThread(
            [slot](void* record) -> uint32_t {
                auto* param = static_cast<ThreadParam*>(record);
                slot->param = param->param;
                slot->funcName = param->funcName;
                slot->bRunning = param->isRunning;
                slot->record = param;
                ::SetEvent(slot->hDone.get());
                return 7;
            },
            cases[i].first, cases[i].second, false));
    }
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(::WaitForSingleObject(seen[i].hDone.get(), 10000), WAIT_OBJECT_0) << i;
        EXPECT_EQ(seen[i].param, cases[i].first) << i;
        EXPECT_EQ(seen[i].funcName, cases[i].second) << i;
        EXPECT_TRUE(seen[i].bRunning) << i;
        EXPECT_NE(static_cast<void*>(seen[i].record.load()), cases[i].first) << "the argument is the record";
    }
    EXPECT_NE(seen[0].record.load(), seen[2].record.load()) << "same name, separate records";
    manager.WaitAll();
    // Records outlive the threads: still readable, now told to stop.
    for (Seen& s : seen) EXPECT_FALSE(s.record.load()->isRunning);
    EXPECT_TRUE(log.Find('W', "").empty());
}

TEST(ThreadStart, StartAfterWaitAllOrWithoutEntryStartsNothing) {
    qebtest::LogCapture log;
    ThreadManager manager;
    EXPECT_FALSE(manager.StartThread(VelantThread::ThreadEntry(), nullptr, "empty", false));
    const HANDLE hExit = manager.GetExitEvent();
    ASSERT_NE(hExit, nullptr);
    EXPECT_EQ(::WaitForSingleObject(hExit, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    manager.WaitAll();  // empty registry: only sets the exit event
    // Manual reset: every waiter sees it, any number of times.
    EXPECT_EQ(::WaitForSingleObject(hExit, 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(hExit, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(log.Records().empty());

    std::atomic<int> runs{0};
    auto entry = [&runs](void*) -> uint32_t {
        ++runs;
        return 0;
    };
    EXPECT_FALSE(manager.StartThread(entry, nullptr, "late", false));
    EXPECT_FALSE(manager.StartThread(entry, nullptr, "late", true));
    ::Sleep(100);
    EXPECT_EQ(runs.load(), 0);
}
