#include "qebcore_dbg.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "dump_writer.h"
#include "qebcore_log.h"

namespace {

constexpr char LOG_TAG[] = "container";
constexpr char FILTER_NAME[] = "DbgSdkCrashFilter";

std::mutex s_installMutex;
bool s_bInstalled = false;
LPTOP_LEVEL_EXCEPTION_FILTER s_previousFilter = nullptr;
std::atomic<bool> s_bCrashing{false};

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

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
    // A second fault while dumping, or a second crashing thread, goes
    // straight on to the system's handling.
    if (!s_bCrashing.exchange(true)) {
        wchar_t path[qebdbg::DUMP_PATH_CHARS] = {};
        const DWORD error = qebdbg::WriteCrashDump(exception, path);
        const DWORD code = exception != nullptr && exception->ExceptionRecord != nullptr
                               ? exception->ExceptionRecord->ExceptionCode
                               : 0;
        LogCrash(code, error, path);
    }
    // The process still ends as a crash, with the exception code as its exit
    // code; an earlier filter keeps its say.
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = s_previousFilter;
    return previous != nullptr ? previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void DbgSdkInit() {
    try {
        std::lock_guard<std::mutex> lock(s_installMutex);
        if (s_bInstalled) return;
        // Without dbghelp the filter still logs the crash.
        qebdbg::PrepareDumpWriter();
        s_previousFilter = ::SetUnhandledExceptionFilter(CrashFilter);
        s_bInstalled = true;
    } catch (...) {
    }
}

void DbgSdkUnInit() {
    try {
        std::lock_guard<std::mutex> lock(s_installMutex);
        if (!s_bInstalled) return;
        ::SetUnhandledExceptionFilter(s_previousFilter);
        s_previousFilter = nullptr;
        s_bInstalled = false;
        qebdbg::ReleaseDumpWriter();
    } catch (...) {
    }
}
