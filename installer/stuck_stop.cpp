// QEBCoreStuckStop <service name>: run by the package right before it stops
// the service. Windows refuses a stop (1061) while a service reports start
// pending or stop pending, and QEBCoreService stays start pending for as long
// as its container cannot be launched; the package's own stop would fail,
// and with it the upgrade that carries the fix. In that state this program
// ends the service's process, found through the Service Control Manager by
// the service, never by an image name (which any process can carry), after
// deleting the service's recovery actions so that the manager does not start
// it again in the middle of the upgrade (the package sets them again once
// the service is installed). A service that is stopped or accepts a stop is
// left to the package. Exit code 0: nothing to do, or the process ended;
// 1: it could not be done (the package goes on, and its stop then fails as
// it would have).

#include <windows.h>

#include <cstdio>
#include <memory>
#include <type_traits>

#include "unique_handle.h"

namespace {

struct ServiceHandleClose {
    void operator()(SC_HANDLE handle) const noexcept { ::CloseServiceHandle(handle); }
};
using UniqueServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleClose>;

constexpr DWORD kEndWaitMs = 10000;
// Windows shows a service stopped as soon as its process has ended.
constexpr DWORD kStoppedWaitMs = 5000;

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) noexcept {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed) != FALSE;
}

int Fail(const char* what) noexcept {
    std::printf("QEBCoreStuckStop: %s failed, error %lu\n", what, ::GetLastError());
    return 1;
}

// The manager shows the service stopped once it has seen its process end;
// StopServices, next, then finds nothing to stop.
bool WaitStopped(SC_HANDLE service) noexcept {
    SERVICE_STATUS_PROCESS status = {};
    for (const ULONGLONG deadline = ::GetTickCount64() + kStoppedWaitMs; ::GetTickCount64() < deadline; ::Sleep(50)) {
        if (Query(service, status) && status.dwCurrentState == SERVICE_STOPPED) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: QEBCoreStuckStop <service name>\n");
        return 1;
    }
    const UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return Fail("OpenSCManager");
    const UniqueServiceHandle service(
        ::OpenServiceA(manager.get(), argv[1], SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
    if (!service) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail("OpenService");

    SERVICE_STATUS_PROCESS status = {};
    if (!Query(service.get(), status)) return Fail("QueryServiceStatusEx");
    if ((status.dwCurrentState != SERVICE_START_PENDING && status.dwCurrentState != SERVICE_STOP_PENDING) ||
        status.dwProcessId == 0) {
        return 0;  // the package's stop can reach it, or there is nothing to stop
    }

    // No actions at all (a list given, of none) deletes them.
    SC_ACTION noAction = {};
    SERVICE_FAILURE_ACTIONSA none = {};
    none.lpsaActions = &noAction;
    if (!::ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &none)) {
        return Fail("ChangeServiceConfig2 (recovery actions)");
    }
    const qeb::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
    if (!process) return Fail("OpenProcess");
    // While the handle is open the id names no other process: asked again,
    // the manager confirms that it is still the service's.
    SERVICE_STATUS_PROCESS again = {};
    if (!Query(service.get(), again)) return Fail("QueryServiceStatusEx");
    if (again.dwProcessId != status.dwProcessId) return again.dwCurrentState == SERVICE_STOPPED ? 0 : 1;

    std::printf("QEBCoreStuckStop: service %s refuses a stop (state %lu), ending its process %lu\n", argv[1],
                status.dwCurrentState, status.dwProcessId);
    if (!::TerminateProcess(process.get(), ERROR_SERVICE_REQUEST_TIMEOUT)) return Fail("TerminateProcess");
    if (::WaitForSingleObject(process.get(), kEndWaitMs) != WAIT_OBJECT_0) return Fail("waiting for the process");
    if (!WaitStopped(service.get())) std::printf("QEBCoreStuckStop: the service is not shown stopped yet\n");
    return 0;
}
