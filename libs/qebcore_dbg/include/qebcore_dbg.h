#pragma once
// qebcore_dbg: crash dumps. DbgSdkInit prepares one crash path and routes
// every way the process can die in it there: an unhandled exception (the
// unhandled-exception filter), heap corruption (a vectored handler, which
// sees what Windows otherwise ends without asking the filter), abort()
// (SIGABRT) and std::terminate. Each hands the crash to an idle dump thread,
// which logs one line naming the dump, writes a minidump into the "logs"
// folder beside the executable (readable by SYSTEM and the administrators
// only; the newest three kept) and then calls the crash callback. Whether or
// not the dump is done, the process ends within 15 s of the crash with an
// exit code that tells what happened: the exception's code, 0xC0000374 for
// heap corruption, 0x40000015 (STATUS_FATAL_APP_EXIT) for abort(),
// 0xE06D7363 (the C++ exception code) for std::terminate. DbgSdkUnInit puts
// the earlier handlers back and ends the thread. Both are idempotent.
// DbgSdkInit also makes "crashdumps" beside the executable private (SYSTEM
// and administrators): the folder the package gives Windows Error Reporting
// for the crashes no handler in the process sees (fail-fast).

void DbgSdkInit();
void DbgSdkUnInit();

// Reserves stack for the crash handler on the calling thread, so that a
// stack overflow there still reaches it. Every thread of the service calls
// it first; DbgSdkInit does it for its caller.
void DbgSdkPrepareThread() noexcept;

// Called with the dump's full path once it is written, on the dump thread,
// after the crash's line, inside the same 15 s: e.g. to report the crash to
// the Event Log. It runs in a process that has crashed: it must not wait for
// anything another thread may hold. Null (the default) calls nothing.
using DbgSdkCrashCallback = void (*)(const wchar_t* dumpPath);
void DbgSdkSetCrashCallback(DbgSdkCrashCallback callback) noexcept;
