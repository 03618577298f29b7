#include "qebcore_log.h"

#include <windows.h>

#include "log_record.h"
#include "log_sink.h"
#include "module_path.h"
#include "qebcore_log_sink.h"

namespace {

constexpr int DEFAULT_FILE_SIZE_MIB = 10;
constexpr unsigned long long BYTES_PER_MIB = 1024ULL * 1024ULL;

// "<executable's folder>\logs", or empty when the path cannot be read.
std::wstring ExeLogsDirectory() {
    std::wstring path = qeb::ModulePath();
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    path.resize(slash + 1);
    path += L"logs";
    return path;
}

void Write(char level, const std::string& tag, const std::string& message) noexcept {
    try {
        SYSTEMTIME utc{};
        ::GetSystemTime(&utc);
        const qeblog::LogStamp stamp{utc.wYear,   utc.wMonth,  utc.wDay,         utc.wHour,
                                     utc.wMinute, utc.wSecond, utc.wMilliseconds};
        qeblog::WriteSink(
            qeblog::FormatLogRecord(stamp, ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, tag, message));
    } catch (...) {
        // Out of memory while composing: the line is lost, the caller goes on.
    }
}

}  // namespace

void initQebLog(int maxFileSizeMiB, int maxBackupFiles) {
    try {
        const std::wstring directory = ExeLogsDirectory();
        if (directory.empty()) return;
        const int mib = maxFileSizeMiB > 0 ? maxFileSizeMiB : DEFAULT_FILE_SIZE_MIB;
        qeblog::OpenSink(directory.c_str(), static_cast<unsigned long long>(mib) * BYTES_PER_MIB, maxBackupFiles);
    } catch (...) {
    }
}

bool initQebLogAt(const wchar_t* directory, unsigned long long maxFileBytes, int maxBackupFiles) noexcept {
    return qeblog::OpenSink(directory, maxFileBytes, maxBackupFiles);
}

void ShutdownQebLog() noexcept { qeblog::CloseSink(); }

void BoundQebLogWaitsForStop() noexcept { qeblog::BoundSinkWaits(); }

// The log interface takes both texts by value; its callers are built against
// that signature, so it stays as published.
// NOLINTBEGIN(performance-unnecessary-value-param)
// cppcheck-suppress passedByValue
void QEBLOGI(std::string tag, std::string message) { Write('I', tag, message); }
// cppcheck-suppress passedByValue
void QEBLOGW(std::string tag, std::string message) { Write('W', tag, message); }
// cppcheck-suppress passedByValue
void QEBLOGE(std::string tag, std::string message) { Write('E', tag, message); }
// NOLINTEND(performance-unnecessary-value-param)

void FlushQebLogFile() { qeblog::FlushSink(); }
