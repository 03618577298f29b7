// WaitAll with workers of every kind: cooperative ones end on their signal,
// stubborn ones are terminated with one warning each, and the stop is
// bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "thread_manager.h"
#include "unique_handle.h"
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

bool HasEnded(HANDLE hThread) { return ::WaitForSingleObject(hThread, 1000) == WAIT_OBJECT_0; }

struct StopCase {
    const char* name;
    VelantThread::ThreadEntry entry;
    bool hasMsgLoop;
    bool bCooperates;  // ends on its own signal rather than by termination
};

}  // namespace

TEST(ThreadStop, EachWorkerKindEndsOnItsSignalOrIsTerminated) {
    const std::vector<StopCase> cases = {
        {"exit event", threadtest::ExitEventWorker, false, true},
        {"cancelled pipe read", threadtest::PipeReaderWorker, false, true},
        {"quit message", threadtest::MessageLoopWorker, true, true},
        // The same loop registered without a message loop gets no WM_QUIT.
        {"message loop not registered as one", threadtest::MessageLoopWorker, false, false},
        {"stubborn", threadtest::StubbornWorker, false, false},
        {"stubborn with message loop", threadtest::StubbornWorker, true, false},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        qebtest::LogCapture log;
        ASSERT_TRUE(log.opened());
        qeb::UniqueHandle hPipeRead;
        qeb::UniqueHandle hPipeWrite;
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
        ASSERT_NE(probe.hSelf, nullptr);
        EXPECT_TRUE(HasEnded(probe.hSelf)) << "no thread may outlive WaitAll";

        const std::vector<qebtest::LogRecord> warnings = log.Find('W', "");
        EXPECT_TRUE(log.Find('E', "").empty());
        if (c.bCooperates) {
            EXPECT_TRUE(probe.bEnded);
            EXPECT_TRUE(warnings.empty());
            EXPECT_LT(ms, 200.0) << "a cooperating worker never costs the full wait";
        } else {
            EXPECT_FALSE(probe.bEnded);
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].tag, "container");
            EXPECT_EQ(warnings[0].message, WARNING_TEXT + funcName + WAIT_ALL);
            DWORD exitCode = STILL_ACTIVE;
            ::GetExitCodeThread(probe.hSelf, &exitCode);
            EXPECT_EQ(exitCode, 0u);
        }
        // Nothing was pending to cancel except for the pipe reader, and a
        // missing pending I/O (1168) is not worth a line.
        EXPECT_TRUE(log.Find('I', "CancelSynchronousIo: ").empty());
    }
}

TEST(ThreadStop, PipeReaderIsReleasedByTheCancel) {
    qebtest::LogCapture log;
    qeb::UniqueHandle hPipeRead;
    qeb::UniqueHandle hPipeWrite;
    ASSERT_TRUE(::CreatePipe(hPipeRead.put(), hPipeWrite.put(), nullptr, 0));
    ThreadManager manager;
    Probe probe;
    probe.hPipeRead = hPipeRead.get();
    ASSERT_TRUE(manager.StartThread(threadtest::PipeReaderWorker, &probe, "QEBCoreProcess::Pipe_Listen", false));
    ASSERT_TRUE(threadtest::WaitReady(probe));
    ::Sleep(100);

    const double ms = TimedWaitAll(manager);
    std::printf("[ figure ] blocked pipe reader released in %.1f ms\n", ms);
    EXPECT_TRUE(probe.bEnded);
    EXPECT_TRUE(probe.bSawStopFlag);
    EXPECT_EQ(probe.readError.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(log.Find('W', "").empty());
    EXPECT_LT(ms, 200.0);
}

TEST(ThreadStop, MessageLoopThreadGetsWmQuit) {
    qebtest::LogCapture log;
    ThreadManager manager;
    Probe probe;
    ASSERT_TRUE(manager.StartThread(threadtest::MessageLoopWorker, &probe, "msgLoop", true));
    ASSERT_TRUE(threadtest::WaitReady(probe));
    manager.WaitAll();
    EXPECT_TRUE(probe.bGotQuit);
    EXPECT_TRUE(log.Find('W', "").empty());
}

TEST(ThreadStop, TwoStubbornThreadsStopWithinBound) {
    qebtest::LogCapture log;
    ThreadManager manager;
    Probe first;
    Probe second;
    ASSERT_TRUE(manager.StartThread(threadtest::StubbornWorker, &first, "svcThreadFun", false));
    ASSERT_TRUE(manager.StartThread(threadtest::StubbornWorker, &second, "QEBCoreProcess::Pipe_Listen", false));
    ASSERT_TRUE(threadtest::WaitReady(first));
    ASSERT_TRUE(threadtest::WaitReady(second));

    const double ms = TimedWaitAll(manager);
    std::printf("[ figure ] two stubborn threads stopped in %.1f ms\n", ms);
    EXPECT_LT(ms, 2000.0);
    EXPECT_GE(ms, 400.0) << "each stubborn thread gets its full 200 ms";
    EXPECT_TRUE(HasEnded(first.hSelf));
    EXPECT_TRUE(HasEnded(second.hSelf));

    const std::vector<qebtest::LogRecord> warnings = log.Find('W', WARNING_TEXT);
    ASSERT_EQ(warnings.size(), 2u);
    std::vector<std::string> messages = {warnings[0].message, warnings[1].message};
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages[0], WARNING_TEXT + std::string("QEBCoreProcess::Pipe_Listen") + WAIT_ALL);
    EXPECT_EQ(messages[1], WARNING_TEXT + std::string("svcThreadFun") + WAIT_ALL);
}

TEST(ThreadStop, WorkerThatAlreadyReturnedCostsNoWait) {
    qebtest::LogCapture log;
    ThreadManager manager;
    HANDLE hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(manager.StartThread(
        [hDone](void*) -> uint32_t {
            ::SetEvent(hDone);
            return 0;
        },
        nullptr, "quick", false));
    ASSERT_EQ(::WaitForSingleObject(hDone, 10000), WAIT_OBJECT_0);
    ::CloseHandle(hDone);
    ::Sleep(50);
    const double ms = TimedWaitAll(manager);
    EXPECT_LT(ms, 200.0);
    EXPECT_TRUE(log.Records().empty());
}

TEST(ThreadStop, SecondWaitAllReleasesNothingTwice) {
    qebtest::LogCapture log;
    ThreadManager manager;
    Probe cooperative;
    Probe stubborn;
    cooperative.hExitEvent = manager.GetExitEvent();
    ASSERT_TRUE(manager.StartThread(threadtest::ExitEventWorker, &cooperative, "cooperative", false));
    ASSERT_TRUE(manager.StartThread(threadtest::StubbornWorker, &stubborn, "stubborn", true));
    ASSERT_TRUE(threadtest::WaitReady(cooperative));
    ASSERT_TRUE(threadtest::WaitReady(stubborn));
    manager.WaitAll();
    ASSERT_EQ(log.Find('W', "").size(), 1u);

    const double ms = TimedWaitAll(manager);
    EXPECT_LT(ms, 200.0) << "released threads are not waited for again";
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
