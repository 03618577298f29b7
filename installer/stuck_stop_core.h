#pragma once
// Ending a service stuck where Windows refuses a stop, for the package's
// custom action and for the command-line helper. Windows refuses a stop
// (1061) while a service reports start pending or stop pending, and
// QEBCoreService stays start pending for as long as its container cannot be
// launched: the package's own stop would fail, and with it the upgrade that
// carries the fix.

#include <windows.h>

namespace qeb::installer {

// A line for whoever runs the helper (the package's log, the console).
using HelperLog = void (*)(void* context, const char* text);

enum class StuckStopResult {
    NothingToDo,  // no such service, stopped, or it accepts a stop
    Ended,        // its process was stuck and has ended
    Failed,       // it could not be done; the caller's stop then fails as it would have
};

// In start pending or stop pending with a process: saves the service's
// recovery actions (SaveKey below), deletes them so that the manager does
// not start it again meanwhile, and ends the process, found through the
// Service Control Manager by the service, never by an image name (which any
// process can carry). Otherwise forgets any actions saved earlier.
StuckStopResult EndStuckService(const wchar_t* serviceName, HelperLog log, void* context) noexcept;

// Puts back the recovery actions EndStuckService saved and removed, and
// forgets them; for the package's rollback. True when there were none to
// put back or they are back.
bool RestoreRemovedRecoveryActions(const wchar_t* serviceName, HelperLog log, void* context) noexcept;

// Where the removed actions wait, under HKEY_LOCAL_MACHINE, as the value
// REMOVED_ACTIONS_VALUE of key SOFTWARE\<service name>.
inline constexpr wchar_t REMOVED_ACTIONS_VALUE[] = L"RemovedRecoveryActions";

}  // namespace qeb::installer
