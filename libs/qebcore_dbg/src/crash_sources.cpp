#include <windows.h>

#include <csignal>
#include <exception>

#include "crash_path.h"

namespace qebdbg {

namespace {

constexpr DWORD HEAP_CORRUPTION_CODE = 0xC0000374;  // STATUS_HEAP_CORRUPTION
// abort() and std::terminate end with codes of their own, never the C
// runtime's 3, which reads like an ordinary exit code.
constexpr DWORD ABORT_EXIT_CODE = 0x40000015;      // STATUS_FATAL_APP_EXIT
constexpr DWORD TERMINATE_EXIT_CODE = 0xE06D7363;  // the C++ exception code
// The exit code when the filter is given no exception record: never 0,
// which would read as a clean end (STATUS_UNHANDLED_EXCEPTION).
constexpr DWORD UNKNOWN_EXCEPTION_CODE = 0xC0000144;

constexpr CrashSource FILTER_SOURCE{"Unhandled exception", "DbgSdkCrashFilter"};
constexpr CrashSource HEAP_SOURCE{"Heap corruption", "DbgSdkHeapCorruptionHandler"};
constexpr CrashSource ABORT_SOURCE{"abort()", "DbgSdkAbortHandler"};
constexpr CrashSource TERMINATE_SOURCE{"std::terminate()", "DbgSdkTerminateHandler"};

LPTOP_LEVEL_EXCEPTION_FILTER s_previousFilter = nullptr;
PVOID s_hVectoredHandler = nullptr;
void (*s_previousAbortHandler)(int) = SIG_DFL;
std::terminate_handler s_previousTerminate = nullptr;

// Replaces the C runtime's own filter (mingw-w64's turns access violations,
// illegal instructions and arithmetic faults into SIGSEGV, SIGILL and
// SIGFPE for handlers installed with signal(), and lets execution go on
// where a signal is ignored). This program installs none of those, and a
// fault resumed is a fault again: each of them is a crash like any other,
// and nothing is passed on.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception != nullptr && exception->ExceptionRecord != nullptr
                           ? exception->ExceptionRecord->ExceptionCode
                           : UNKNOWN_EXCEPTION_CODE;
    EndInCrash(FILTER_SOURCE, code, exception);
    return EXCEPTION_CONTINUE_SEARCH;  // not reached
}

// Heap corruption goes from the heap straight to Windows Error Reporting;
// only a vectored handler sees it on the way. Every other exception, the
// ones the program handles included, passes untouched.
LONG WINAPI HeapCorruptionHandler(EXCEPTION_POINTERS* exception) {
    if (exception == nullptr || exception->ExceptionRecord == nullptr ||
        exception->ExceptionRecord->ExceptionCode != HEAP_CORRUPTION_CODE)
        return EXCEPTION_CONTINUE_SEARCH;
    EndInCrash(HEAP_SOURCE, HEAP_CORRUPTION_CODE, exception);
    return EXCEPTION_CONTINUE_SEARCH;  // not reached
}

// abort() raises SIGABRT before it ends the process without a word.
void AbortHandler(int /*signal*/) { EndInCrashHere(ABORT_SOURCE, ABORT_EXIT_CODE); }

// An exception leaving a noexcept function (or no handler at all) ends here
// rather than in abort(), so its exit code tells the two apart.
void TerminateHandler() { EndInCrashHere(TERMINATE_SOURCE, TERMINATE_EXIT_CODE); }

}  // namespace

void InstallCrashSources() noexcept {
    s_previousFilter = ::SetUnhandledExceptionFilter(CrashFilter);
    s_hVectoredHandler = ::AddVectoredExceptionHandler(1, HeapCorruptionHandler);
    s_previousAbortHandler = std::signal(SIGABRT, AbortHandler);
    s_previousTerminate = std::set_terminate(TerminateHandler);
}

void RemoveCrashSources() noexcept {
    std::set_terminate(s_previousTerminate);
    std::signal(SIGABRT, s_previousAbortHandler == SIG_ERR ? SIG_DFL : s_previousAbortHandler);
    if (s_hVectoredHandler != nullptr) ::RemoveVectoredExceptionHandler(s_hVectoredHandler);
    s_hVectoredHandler = nullptr;
    ::SetUnhandledExceptionFilter(s_previousFilter);
    s_previousFilter = nullptr;
}

}  // namespace qebdbg
