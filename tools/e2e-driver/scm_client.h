#pragma once
// A small client of the Service Control Manager, shared by the end-to-end
// tests and the demo's driver program. Every call returns the Win32 error
// code (ERROR_SUCCESS when it worked) instead of throwing.

#include <windows.h>

#include <string>

#include "unique_handle.h"

namespace qeb::scm {

inline constexpr wchar_t kServiceName[] = L"QEBCoreService";

// An open service together with the manager it was opened from (both
// closed once, service first): under Wine a service handle stops working
// once its manager handle is closed.
class ServiceHandle {
public:
    ServiceHandle() noexcept = default;
    ServiceHandle(SC_HANDLE manager, SC_HANDLE service) noexcept : m_manager(manager), m_service(service) {}

    SC_HANDLE get() const noexcept { return m_service.get(); }
    explicit operator bool() const noexcept { return m_service.valid(); }

private:
    // In this order, so that the service is closed first.
    UniqueServiceHandle m_manager;
    UniqueServiceHandle m_service;
};

// Opens the service with the given access; error code in *error when it fails.
ServiceHandle OpenNamedService(DWORD access, DWORD* error, const wchar_t* name = kServiceName);

// Registers an own-process, demand-start service running exePath.
DWORD InstallService(const std::wstring& exePath, const wchar_t* name = kServiceName);
DWORD StartNamedService(const wchar_t* name = kServiceName);
// Sends a control code; *status gets what ControlService returned.
DWORD SendControl(DWORD control, SERVICE_STATUS* status, const wchar_t* name = kServiceName);
DWORD QueryStatus(SERVICE_STATUS_PROCESS* status, const wchar_t* name = kServiceName);
DWORD DeleteNamedService(const wchar_t* name = kServiceName);

// Polls until the service reports `state`; false on time-out or when the
// service cannot be queried.
bool WaitForServiceState(DWORD state, DWORD timeoutMs, const wchar_t* name = kServiceName);

// Stops the service if it is active, waits up to timeoutMs for it to stop
// (terminating its process when it does not), and deletes it. True when no
// such service is left (or it is marked for deletion).
bool RemoveServiceQuietly(DWORD timeoutMs, const wchar_t* name = kServiceName);

const char* ServiceStateName(DWORD state) noexcept;

}  // namespace qeb::scm
