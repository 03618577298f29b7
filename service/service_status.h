#pragma once
// The service status record, the host's handles and the start-up side of
// status reporting.

#include <windows.h>

extern SERVICE_STATUS g_serviceStatus;
extern SERVICE_STATUS_HANDLE g_hServiceStatusHandle;
extern HANDLE g_hServiceMainExitEvent;
extern HANDLE g_hContainerReadyEvent;

constexpr DWORD WAIT_CONTAINER_READY_TIME = 500;
constexpr DWORD STATUS_WAIT_HINT = 1000;

void SetServiceStartPendingState();
void WaitContainerReadyAndReportStatus();
