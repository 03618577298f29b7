#pragma once
// The only reads of the container control object's state in the tests: what
// the service holds of its container and of the pipes between them.

#include <windows.h>

#include "qeb_core_process.h"

namespace kit {

// The running container's process id; 0 when the service holds none.
inline DWORD ContainerProcessId() { return g_hContainerHandle != nullptr ? ::GetProcessId(g_hContainerHandle) : 0; }
inline bool ContainerRunning() { return g_hContainerHandle != nullptr; }
// Whether the ready event is still open for a launch to use.
inline bool ReadyEventOpen() { return QEBCoreProcess::s_hContainerReadyEvent != nullptr; }
// The container's ends of its output pipe, as the service made them.
inline HANDLE ContainerOutputWriter() { return QEBCoreProcess::GetInstance()->m_hStdOutWrite; }
inline HANDLE ServiceOutputReader() { return QEBCoreProcess::GetInstance()->m_hStdOutRead; }

}  // namespace kit
