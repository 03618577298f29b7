#include "qebcore_dbg.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "crash_path.h"
#include "dump_writer.h"
#include "locks.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "thread_annotations.h"

namespace {

constexpr char LOG_TAG[] = "dbg";
// How long a crashing thread waits for its dump before the process ends
// anyway: a dump that cannot finish (a lock the crash left held, a fault in
// dbghelp) must not keep a dead service from being restarted. This process's
// dump takes well under a second on Windows (0.1-0.5 s under Wine); the rest
// is room for a slow disk and a busy machine.
constexpr DWORD CRASH_DUMP_DEADLINE_MS = 15000;
// How long DbgSdkUnInit waits for the idle dump thread to end.
constexpr DWORD DUMP_THREAD_END_WAIT_MS = 1000;

qeb::SlimMutex s_installMutex;
bool s_bInstalled GUARDED_BY(s_installMutex) = false;

// Shared by the crashing thread and the dump thread. The crash path only
// reads and stores these and signals: it allocates nothing and takes no
// lock, so a crash that leaves the heap, the loader or the log locked cannot
// hold it.
std::atomic<bool> s_bCrashing{false};
std::atomic<const qebdbg::CrashSource*> s_source{nullptr};
std::atomic<EXCEPTION_POINTERS*> s_exception{nullptr};
std::atomic<DWORD> s_crashThreadId{0};
std::atomic<DWORD> s_exitCode{0};
std::atomic<DbgSdkCrashCallback> s_callback{nullptr};
HANDLE s_hCrashEvent = nullptr;  // auto-reset: a crash, or the end at DbgSdkUnInit
HANDLE s_hDoneEvent = nullptr;   // manual-reset: the dump thread finished its work
HANDLE s_hDumpThread = nullptr;
DWORD s_dumpThreadId = 0;

std::string ToNarrow(const wchar_t* text) {
    char buffer[qebdbg::DUMP_PATH_CHARS * 2] = {};
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return length > 0 ? std::string(buffer) : std::string();
}

void LogCrashLine(const std::string& text, const qebdbg::CrashSource& source) noexcept {
    try {
        QEBLOGE(LOG_TAG, text + "(" + source.handler + ")");
        FlushQebLogFile();
    } catch (...) {
    }
}

// The line comes first, before anything that can block (the dump, the
// callback's report to the Event Log): it names the dump being written.
void HandleCrash(const qebdbg::CrashSource& source) noexcept {
    wchar_t path[qebdbg::DUMP_PATH_CHARS] = {};
    qebdbg::ComposeDumpPath(path);
    try {
        LogCrashLine(
            std::string(source.what) + " " + std::to_string(s_exitCode.load()) + ", crash dump: " + ToNarrow(path),
            source);
    } catch (...) {
    }
    const DWORD error = qebdbg::WriteCrashDump(s_exception.load(), s_crashThreadId.load(), path);
    if (error != ERROR_SUCCESS) {
        try {
            LogCrashLine("crash dump failed error = " + std::to_string(error), source);
        } catch (...) {
        }
        return;
    }
    const DbgSdkCrashCallback callback = s_callback.load();
    if (callback != nullptr) callback(path);
}

DWORD WINAPI DumpThread(void* /*unused*/) {
    qebdbg::RegisterForDumps();
    ::WaitForSingleObject(s_hCrashEvent, INFINITE);
    // Set only by a crash, before the event: woken without one, at
    // DbgSdkUnInit, the thread just ends.
    const qebdbg::CrashSource* source = s_source.load();
    if (source != nullptr) {
        // The process is ending: a line waits only briefly for the log.
        BoundQebLogWaitsForStop();
        HandleCrash(*source);
    }
    ::SetEvent(s_hDoneEvent);
    return 0;
}

// The thread and its events exist before any crash: a crash cannot create
// them. Without them the crash path still ends the process, at once.
void StartDumpThread() noexcept {
    s_hCrashEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s_hDoneEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s_hCrashEvent != nullptr && s_hDoneEvent != nullptr)
        s_hDumpThread = ::CreateThread(nullptr, 0, DumpThread, nullptr, 0, &s_dumpThreadId);
    if (s_hDumpThread == nullptr && s_hDoneEvent != nullptr) ::SetEvent(s_hDoneEvent);
}

void StopDumpThread() noexcept {
    if (s_hDumpThread != nullptr) {
        ::SetEvent(s_hCrashEvent);
        // An idle thread ends at once; should it not, it is left to the
        // process's end rather than having its objects closed under it.
        if (::WaitForSingleObject(s_hDumpThread, DUMP_THREAD_END_WAIT_MS) != WAIT_OBJECT_0) return;
        ::CloseHandle(s_hDumpThread);
        s_hDumpThread = nullptr;
    }
    for (HANDLE* handle : {&s_hCrashEvent, &s_hDoneEvent}) {
        if (*handle != nullptr) ::CloseHandle(*handle);
        *handle = nullptr;
    }
}

}  // namespace

namespace qebdbg {

void EndInCrash(const CrashSource& source, DWORD exitCode, EXCEPTION_POINTERS* exception) noexcept {
    if (!s_bCrashing.exchange(true)) {
        s_source.store(&source);
        s_exception.store(exception);
        s_crashThreadId.store(::GetCurrentThreadId());
        s_exitCode.store(exitCode);
        ::SetEvent(s_hCrashEvent);
    } else if (::GetCurrentThreadId() == s_dumpThreadId) {
        // The dump itself crashed: nothing more will come of it.
        ::TerminateProcess(::GetCurrentProcess(), s_exitCode.load());
    }
    // A second crashing thread waits like the first; the first crash's code
    // is the process's exit code either way.
    ::WaitForSingleObject(s_hDoneEvent, CRASH_DUMP_DEADLINE_MS);
    ::TerminateProcess(::GetCurrentProcess(), s_exitCode.load());
}

void EndInCrashHere(const CrashSource& source, DWORD exitCode) noexcept {
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = exitCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS exception{&record, &context};
    EndInCrash(source, exitCode, &exception);
}

}  // namespace qebdbg

void DbgSdkInit() {
    try {
        const qeb::LockGuard<qeb::SlimMutex> lock(s_installMutex);
        if (s_bInstalled || s_bCrashing.load()) return;
        DbgSdkPrepareThread();
        // Without dbghelp the crash path still logs the crash and ends the process.
        qebdbg::PrepareDumpWriter();
        StartDumpThread();
        qebdbg::InstallCrashSources();
        s_bInstalled = true;
    } catch (...) {
    }
}

void DbgSdkUnInit() {
    try {
        const qeb::LockGuard<qeb::SlimMutex> lock(s_installMutex);
        if (!s_bInstalled || s_bCrashing.load()) return;
        qebdbg::RemoveCrashSources();
        s_bInstalled = false;
        StopDumpThread();
        qebdbg::ReleaseDumpWriter();
    } catch (...) {
    }
}

void DbgSdkSetCrashCallback(DbgSdkCrashCallback callback) noexcept { s_callback.store(callback); }
