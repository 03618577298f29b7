#include "qeb_core_process.h"

#include "never_destroyed.h"

qeb::SharedHandle g_hContainerHandle;

qeb::KernelMutex QEBCoreProcess::s_pipeLock;
qeb::SharedHandle QEBCoreProcess::s_hContainerReadyEvent;
qeb::SharedHandle QEBCoreProcess::s_hPipeAvailableEvent;
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

void QEBCoreProcess::SetContainerReadyEvent(HANDLE hEvent) {
    s_hContainerReadyEvent.Reset(qeb::DuplicateSameAccess(hEvent).release());
}

HANDLE* QEBCoreProcess::PipeField(PipeEnd end) {
    switch (end) {
    case PipeEnd::StdInWrite: return &m_hStdInWrite;
    case PipeEnd::StdInRead: return &m_hStdInRead;
    case PipeEnd::StdOutWrite: return &m_hStdOutWrite;
    default: return &m_hStdOutRead;
    }
}

const HANDLE* QEBCoreProcess::PipeField(PipeEnd end) const {
    return const_cast<QEBCoreProcess*>(this)->PipeField(end);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
}

qeb::UniqueHandle QEBCoreProcess::DuplicatePipeEnd(PipeEnd end) const {
    qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
    return qeb::DuplicateSameAccess(*PipeField(end));
}

PipeEndValues QEBCoreProcess::PipeEndsForLaunch() const {
    qeb::LockGuard<qeb::KernelMutex> lock(s_pipeLock);
    return {m_hStdInWrite, m_hStdInRead, m_hStdOutWrite, m_hStdOutRead};
}
