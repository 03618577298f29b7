#pragma once
// The supervision thread: watches the container and restarts it when it ends.

#include <windows.h>

#include <cstdint>

// The soak bench builds this loop with a divisor of 100, so that a day's
// worth of crash-loop restarts fits in minutes; the service divides by 1.
#ifndef QEB_PAUSE_DIVISOR
#define QEB_PAUSE_DIVISOR 1
#endif
// Pause after the container has ended or a restart has failed.
constexpr DWORD WAIT_CONTAINER_EXIT_TIME = 2000 / QEB_PAUSE_DIVISOR;
// Extra pause before each launch once that many restarts failed in a row.
constexpr DWORD WAIT_START_CONTAINER_MAX_TRY_TIME = 60000 / QEB_PAUSE_DIVISOR;
// Consecutive failed restarts from which the extra pause is added.
constexpr int32_t START_CONTAINER_MAX_TRY_COUNT = 5;

// Consecutive failed restarts; touched by the supervision thread only.
extern int32_t g_startContainerFailCount;

// Thread entry for the thread manager; runs until the exit event is set.
uint32_t svcThreadFun(void* threadParam);
