// Per-process set-up of the container test programs: the program's own log
// in a temporary folder, a container-ready event handed to the control
// object, and at the end the stop of every managed thread (the listener), so
// the thread manager can be destroyed at exit.
#include <gtest/gtest.h>

#include <memory>

#include "container_support.h"
#include "qeb_core_process.h"
#include "thread_manager.h"

namespace qebtest {

namespace {

qeb::UniqueHandle s_hReadyEvent;
std::unique_ptr<LogCapture> s_log;

class ContainerTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        s_log = std::make_unique<LogCapture>();
        s_hReadyEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        QEBCoreProcess::SetContainerReadyEvent(s_hReadyEvent.get());
    }
    void TearDown() override {
        VelantThread::ThreadManager::GetInstance()->WaitAll();
        if (g_hContainerHandle != nullptr) {
            ::TerminateProcess(g_hContainerHandle, 0);
            ::CloseHandle(g_hContainerHandle);
            g_hContainerHandle = nullptr;
        }
        QEBCoreProcess::SetContainerReadyEvent(nullptr);
        s_hReadyEvent.reset();
        s_log.reset();
    }
};

// gtest owns registered environments.
::testing::Environment* const s_environment = ::testing::AddGlobalTestEnvironment(new ContainerTestEnvironment);

}  // namespace

HANDLE ReadyEvent() { return s_hReadyEvent.get(); }

}  // namespace qebtest
