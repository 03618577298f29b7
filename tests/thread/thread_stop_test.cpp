// WaitAll with workers of every kind: cooperative ones end on their signal,
// stubborn ones are terminated with one warning each, and the stop is
// bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "test_log.h"
#include "thread_manager.h"
#include "worker_probe.h"

using threadtest::Probe;
using VelantThread::ThreadManager;

namespace {

constexpr char WAIT_ALL[] = "(VelantThread::ThreadManager::WaitAll)";
constexpr char WARNING_TEXT[] = "ExitThread failed! thread entry function: ";

double TimedWaitAll(ThreadManager& manager) {
    const auto start = std::chrono::steady_clock::now();
    manager.WaitAll();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

bool HasEnded(const qeb::UniqueHandle& hThread) { return ::WaitForSingleObject(hThread.get(), 1000) == WAIT_OBJECT_0; }

struct StopCase {
    const char* name;
    VelantThread::ThreadEntry entry;
    bool hasMsgLoop;
    bool bCooperates;  // ends on its own signal rather than by termination
    DWORD readError;   // what the pipe reader's cancelled read failed with
};

}  // namespace

TEST(ThreadStop, EachWorkerKindEndsOnItsSignalOrIsTerminated) {
    const StopCase cases[] = {
        {"exit event", threadtest::ExitEventWorker, false, true, 0},
        {"cancelled pipe read", threadtest::PipeReaderWorker, false, true, ERROR_OPERATION_ABORTED},
        {"quit message", threadtest::MessageLoopWorker, true, true, 0},
        {"already returned", threadtest::ReturningWorker, false, true, 0},
        // The same loop registered without a message loop gets no WM_QUIT.
        {"message loop not registered as one", threadtest::MessageLoopWorker, false, false, 0},
        {"stubborn", threadtest::StubbornWorker, false, false, 0},
        {"stubborn with message loop", threadtest::StubbornWorker, true, false, 0},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        qebtest::LogCapture log;
        ASSERT_TRUE(log.opened());
        qeb::UniqueHandle hPipeRead, hPipeWrite;
        ASSERT_TRUE(::CreatePipe(hPipeRead.put(), hPipeWrite.put(), nullptr, 0));
        ThreadManager manager;
        Probe probe;
        probe.hExitEvent = manager.GetExitEvent();
        probe.hPipeRead = hPipeRead.get();
        const std::string funcName = std::string("Worker_") + c.name;
        ASSERT_TRUE(manager.StartThread(c.entry, &probe, funcName, c.hasMsgLoop));
        ASSERT_TRUE(threadtest::WaitReady(probe));
        ::Sleep(100);  // let it settle into its blocking call

        const double ms = TimedWaitAll(manager);
        std::printf("[ figure ] %s: WaitAll took %.1f ms\n", c.name, ms);
        ASSERT_TRUE(probe.hSelf);
        EXPECT_TRUE(HasEnded(probe.hSelf)) << "no thread may outlive WaitAll";
        EXPECT_EQ(c.bCooperates, probe.bEnded.load());
        EXPECT_EQ(c.bCooperates && c.hasMsgLoop, probe.bGotQuit.load());
        EXPECT_EQ(c.readError, probe.readError.load());
        EXPECT_EQ(c.readError != 0, probe.bSawStopFlag.load());
        const std::vector<qebtest::LogRecord> warnings = log.Find('W', "");
        EXPECT_TRUE(log.Find('E', "").empty());
        if (c.bCooperates) {
            EXPECT_TRUE(warnings.empty());
            EXPECT_LT(ms, 200.0) << "a cooperating worker never costs the full wait";
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].tag, "container");
            EXPECT_EQ(warnings[0].message, WARNING_TEXT + funcName + WAIT_ALL);
            DWORD exitCode = STILL_ACTIVE;
            ::GetExitCodeThread(probe.hSelf.get(), &exitCode);
            EXPECT_EQ(exitCode, 0u);
        }
        // Nothing was pending to cancel except for the pipe reader, and a
        // missing pending I/O (1168) is not worth a line.
        EXPECT_TRUE(log.Find('I', "CancelSynchronousIo: ").empty());
    }
}

TEST(ThreadStop, TwoStubbornThreadsStopWithinBound) {
    qebtest::LogCapture log;
    ThreadManager manager;
    Probe first, second;
    ASSERT_TRUE(manager.StartThread(threadtest::StubbornWorker, &first, "svcThreadFun", false));
    ASSERT_TRUE(manager.StartThread(threadtest::StubbornWorker, &second, "QEBCoreProcess::Pipe_Listen", false));
    ASSERT_TRUE(threadtest::WaitReady(first) && threadtest::WaitReady(second));

    const double ms = TimedWaitAll(manager);
    std::printf("[ figure ] two stubborn threads stopped in %.1f ms\n", ms);
    EXPECT_LT(ms, 2000.0);
    EXPECT_GE(ms, 400.0) << "each stubborn thread gets its full 200 ms";
    EXPECT_TRUE(HasEnded(first.hSelf));
    EXPECT_TRUE(HasEnded(second.hSelf));
    std::vector<std::string> messages = qebtest::Messages(log.Find('W', WARNING_TEXT));
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{WARNING_TEXT + std::string("QEBCoreProcess::Pipe_Listen") + WAIT_ALL,
                                                  WARNING_TEXT + std::string("svcThreadFun") + WAIT_ALL}));
}

TEST(ThreadStop, SecondWaitAllReleasesNothingTwice) {
    qebtest::LogCapture log;
    ThreadManager manager;
    Probe cooperative, stubborn;
    cooperative.hExitEvent = manager.GetExitEvent();
    ASSERT_TRUE(manager.StartThread(threadtest::ExitEventWorker, &cooperative, "cooperative", false));
    ASSERT_TRUE(manager.StartThread(threadtest::StubbornWorker, &stubborn, "stubborn", true));
    ASSERT_TRUE(threadtest::WaitReady(cooperative) && threadtest::WaitReady(stubborn));
    manager.WaitAll();
    ASSERT_EQ(log.Find('W', "").size(), 1u);

    EXPECT_LT(TimedWaitAll(manager), 200.0) << "released threads are not waited for again";
    EXPECT_EQ(log.Find('W', "").size(), 1u);
    EXPECT_TRUE(log.Find('E', "").empty());
    // The cancels of entries that no longer own a thread fail on the null
    // handle (6) and are logged, one per entry.
    const std::vector<qebtest::LogRecord> cancels = log.Find('I', "CancelSynchronousIo: ");
    EXPECT_EQ(cancels.size(), 2u);
    for (const qebtest::LogRecord& line : cancels) {
        EXPECT_EQ(line.tag, "container");
        EXPECT_EQ(line.message, std::string("CancelSynchronousIo: 6") + WAIT_ALL);
    }
}
