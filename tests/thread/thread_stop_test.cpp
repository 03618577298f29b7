// WaitAll with the kinds of worker the service runs: one waiting on the exit
// event, one blocked in a pipe read, one that ignores every signal.
#include <gtest/gtest.h>

#include <atomic>

#include "test_kit.h"
#include "thread_manager.h"
#include "unique_handle.h"

TEST(ThreadStop, EachKindOfWorkerEndsOrIsTerminated) {
    qeb::UniqueHandle hRead, hWrite;
    ASSERT_TRUE(::CreatePipe(hRead.put(), hWrite.put(), nullptr, 0));
    const struct {
        std::string kind;
        bool bTerminated;
    } rows[] = {{"Cooperative", false}, {"PipeReader", false}, {"Stubborn", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        kit::LogCapture log;
        VelantThread::ThreadManager manager;
        std::atomic<bool> bStarted{false}, bEndedByItself{false};
        const auto worker = [&](void* record) -> uint32_t {
            bStarted = true;
            if (row.kind == "Cooperative") ::WaitForSingleObject(manager.GetExitEvent(), INFINITE);
            char byte = 0;
            DWORD count = 0;
            while (row.kind == "PipeReader" && static_cast<VelantThread::ThreadParam*>(record)->isRunning)
                ::ReadFile(hRead.get(), &byte, 1, &count, nullptr);
            while (row.kind == "Stubborn") ::Sleep(5);
            bEndedByItself = true;
            return 0;
        };
        ASSERT_TRUE(manager.StartThread(worker, nullptr, row.kind, false));
        ASSERT_TRUE(kit::WaitFor([&] { return bStarted.load(); }, 10000));

        const ULONGLONG begin = ::GetTickCount64();
        manager.WaitAll();
        const ULONGLONG took = ::GetTickCount64() - begin;
        EXPECT_EQ(!row.bTerminated, bEndedByItself.load());
        // A worker that ends by itself never costs the 200 ms; a stubborn one gets them all.
        EXPECT_TRUE(row.bTerminated ? took >= 180 && took < 1000 : took < 200) << took << " ms";
        const std::string warning = "W container ExitThread failed! thread entry function: " + row.kind +
                                    "(VelantThread::ThreadManager::WaitAll)";
        EXPECT_EQ(row.bTerminated ? std::vector<std::string>{warning} : std::vector<std::string>{}, log.Lines())
            << log.Tail();
        EXPECT_FALSE(manager.StartThread(worker, nullptr, "late", false)) << "started after WaitAll";
    }
}
