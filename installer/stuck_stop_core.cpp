#include "stuck_stop_core.h"

#include <cstdio>
#include <string>
#include <vector>

#include "unique_handle.h"

namespace qeb::installer {

namespace {

constexpr DWORD kEndWaitMs = 10000;
// Windows shows a service stopped as soon as its process has ended.
constexpr DWORD kStoppedWaitMs = 5000;

class Reporter {
public:
    Reporter(HelperLog log, void* context) noexcept : m_log(log), m_context(context) {}
    void Say(const char* text) const noexcept {
        if (m_log != nullptr) m_log(m_context, text);
    }
    StuckStopResult Fail(const char* what) const noexcept {
        const DWORD error = ::GetLastError();
        char line[160] = {};
        std::snprintf(line, sizeof line, "%s failed, error %lu", what, error);
        Say(line);
        return StuckStopResult::Failed;
    }

private:
    HelperLog m_log;
    void* m_context;
};

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) noexcept {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed) != FALSE;
}

// The manager shows the service stopped once it has seen its process end;
// the package's stop, next, then finds nothing to stop.
bool WaitStopped(SC_HANDLE service) noexcept {
    SERVICE_STATUS_PROCESS status = {};
    for (const ULONGLONG deadline = ::GetTickCount64() + kStoppedWaitMs; ::GetTickCount64() < deadline; ::Sleep(50)) {
        if (Query(service, status) && status.dwCurrentState == SERVICE_STOPPED) return true;
    }
    return false;
}

UniqueServiceHandle OpenNamed(const wchar_t* serviceName, DWORD access, DWORD* error) noexcept {
    const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(manager ? ::OpenServiceW(manager.get(), serviceName, access) : nullptr);
    *error = service ? ERROR_SUCCESS : ::GetLastError();
    return service;
}

std::wstring SaveKey(const wchar_t* serviceName) { return std::wstring(L"SOFTWARE\\") + serviceName; }

// The reset period, then each action's type and delay, as 32-bit values.
void SaveActions(SC_HANDLE service, const wchar_t* serviceName, const Reporter& reporter) {
    DWORD needed = 0;
    ::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    if (needed < sizeof *actions ||
        !::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed, &needed)) {
        reporter.Fail("QueryServiceConfig2 (recovery actions)");
        return;
    }
    if (actions->cActions == 0) return;
    std::vector<DWORD> saved{actions->dwResetPeriod};
    for (DWORD i = 0; i < actions->cActions; ++i) {
        saved.push_back(static_cast<DWORD>(actions->lpsaActions[i].Type));
        saved.push_back(actions->lpsaActions[i].Delay);
    }
    if (::RegSetKeyValueW(HKEY_LOCAL_MACHINE, SaveKey(serviceName).c_str(), REMOVED_ACTIONS_VALUE, REG_BINARY,
                          saved.data(), static_cast<DWORD>(saved.size() * sizeof(DWORD))) != ERROR_SUCCESS)
        reporter.Say("the recovery actions could not be saved for a rollback");
}

void ForgetSavedActions(const wchar_t* serviceName) {
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SaveKey(serviceName).c_str(), REMOVED_ACTIONS_VALUE);
}

