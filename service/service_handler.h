#pragma once
// The control handler and the stop path.

#include <windows.h>

// Longest wait for service_main to finish its start-up during a stop.
constexpr DWORD WAIT_SERVICE_MAIN_EXIT_TIME = 1000;

// Registered with RegisterServiceCtrlHandlerExW; answers NO_ERROR to every
// control code.
DWORD WINAPI ServiceHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext);

// Ends the managed threads and releases the host's handles; leaves the
// record saying stopped without reporting it.
void ReleaseAllResources();
