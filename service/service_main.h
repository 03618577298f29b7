#pragma once
// The service main function and the name the service runs under.

#include <windows.h>

inline constexpr wchar_t QEB_SERVICE_NAME[] = L"QEBCoreService";

// Called by the dispatcher on a thread of its own; returns once the start-up
// is done, leaving the service to the supervision thread and the handler.
void WINAPI service_main(DWORD dwArgc, LPWSTR* lpszArgv);
