// A read that completes after the service's exit event was set is dropped,
// and the listener ends. Its own program: the exit event is never reset, so
// nothing can run after this in the same process.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "container_support.h"
#include "qeb_core_process.h"
#include "thread_manager.h"

namespace {

TEST(ListenerAtStop, AMessageReadAfterTheExitEventIsDroppedAndTheListenerEnds) {
    QEBCoreProcess& process = *QEBCoreProcess::GetInstance();
    qebtest::LogCursor cursor;
    ASSERT_TRUE(process.CreateContainerPipe());
    ASSERT_TRUE(cursor.WaitFor("QEBCoreProcess.Pipe_Listen begin.(QEBCoreProcess::Pipe_Listen)", 5000));
    ::Sleep(100);  // the listener is in its read, past the wait on the exit event

    // The first step of a stop, without the rest (cancel, isRunning) that
    // would end the read before the message arrives.
    ASSERT_TRUE(::SetEvent(VelantThread::ThreadManager::GetInstance()->GetExitEvent()));
    const std::string message = qebtest::Utf16Bytes(L"NotifyWorkStatus1");
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(process.m_hStdOutWrite, message.data(), static_cast<DWORD>(message.size()), &written, nullptr));

    ASSERT_TRUE(cursor.WaitFor("QEBCoreProcess.Pipe_Listen end.(QEBCoreProcess::Pipe_Listen)", 5000));
    // The message was taken out of the pipe (read) and then not acted on.
    DWORD available = 1;
    ASSERT_TRUE(::PeekNamedPipe(process.m_hStdOutRead, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(0u, available);
    EXPECT_FALSE(qebtest::IsSignalled(qebtest::ReadyEvent()));
    EXPECT_EQ((std::vector<std::string>{"QEBCoreProcess.Pipe_Listen begin.(QEBCoreProcess::Pipe_Listen)",
                                        "QEBCoreProcess.Pipe_Listen end.(QEBCoreProcess::Pipe_Listen)"}),
              qebtest::Messages(cursor.Since(), "QEBCoreProcess::Pipe_Listen"));
}

}  // namespace
