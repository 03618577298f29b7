#pragma once
// The service main function and the name the service runs under.

#include <windows.h>

inline constexpr wchar_t QEB_SERVICE_NAME[] = L"QEBCoreService";

// Called by the dispatcher on a thread of its own; returns once the start-up
// is done, leaving the service to the supervision thread and the handler.
void WINAPI service_main(DWORD dwArgc, LPWSTR* lpszArgv);

// The handler registration service_main makes. A test process has no
// dispatcher to register with, so tests replace it (together with the status
// reporter) to run the real service_main; returns the registrar it replaced.
using ServiceCtrlRegistrar = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID);
ServiceCtrlRegistrar SetServiceCtrlRegistrar(ServiceCtrlRegistrar registrar) noexcept;
