#pragma once
// Minidumps of the running process, written from its unhandled-exception
// filter. Everything a crash needs is prepared in advance, so that writing a
// dump touches neither the heap nor the loader.

#include <windows.h>

namespace qebdbg {

constexpr size_t DUMP_PATH_CHARS = 1400;

// Loads dbghelp from System32 and remembers the dump folder ("logs" beside
// the executable, created if missing) and the process name.
bool PrepareDumpWriter() noexcept;
void ReleaseDumpWriter() noexcept;

// Writes "<logs>\<process>_<pid>_<yyyymmddThhmmssZ>.dmp" and returns its path
// in `path`; on failure returns the Win32 error and leaves `path` as far as
// it was composed.
DWORD WriteCrashDump(EXCEPTION_POINTERS* exception, wchar_t (&path)[DUMP_PATH_CHARS]) noexcept;

}  // namespace qebdbg
