#pragma once
// The supervision loop's pauses, read by the loop on every pass. The service
// keeps the defaults; the compressed soak shortens them before it starts the
// service, so that a day's worth of crash-loop restarts fits in minutes.

#include <windows.h>

// Pause after the container has ended or a restart has failed.
constexpr DWORD WAIT_CONTAINER_EXIT_TIME = 2000;
// Extra pause before each launch once START_CONTAINER_MAX_TRY_COUNT restarts
// failed in a row.
constexpr DWORD WAIT_START_CONTAINER_MAX_TRY_TIME = 60000;

struct SupervisionPauses {
    DWORD afterExitMs = WAIT_CONTAINER_EXIT_TIME;
    DWORD afterFailuresMs = WAIT_START_CONTAINER_MAX_TRY_TIME;
};

// The pauses in force. Changed only before the supervision thread starts:
// starting the thread publishes them to it.
const SupervisionPauses& CurrentSupervisionPauses() noexcept;
void SetSupervisionPauses(const SupervisionPauses& pauses) noexcept;
