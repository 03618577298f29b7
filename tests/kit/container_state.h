#pragma once
// The only reads of the container control object's state in the tests: what
// the service holds of its container and of the pipes between them.

#include <windows.h>

#include "qeb_core_process.h"

namespace kit {

// The running container's process id; 0 when the service holds none.
inline DWORD ContainerProcessId() { return ::GetProcessId(g_hContainerHandle.Duplicate().get()); }
inline bool ContainerRunning() { return g_hContainerHandle.Held(); }

}  // namespace kit
