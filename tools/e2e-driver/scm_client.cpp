#include "scm_client.h"

#include <utility>

namespace qeb::scm {

namespace {

constexpr DWORD kPollIntervalMs = 5;

SC_HANDLE OpenManager(DWORD access, DWORD* error) {
    const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, access);
    *error = manager != nullptr ? ERROR_SUCCESS : ::GetLastError();
    return manager;
}

// Opens the service afresh and makes one call on it; the call's error code.
// Under Wine such a call now and then fails with ERROR_INVALID_HANDLE while
// another thread of this process polls the same service (docs/wine-notes.md).
// The request has then not reached the manager, so it is made again on a new
// handle; a request that did reach it shows in the next attempt's answer.
template <typename Call>
DWORD OnFreshHandle(DWORD access, const wchar_t* name, Call call) {
    constexpr int kAttempts = 3;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const ServiceHandle service = OpenNamedService(access, &error, name);
        if (service) error = call(service.get()) ? ERROR_SUCCESS : ::GetLastError();
        if (error != ERROR_INVALID_HANDLE) break;
        ::Sleep(kPollIntervalMs);
    }
    return error;
}

}  // namespace

ServiceHandle OpenNamedService(DWORD access, DWORD* error, const wchar_t* name) {
    const SC_HANDLE manager = OpenManager(SC_MANAGER_CONNECT, error);
    if (manager == nullptr) return ServiceHandle();
    const SC_HANDLE service = ::OpenServiceW(manager, name, access);
    *error = service != nullptr ? ERROR_SUCCESS : ::GetLastError();
    return ServiceHandle(manager, service);
}

DWORD InstallService(const std::wstring& exePath, const wchar_t* name) {
    DWORD error = ERROR_SUCCESS;
    const UniqueServiceHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT, &error));
    if (!manager) return error;
    // Quoted, so that a path with blanks names one file.
    const std::wstring commandLine = L"\"" + exePath + L"\"";
    // Closed before its manager: under Wine a service handle needs it.
    const UniqueServiceHandle created(
        ::CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return created ? ERROR_SUCCESS : ::GetLastError();
}

DWORD StartNamedService(const wchar_t* name) {
    return OnFreshHandle(SERVICE_START, name, [](SC_HANDLE service) { return ::StartServiceW(service, 0, nullptr); });
}

DWORD SendControl(DWORD control, SERVICE_STATUS* status, const wchar_t* name) {
    constexpr DWORD kAccess = SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL |
                              SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS;
    SERVICE_STATUS local = {};
    return OnFreshHandle(kAccess, name, [&](SC_HANDLE service) {
        return ::ControlService(service, control, status != nullptr ? status : &local);
    });
}

DWORD QueryStatus(SERVICE_STATUS_PROCESS* status, const wchar_t* name) {
    return OnFreshHandle(SERVICE_QUERY_STATUS, name, [status](SC_HANDLE service) {
        DWORD needed = 0;
        return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status), sizeof(*status),
                                      &needed);
    });
}

DWORD DeleteNamedService(const wchar_t* name) {
    return OnFreshHandle(DELETE, name, [](SC_HANDLE service) { return ::DeleteService(service); });
}

bool WaitForServiceState(DWORD state, DWORD timeoutMs, const wchar_t* name) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        if (QueryStatus(&status, name) != ERROR_SUCCESS) return false;
        if (status.dwCurrentState == state) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kPollIntervalMs);
    }
}

bool RemoveServiceQuietly(DWORD timeoutMs, const wchar_t* name) {
    SERVICE_STATUS_PROCESS status = {};
    const DWORD queried = QueryStatus(&status, name);
    if (queried == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    if (queried != ERROR_SUCCESS) return false;
    if (status.dwCurrentState != SERVICE_STOPPED) {
        SendControl(SERVICE_CONTROL_STOP, nullptr, name);
        if (!WaitForServiceState(SERVICE_STOPPED, timeoutMs, name) && status.dwProcessId != 0) {
            // A service that does not stop is ended the hard way.
            const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
            if (process != nullptr) {
                ::TerminateProcess(process, 1);
                ::WaitForSingleObject(process, timeoutMs);
                ::CloseHandle(process);
            }
            WaitForServiceState(SERVICE_STOPPED, timeoutMs, name);
        }
    }
    const DWORD deleted = DeleteNamedService(name);
    return deleted == ERROR_SUCCESS || deleted == ERROR_SERVICE_MARKED_FOR_DELETE;
}

const char* ServiceStateName(DWORD state) noexcept {
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
    }
}

}  // namespace qeb::scm
