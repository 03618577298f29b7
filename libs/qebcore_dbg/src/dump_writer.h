#pragma once
// Minidumps of the running process, written by the dump thread while the
// crashing thread waits. Everything a crash needs (dbghelp, paths, the
// dump's security) is prepared in advance.

#include <windows.h>

namespace qebdbg {

constexpr size_t DUMP_PATH_CHARS = 1400;
// Dumps of one program kept in its folder; older ones are deleted.
constexpr size_t MAX_KEPT_DUMPS = 3;

// Loads dbghelp from System32, remembers the dump folder ("logs" beside the
// executable, created if missing) and the process name, prepares the dumps'
// security and deletes all but the newest MAX_KEPT_DUMPS - 1 earlier dumps.
bool PrepareDumpWriter() noexcept;
void ReleaseDumpWriter() noexcept;

// Writes "<logs>\<process>_<pid>_<yyyymmddThhmmssZ>.dmp", readable by SYSTEM
// and the administrators only, for the exception on thread `threadId`, and
// returns its path in `path`; on failure returns the Win32 error and leaves
// `path` as far as it was composed.
DWORD WriteCrashDump(EXCEPTION_POINTERS* exception, DWORD threadId, wchar_t (&path)[DUMP_PATH_CHARS]) noexcept;

}  // namespace qebdbg
