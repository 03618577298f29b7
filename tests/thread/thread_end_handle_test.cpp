// ThreadEndHandle on real thread handles, including handles whose access
// rights make the termination or the final wait fail.
#include <gtest/gtest.h>

#include "test_support.h"
#include "thread_manager.h"
#include "unique_handle.h"

using VelantThread::ThreadManager;

namespace {

DWORD WINAPI SpinForever(void*) {
    for (;;) ::Sleep(5);
}

DWORD WINAPI ReturnAtOnce(void*) { return 3; }

qeb::UniqueHandle StartRawThread(LPTHREAD_START_ROUTINE routine) {
    return qeb::UniqueHandle(::CreateThread(nullptr, 0, routine, nullptr, 0, nullptr));
}

qeb::UniqueHandle WithAccess(HANDLE hThread, DWORD access) {
    qeb::UniqueHandle copy;
    ::DuplicateHandle(::GetCurrentProcess(), hThread, ::GetCurrentProcess(), copy.put(), access, FALSE, 0);
    return copy;
}

constexpr char END_HANDLE[] = "(VelantThread::ThreadManager::ThreadEndHandle)";

}  // namespace

TEST(ThreadEndHandle, NullHandleIsTrueAtOnce) {
    qebtest::LogCapture log;
    ThreadManager manager;
    EXPECT_TRUE(manager.ThreadEndHandle(nullptr, 200));
    EXPECT_TRUE(log.Records().empty());
}

TEST(ThreadEndHandle, EndedThreadIsTrue) {
    ThreadManager manager;
    qeb::UniqueHandle thread = StartRawThread(ReturnAtOnce);
    ASSERT_TRUE(thread);
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(manager.ThreadEndHandle(thread.get(), 200));
    DWORD exitCode = 0;
    ::GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(exitCode, 3u) << "not terminated";
}

TEST(ThreadEndHandle, LiveThreadIsTerminatedWithExitCodeZero) {
    qebtest::LogCapture log;
    ThreadManager manager;
    qeb::UniqueHandle thread = StartRawThread(SpinForever);
    ASSERT_TRUE(thread);
    EXPECT_FALSE(manager.ThreadEndHandle(thread.get(), 50));
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
    DWORD exitCode = STILL_ACTIVE;
    ::GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(log.Records().empty()) << "the warning is WaitAll's, not ThreadEndHandle's";
}

TEST(ThreadEndHandle, RefusedTerminationIsLoggedWithItsError) {
    qebtest::LogCapture log;
    ThreadManager manager;
    qeb::UniqueHandle thread = StartRawThread(SpinForever);
    ASSERT_TRUE(thread);
    qeb::UniqueHandle waitOnly = WithAccess(thread.get(), SYNCHRONIZE);
    ASSERT_TRUE(waitOnly);

    EXPECT_FALSE(manager.ThreadEndHandle(waitOnly.get(), 50));
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still running";
    const std::vector<qebtest::LogRecord> errors = log.Find('E', "");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].tag, "container");
    EXPECT_EQ(errors[0].message, std::string("TerminateThread fail error = 5") + END_HANDLE);

    ::TerminateThread(thread.get(), 0);
}

TEST(ThreadEndHandle, UnseenEndIsLoggedWithTheWaitResult) {
    qebtest::LogCapture log;
    ThreadManager manager;
    qeb::UniqueHandle thread = StartRawThread(SpinForever);
    ASSERT_TRUE(thread);
    // Terminable but not waitable: both waits fail, the termination works.
    qeb::UniqueHandle terminateOnly = WithAccess(thread.get(), THREAD_TERMINATE);
    ASSERT_TRUE(terminateOnly);

    EXPECT_FALSE(manager.ThreadEndHandle(terminateOnly.get(), 50));
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 1000), WAIT_OBJECT_0) << "terminated all the same";
    const std::vector<qebtest::LogRecord> errors = log.Find('E', "");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, std::string("WaitForSingleObject fail exitHandle = 4294967295") + END_HANDLE);
}
