// Linked into the test build of the service only (QEBCoreServiceGated.exe):
// holds a launch step until the stop has begun, when the test asks for it.
// The test creates "Global\QEBCoreStepGate.<job>.<step>.<n>" for the n-th
// time the pool thread reaches that step; the hook signals it, waits for the
// thread manager's exit event and goes on, or, when the test also created
// "<name>.hold", stays there for as long as the process lives.
#include <windows.h>

#include <map>
#include <mutex>
#include <string>

#include "background_call.h"
#include "never_destroyed.h"
#include "thread_manager.h"
#include "unique_handle.h"

namespace {

void HoldStep(const char* job, const char* step) {
    static qeb::NeverDestroyed<std::mutex> s_mutex;
    static qeb::NeverDestroyed<std::map<std::string, unsigned>> s_seen;
    const std::string name = std::string(job) + "." + step;
    unsigned count = 0;
    {
        const std::lock_guard<std::mutex> lock(s_mutex.get());
        count = ++s_seen.get()[name];
    }
    const std::wstring gate =
        L"Global\\QEBCoreStepGate." + std::wstring(name.begin(), name.end()) + L"." + std::to_wstring(count);
    const qeb::UniqueHandle hReached(::OpenEventW(EVENT_MODIFY_STATE, FALSE, gate.c_str()));
    if (!hReached) return;
    ::SetEvent(hReached.get());
    ::WaitForSingleObject(VelantThread::ThreadManager::GetInstance()->GetExitEvent(), INFINITE);
    const qeb::UniqueHandle hHold(::OpenEventW(SYNCHRONIZE, FALSE, (gate + L".hold").c_str()));
    if (hHold) ::WaitForSingleObject(hHold.get(), INFINITE);
}

const bool s_bInstalled = (VelantThread::SetJobStepHook(&HoldStep), true);

}  // namespace
