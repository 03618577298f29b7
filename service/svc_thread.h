#pragma once
// The supervision thread: watches the container and restarts it when it ends.

#include <windows.h>

#include <cstdint>

#include "supervision_pauses.h"

// Consecutive failed restarts from which the extra pause is added.
constexpr int32_t START_CONTAINER_MAX_TRY_COUNT = 5;

// Consecutive failed restarts; touched by the supervision thread only.
extern int32_t g_startContainerFailCount;

// Thread entry for the thread manager; runs until the exit event is set.
uint32_t svcThreadFun(void* threadParam);
