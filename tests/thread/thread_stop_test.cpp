// WaitAll with the kinds of worker the service runs: one waiting on the exit
// event, one blocked in a pipe read, one that ignores every signal.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "background_call.h"
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
        // A stubborn worker gets its 200 ms and no more: measured 200-231 ms
        // (the tick counter moves in steps of up to 16 ms).
        if (row.bTerminated) EXPECT_TRUE(took >= 184 && took < 300) << took << " ms";
        const std::string warning = "W container ExitThread failed! thread entry function: " + row.kind +
                                    "(VelantThread::ThreadManager::WaitAll)";
        EXPECT_EQ(row.bTerminated ? std::vector<std::string>{warning} : std::vector<std::string>{}, log.Lines())
            << log.Tail();
        EXPECT_FALSE(manager.StartThread(worker, nullptr, "late", false)) << "started after WaitAll";
    }
}

// Work the caller may walk away from: it runs with the caller's locale, the
// caller leaves as soon as the stop comes while the work runs on, nothing is
// handed over after the stop, and the process's end can wait for the work.
TEST(BackgroundCall, CallerLeavesAtTheStopAndTheEndWaitsForTheWork) {
    qeb::UniqueHandle hStop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    qeb::UniqueHandle hRelease(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID previous = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(german));
    auto seen = std::make_shared<LCID>(0);
    EXPECT_TRUE(VelantThread::RunUnlessStopped([seen] { *seen = ::GetThreadLocale(); }, hStop.get()));
    ::SetThreadLocale(previous);
    EXPECT_EQ(german, *seen);

    auto bFinished = std::make_shared<std::atomic<bool>>(false);
    const HANDLE hWorkRelease = hRelease.get();
    std::thread stopper([&] { ::Sleep(100);
        ::SetEvent(hStop.get()); });
    const ULONGLONG begin = ::GetTickCount64();
    EXPECT_FALSE(VelantThread::RunUnlessStopped(
        [hWorkRelease, bFinished] {
            ::WaitForSingleObject(hWorkRelease, INFINITE);
            *bFinished = true;
        }, hStop.get()));
    EXPECT_LT(::GetTickCount64() - begin, 2000u);
    stopper.join();
    EXPECT_FALSE(VelantThread::WaitForBackgroundWork(50)) << "the abandoned work is still running";
    EXPECT_FALSE(VelantThread::RunUnlessStopped([] { ADD_FAILURE() << "handed over after the stop"; }, hStop.get()));
    ::SetEvent(hRelease.get());
    EXPECT_TRUE(VelantThread::WaitForBackgroundWork(10000));
    EXPECT_TRUE(*bFinished);
}
