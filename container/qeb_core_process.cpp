#include "qeb_core_process.h"

#include "never_destroyed.h"

HANDLE g_hContainerHandle = nullptr;

HANDLE QEBCoreProcess::s_hContainerReadyEvent = nullptr;
HANDLE QEBCoreProcess::s_hPipeAvailableEvent = nullptr;
bool QEBCoreProcess::s_bListenStarted = false;
HANDLE QEBCoreProcess::s_hListenThread = nullptr;
bool QEBCoreProcess::s_bListenReading = false;

namespace {
// Built before main and never torn down: a process creation left behind at
// the stop may still hold the values of its pipe handles while the process
// exits. The system closes them when the process ends.
qeb::NeverDestroyed<QEBCoreProcess> s_instance;
}  // namespace

QEBCoreProcess* QEBCoreProcess::GetInstance() { return &s_instance.get(); }

void QEBCoreProcess::SetContainerReadyEvent(HANDLE hEvent) { s_hContainerReadyEvent = hEvent; }

// The container, the listener and the ready event outlive this object's
// interest in them: only the gate and the four pipe ends are ours to close.
QEBCoreProcess::~QEBCoreProcess() {
    if (s_hPipeAvailableEvent != nullptr) {
        ::CloseHandle(s_hPipeAvailableEvent);
        s_hPipeAvailableEvent = nullptr;
    }
    ClosePipeHandles();
}
