#pragma once
// The one path every crash takes, whichever handler saw it: the dump
// thread writes the line, then the dump, then calls the crash callback,
// while the crashed thread waits; then the process ends.

#include <windows.h>

namespace qebdbg {

// What the crash's line calls the crash, and the handler that saw it.
struct CrashSource {
    const char* what;
    const char* handler;
};

// Hands the crash to the dump thread, waits for it at most the deadline and
// ends the process with `exitCode` (the first crash's, when several threads
// crash at once). Never returns.
void EndInCrash(const CrashSource& source, DWORD exitCode, EXCEPTION_POINTERS* exception) noexcept;

// The same for a crash that raised no exception (abort, std::terminate):
// the calling thread's own state stands in for the exception's, so the dump
// shows where it was called.
void EndInCrashHere(const CrashSource& source, DWORD exitCode) noexcept;

// The handlers that lead into it (crash_sources.cpp), installed and removed
// as one.
void InstallCrashSources() noexcept;
void RemoveCrashSources() noexcept;

}  // namespace qebdbg
