#include "qeb_core_process.h"

HANDLE g_hContainerHandle = nullptr;

HANDLE QEBCoreProcess::s_hContainerReadyEvent = nullptr;
HANDLE QEBCoreProcess::s_hPipeAvailableEvent = nullptr;
bool QEBCoreProcess::s_bListenStarted = false;
HANDLE QEBCoreProcess::s_hListenThread = nullptr;
bool QEBCoreProcess::s_bListenReading = false;

namespace {
// Constant-initialised: the object exists before any code of the process runs.
QEBCoreProcess s_instance;
}  // namespace

QEBCoreProcess* QEBCoreProcess::GetInstance() { return &s_instance; }

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
