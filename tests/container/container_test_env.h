#pragma once
// Per-process set-up shared by the container test programs: the program's own
// log in a temporary folder, a container-ready event handed to the control
// object, and at the end the stop of every managed thread (the listener), so
// the thread manager can be destroyed at exit.

#include <windows.h>

namespace qebtest {

// The manual-reset event handed in through SetContainerReadyEvent.
HANDLE ReadyEvent();

bool IsSignalled(HANDLE event);

}  // namespace qebtest
