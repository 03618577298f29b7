// ThreadEndHandle on real thread handles, including handles whose access
// rights make the termination or the final wait fail.
#include <gtest/gtest.h>

#include "test_log.h"
#include "thread_manager.h"

namespace {

DWORD WINAPI SpinForever(void*) {
    for (;;) ::Sleep(5);
}

DWORD WINAPI ReturnAtOnce(void*) { return 3; }

struct EndCase {
    const char* name;
    LPTHREAD_START_ROUTINE routine;  // null: no thread at all
    DWORD access;                    // 0: the creating handle itself
    bool result;
    bool bEndsRunning;
    DWORD exitCode;
    const char* errorLine;  // null: nothing logged
};

const EndCase END_CASES[] = {
    {"NullHandle", nullptr, 0, true, true, 0, nullptr},
    {"EndedThreadIsLeftAlone", ReturnAtOnce, 0, true, true, 3, nullptr},
    // The warning is WaitAll's, not ThreadEndHandle's.
    {"LiveThreadIsTerminated", SpinForever, 0, false, true, 0, nullptr},
    {"RefusedTermination", SpinForever, SYNCHRONIZE, false, false, STILL_ACTIVE, "TerminateThread fail error = 5"},
    // Terminable but not waitable: both waits fail, the termination works.
    {"UnseenEnd", SpinForever, THREAD_TERMINATE, false, true, 0, "WaitForSingleObject fail exitHandle = 4294967295"},
};

class ThreadEndHandle : public ::testing::TestWithParam<EndCase> {};

TEST_P(ThreadEndHandle, ResultTerminationAndErrorLine) {
    const EndCase& c = GetParam();
    qebtest::LogCapture log;
    VelantThread::ThreadManager manager;
    qeb::UniqueHandle thread;
    if (c.routine != nullptr) thread.reset(::CreateThread(nullptr, 0, c.routine, nullptr, 0, nullptr));
    if (c.routine == ReturnAtOnce) {
        ASSERT_EQ(::WaitForSingleObject(thread.get(), 5000), WAIT_OBJECT_0);
    }
    qeb::UniqueHandle limited;
    if (c.access != 0) {
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread.get(), ::GetCurrentProcess(), limited.put(), c.access,
                                      FALSE, 0));
    }

    EXPECT_EQ(c.result, manager.ThreadEndHandle(c.access != 0 ? limited.get() : thread.get(), 50));
    const std::vector<qebtest::LogRecord> records = log.Records();
    if (c.errorLine == nullptr) {
        EXPECT_TRUE(records.empty());
    } else {
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, 'E');
        EXPECT_EQ(records[0].tag, "container");
        EXPECT_EQ(records[0].message, std::string(c.errorLine) + "(VelantThread::ThreadManager::ThreadEndHandle)");
    }
    if (!thread) return;
    // Only a termination the manager could not watch may still be settling.
    const DWORD settleMs = c.access == THREAD_TERMINATE ? 1000 : 0;
    EXPECT_EQ(c.bEndsRunning, ::WaitForSingleObject(thread.get(), settleMs) == WAIT_OBJECT_0);
    DWORD exitCode = 12345;
    ::GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(c.exitCode, exitCode);
    if (!c.bEndsRunning) ::TerminateThread(thread.get(), 0);
}

INSTANTIATE_TEST_SUITE_P(Handles, ThreadEndHandle, ::testing::ValuesIn(END_CASES),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
