// WaitAll with the kinds of worker the service runs: one waiting on the exit
// event, one blocked in a pipe read, one that ignores every signal; and one
// in a message loop, which the manager ends with WM_QUIT.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "background_call.h"
#include "call_faults.h"
#include "test_kit.h"
#include "thread_manager.h"
#include "unique_handle.h"

TEST(ThreadStop, EachKindOfWorkerEndsOrIsTerminated) {
    qeb::UniqueHandle hRead, hWrite;
    ASSERT_TRUE(::CreatePipe(hRead.put(), hWrite.put(), nullptr, 0));
    const struct {
        std::string kind;
        bool bTerminated;
    } rows[] = {{"Cooperative", false}, {"PipeReader", false}, {"Stubborn", true}, {"MessageLoop", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        kit::LogCapture log;
        VelantThread::ThreadManager manager;
        std::atomic<bool> bStarted{false}, bEndedByItself{false};
        const auto worker = [&](void* record) -> uint32_t {
            MSG message;
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts
            bStarted = true;
            while (row.kind == "MessageLoop" && ::GetMessageW(&message, nullptr, 0, 0) > 0) continue;
            if (row.kind == "Cooperative") ::WaitForSingleObject(manager.GetExitEvent(), INFINITE);
            char byte = 0;
            DWORD count = 0;
            while (row.kind == "PipeReader" && static_cast<VelantThread::ThreadParam*>(record)->isRunning)
                ::ReadFile(hRead.get(), &byte, 1, &count, nullptr);
            while (row.kind == "Stubborn") ::Sleep(5);
            bEndedByItself = true;
            return 0;
        };
        qeb::FailNextCall(qeb::FaultableCall::StartThread, ERROR_NOT_ENOUGH_MEMORY);  // a start the system refuses
        EXPECT_FALSE(manager.StartThread(worker, nullptr, "refused", false));
        ASSERT_TRUE(manager.StartThread(worker, nullptr, row.kind, row.kind == "MessageLoop"));
        ASSERT_TRUE(kit::WaitFor([&] { return bStarted.load(); }, 10000));

        const ULONGLONG begin = ::GetTickCount64();
        manager.WaitAll();
        const ULONGLONG took = ::GetTickCount64() - begin;
        EXPECT_EQ(!row.bTerminated, bEndedByItself.load());
        // A stubborn worker gets its 200 ms and no more: measured 200-231 ms
        // (the tick counter moves in steps of up to 16 ms).
        if (row.bTerminated) {
            EXPECT_TRUE(took >= 184 && took < 300) << took << " ms";
        }
        const std::string warning = "W container ExitThread failed! thread entry function: " + row.kind +
                                    "(VelantThread::ThreadManager::WaitAll)";
        EXPECT_EQ(row.bTerminated ? std::vector<std::string>{warning} : std::vector<std::string>{}, log.Lines())
            << log.Tail();
        EXPECT_FALSE(manager.StartThread(worker, nullptr, "late", false)) << "started after WaitAll";
    }
}

// The pool thread's step hook for the case below: holds the job named "late"
// before it looks at its stop, until that stop is set.
HANDLE s_hLateQueued = nullptr, s_hLateStop = nullptr;
std::atomic<bool> s_bLateRan{false};
void HoldLateJob(const char* job, const char* step) {
    if (std::string(job) != "late") return;
    if (std::string(step) == "running") s_bLateRan = true;
    if (std::string(step) != "queued") return;
    ::SetEvent(s_hLateQueued);
    ::WaitForSingleObject(s_hLateStop, INFINITE);
}

// Work the caller may walk away from: it runs with the caller's locale; the
// caller leaves as soon as the stop comes while the work runs on, which then
// finishes by itself; work handed over before its stop but not yet started
// never runs; nothing is handed over after the stop. Gates, not pauses.
TEST(BackgroundCall, CallerLeavesAtTheStopAndWorkNotStartedNeverRuns) {
    using VelantThread::BackgroundOutcome;
    const auto event = [] { return qeb::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); };
    const qeb::UniqueHandle hStop = event(), hStarted = event(), hRelease = event(), hLateQueued = event(),
                            hLateStop = event();
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID previous = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(german));
    auto seen = std::make_shared<LCID>(0);
    EXPECT_EQ(BackgroundOutcome::Finished, VelantThread::RunUnlessStopped(
                                               "locale", [seen] { *seen = ::GetThreadLocale(); }, hStop.get()));
    ::SetThreadLocale(previous);
    EXPECT_EQ(german, *seen);

    auto bFinished = std::make_shared<std::atomic<bool>>(false);
    std::thread stopper([&] {
        ::WaitForSingleObject(hStarted.get(), INFINITE);
        ::SetEvent(hStop.get());
    });
    EXPECT_EQ(BackgroundOutcome::Stopped, VelantThread::RunUnlessStopped(
                                              "held",
                                              [started = hStarted.get(), release = hRelease.get(), bFinished] {
                                                  ::SetEvent(started);
                                                  ::WaitForSingleObject(
                                                      release, 10000);  // a caller that does not leave fails, not hangs
                                                  *bFinished = true;
                                              },
                                              hStop.get()));
    stopper.join();
    EXPECT_FALSE(*bFinished) << "the caller waited for the work";
    EXPECT_EQ(BackgroundOutcome::Stopped,
              VelantThread::RunUnlessStopped(
                  "after-stop", [] { ADD_FAILURE() << "handed over after the stop"; }, hStop.get()));

    s_hLateQueued = hLateQueued.get();
    s_hLateStop = hLateStop.get();
    VelantThread::SetJobStepHook(&HoldLateJob);
    BackgroundOutcome late = BackgroundOutcome::Finished;
    std::thread caller([&] {
        late = VelantThread::RunUnlessStopped(
            "late", [] {}, hLateStop.get());
    });
    ::SetEvent(hRelease.get());  // the pool thread moves on to "late" and holds it
    EXPECT_EQ(::WaitForSingleObject(hLateQueued.get(), 10000), WAIT_OBJECT_0);
    ::SetEvent(hLateStop.get());
    caller.join();
    EXPECT_EQ(BackgroundOutcome::Stopped, late);
    // One pool thread, jobs in order: once this one has run, "late" is decided.
    EXPECT_EQ(BackgroundOutcome::Finished, VelantThread::RunUnlessStopped(
                                               "last", [] {}, nullptr));
    VelantThread::SetJobStepHook(nullptr);
    EXPECT_FALSE(s_bLateRan) << "work handed over before the stop ran after it";
    EXPECT_TRUE(*bFinished);
}
