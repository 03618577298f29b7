#pragma once
// qebcore_dbg: crash dumps. DbgSdkInit installs an unhandled-exception filter
// and starts an idle dump thread. On a crash the filter hands the exception
// to that thread, which writes a minidump into the "logs" folder beside the
// executable (readable by SYSTEM and the administrators only; the newest
// three kept) and logs one line naming it. Whether or not the dump is done,
// the process ends within 15 s of the crash with the exception code as its
// exit code. DbgSdkUnInit restores the previous filter and ends the thread.
// Both are idempotent.

void DbgSdkInit();
void DbgSdkUnInit();

// Called with the dump's full path once it is written, on the dump thread,
// inside the same 15 s: e.g. to report the crash to the Event Log. It runs
// in a process that has crashed: it must not wait for anything another
// thread may hold. Null (the default) calls nothing.
using DbgSdkCrashCallback = void (*)(const wchar_t* dumpPath);
void DbgSdkSetCrashCallback(DbgSdkCrashCallback callback) noexcept;
