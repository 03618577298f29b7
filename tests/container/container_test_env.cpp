#include "container_test_env.h"

#include <gtest/gtest.h>

#include "qeb_core_process.h"
#include "test_log.h"
#include "thread_manager.h"
#include "unique_handle.h"

namespace qebtest {

namespace {

qeb::UniqueHandle s_hReadyEvent;

class ContainerTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        OpenTestLog();
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
        CloseTestLog();
    }
};

// gtest owns registered environments.
::testing::Environment* const s_environment = ::testing::AddGlobalTestEnvironment(new ContainerTestEnvironment);

}  // namespace

HANDLE ReadyEvent() { return s_hReadyEvent.get(); }

bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace qebtest
