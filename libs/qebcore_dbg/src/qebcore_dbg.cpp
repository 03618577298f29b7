#include "qebcore_dbg.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "dump_writer.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"

namespace {

constexpr char LOG_TAG[] = "container";
constexpr char FILTER_NAME[] = "DbgSdkCrashFilter";
// How long a crashing thread waits for its dump before the process ends
// anyway: a dump that cannot finish (a lock the crash left held, a fault in
// dbghelp) must not keep a dead service from being restarted. This process's
// dump takes well under a second on Windows (up to 9 s under Wine on a busy
// machine); the rest is room for a slow disk.
constexpr DWORD CRASH_DUMP_DEADLINE_MS = 15000;
// The exit code when the filter is given no exception record: never 0,
// which would read as a clean end (STATUS_UNHANDLED_EXCEPTION).
constexpr DWORD UNKNOWN_EXCEPTION_CODE = 0xC0000144;
// How long DbgSdkUnInit waits for the idle dump thread to end.
constexpr DWORD DUMP_THREAD_END_WAIT_MS = 1000;

std::mutex s_installMutex;
bool s_bInstalled = false;
LPTOP_LEVEL_EXCEPTION_FILTER s_previousFilter = nullptr;

// Shared by the crashing thread and the dump thread. The filter only reads
// and stores these and signals: it allocates nothing and takes no lock, so a
// crash that leaves the heap, the loader or the log locked cannot hold it.
std::atomic<bool> s_bCrashing{false};
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

void LogCrash(DWORD exceptionCode, DWORD error, const wchar_t* path) noexcept {
    try {
        std::string line = "Unhandled exception " + std::to_string(exceptionCode);
        if (error == ERROR_SUCCESS)
            line += ", crash dump: " + ToNarrow(path);
        else
            line += ", crash dump failed error = " + std::to_string(error);
        line += "(";
        line += FILTER_NAME;
        line += ")";
        QEBLOGE(LOG_TAG, line);
        FlushQebLogFile();
    } catch (...) {
    }
}

DWORD WINAPI DumpThread(void* /*unused*/) {
    ::WaitForSingleObject(s_hCrashEvent, INFINITE);
    if (s_bCrashing.load()) {
        // The process is ending: a line waits only briefly for the log.
        BoundQebLogWaitsForStop();
        wchar_t path[qebdbg::DUMP_PATH_CHARS] = {};
        const DWORD error = qebdbg::WriteCrashDump(s_exception.load(), s_crashThreadId.load(), path);
        const DbgSdkCrashCallback callback = s_callback.load();
        if (error == ERROR_SUCCESS && callback != nullptr) callback(path);
        LogCrash(s_exitCode.load(), error, path);
    }
    ::SetEvent(s_hDoneEvent);
    return 0;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception != nullptr && exception->ExceptionRecord != nullptr
                           ? exception->ExceptionRecord->ExceptionCode
                           : UNKNOWN_EXCEPTION_CODE;
    if (!s_bCrashing.exchange(true)) {
        s_exception.store(exception);
        s_crashThreadId.store(::GetCurrentThreadId());
        s_exitCode.store(code);
        ::SetEvent(s_hCrashEvent);
    } else if (::GetCurrentThreadId() == s_dumpThreadId) {
        // The dump itself faulted: nothing more will come of it.
        ::TerminateProcess(::GetCurrentProcess(), s_exitCode.load());
    }
    // A second crashing thread waits like the first; the first crash's code
    // is the process's exit code either way.
    ::WaitForSingleObject(s_hDoneEvent, CRASH_DUMP_DEADLINE_MS);
    ::TerminateProcess(::GetCurrentProcess(), s_exitCode.load());
    return EXCEPTION_CONTINUE_SEARCH;  // not reached
}

// The thread and its events exist before any crash: a crash cannot create
// them. Without them the filter still ends the process, at once.
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

void DbgSdkInit() {
    try {
        std::lock_guard<std::mutex> lock(s_installMutex);
        if (s_bInstalled || s_bCrashing.load()) return;
        // Without dbghelp the filter still logs the crash and ends the process.
        qebdbg::PrepareDumpWriter();
        StartDumpThread();
        s_previousFilter = ::SetUnhandledExceptionFilter(CrashFilter);
        s_bInstalled = true;
    } catch (...) {
    }
}

void DbgSdkUnInit() {
    try {
        std::lock_guard<std::mutex> lock(s_installMutex);
        if (!s_bInstalled || s_bCrashing.load()) return;
        ::SetUnhandledExceptionFilter(s_previousFilter);
        s_previousFilter = nullptr;
        s_bInstalled = false;
        StopDumpThread();
        qebdbg::ReleaseDumpWriter();
    } catch (...) {
    }
}

void DbgSdkSetCrashCallback(DbgSdkCrashCallback callback) noexcept { s_callback.store(callback); }
