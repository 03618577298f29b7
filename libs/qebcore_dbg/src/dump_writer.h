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
// security, deletes all but the newest MAX_KEPT_DUMPS - 1 earlier dumps and
// makes the folder for Windows Error Reporting's dumps private.
bool PrepareDumpWriter() noexcept;
void ReleaseDumpWriter() noexcept;

// A dump needs no symbols, but a dbghelp that finds the process unknown to
// its symbol handler at the crash may load every module's symbols first
// (Wine's does, and copies each function's unwind data too: seconds).
// Registered ahead, without its modules, the process is known and the dump
// is only the dump. On the dump thread, the one thread that uses dbghelp, so
// that the registration (55-250 ms under Wine) is not on the service's way
// to its first status report.
void RegisterForDumps() noexcept;

// "<logs>\<process>_<pid>_<yyyymmddThhmmssZ>.dmp", the name of this
// process's dump written now.
void ComposeDumpPath(wchar_t (&path)[DUMP_PATH_CHARS]) noexcept;

// Writes the dump at `path` (from ComposeDumpPath), readable by SYSTEM and
// the administrators only, for the exception on thread `threadId`; the Win32
// error on failure, with nothing left at `path`.
DWORD WriteCrashDump(EXCEPTION_POINTERS* exception, DWORD threadId, const wchar_t* path) noexcept;

}  // namespace qebdbg