StuckStopResult EndStuck(const wchar_t* serviceName, const Reporter& reporter) {
    DWORD error = ERROR_SUCCESS;
    const UniqueServiceHandle service =
        OpenNamed(serviceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG, &error);
    if (!service) {
        ::SetLastError(error);
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? StuckStopResult::NothingToDo : reporter.Fail("OpenService");
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!Query(service.get(), status)) return reporter.Fail("QueryServiceStatusEx");
    ForgetSavedActions(serviceName);  // what a rollback of this run puts back is this run's
    if ((status.dwCurrentState != SERVICE_START_PENDING && status.dwCurrentState != SERVICE_STOP_PENDING) ||
        status.dwProcessId == 0) {
        return StuckStopResult::NothingToDo;
    }
    SaveActions(service.get(), serviceName, reporter);
    // No actions at all (a list given, of none) deletes them.
    SC_ACTION noAction = {};
    SERVICE_FAILURE_ACTIONSW none = {};
    none.lpsaActions = &noAction;
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &none))
        return reporter.Fail("ChangeServiceConfig2 (recovery actions)");
    const qeb::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
    if (!process) return reporter.Fail("OpenProcess");
    // While the handle is open the id names no other process: asked again,
    // the manager confirms that it is still the service's.
    SERVICE_STATUS_PROCESS again = {};
    if (!Query(service.get(), again)) return reporter.Fail("QueryServiceStatusEx");
    if (again.dwProcessId != status.dwProcessId)
        return again.dwCurrentState == SERVICE_STOPPED ? StuckStopResult::NothingToDo : StuckStopResult::Failed;

    char line[160] = {};
    std::snprintf(line, sizeof line, "the service refuses a stop (state %lu), ending its process %lu",
                  status.dwCurrentState, status.dwProcessId);
    reporter.Say(line);
    if (!::TerminateProcess(process.get(), ERROR_SERVICE_REQUEST_TIMEOUT)) return reporter.Fail("TerminateProcess");
    if (::WaitForSingleObject(process.get(), kEndWaitMs) != WAIT_OBJECT_0)
        return reporter.Fail("waiting for the process");
    if (!WaitStopped(service.get())) reporter.Say("the service is not shown stopped yet");
    return StuckStopResult::Ended;
}

bool Restore(const wchar_t* serviceName, const Reporter& reporter) {
    DWORD saved[1 + 2 * 16] = {};
    DWORD size = sizeof saved;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, SaveKey(serviceName).c_str(), REMOVED_ACTIONS_VALUE, RRF_RT_REG_BINARY,
                       nullptr, saved, &size) != ERROR_SUCCESS)
        return true;  // nothing was removed
    const DWORD count = size >= sizeof(DWORD) ? (size / sizeof(DWORD) - 1) / 2 : 0;
    SC_ACTION actions[16] = {};
    for (DWORD i = 0; i < count; ++i)
        actions[i] = SC_ACTION{static_cast<SC_ACTION_TYPE>(saved[1 + 2 * i]), saved[2 + 2 * i]};
    SERVICE_FAILURE_ACTIONSW restored = {};
    restored.dwResetPeriod = saved[0];
    restored.cActions = count;
    restored.lpsaActions = actions;
    DWORD error = ERROR_SUCCESS;
    // Restart actions need the right to start the service.
    const UniqueServiceHandle service = OpenNamed(serviceName, SERVICE_CHANGE_CONFIG | SERVICE_START, &error);
    ::SetLastError(error);
    if (!service || !::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &restored)) {
        reporter.Fail(service ? "ChangeServiceConfig2 (recovery actions)" : "OpenService");
        return false;
    }
    ForgetSavedActions(serviceName);
    reporter.Say("the recovery actions are back");
    return true;
}

// Only memory can run out in `work`; that ends it as a failure.
template <typename Result>
Result Guarded(const Reporter& reporter, Result failed, Result (*work)(const wchar_t*, const Reporter&),
               const wchar_t* serviceName) noexcept {
    try {
        return work(serviceName, reporter);
    } catch (...) {
        reporter.Say("out of memory");
        return failed;
    }
}

}  // namespace

StuckStopResult EndStuckService(const wchar_t* serviceName, HelperLog log, void* context) noexcept {
    return Guarded(Reporter(log, context), StuckStopResult::Failed, &EndStuck, serviceName);
}

bool RestoreRemovedRecoveryActions(const wchar_t* serviceName, HelperLog log, void* context) noexcept {
    return Guarded(Reporter(log, context), false, &Restore, serviceName);
}

}  // namespace qeb::installer
