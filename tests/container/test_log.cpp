#include "test_log.h"

#include <windows.h>

#include <sstream>

#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_support.h"

namespace qebtest {

namespace {
std::wstring s_logDir;

std::wstring LogFilePath() { return s_logDir + L"\\QEBCoreService.log"; }

size_t RecordCount() {
    FlushQebLogFile();
    return ParseLogFile(LogFilePath(), ::GetCurrentProcessId()).size();
}
}  // namespace

void OpenTestLog() {
    s_logDir = MakeTempDir(L"log");
    initQebLogAt(s_logDir.c_str(), 64ull << 20, 1);
}

void CloseTestLog() {
    ShutdownQebLog();
    RemoveTree(s_logDir);
}

std::vector<LogRecord> ParseLogFile(const std::wstring& path, unsigned long pid) {
    std::vector<LogRecord> records;
    std::istringstream lines(ReadFileText(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // "<date> <time> <pid> <tid> <level> <tag> <message>"
        std::istringstream fields(line);
        std::string date, time, tag;
        unsigned long recordPid = 0, tid = 0;
        char level = '?';
        if (!(fields >> date >> time >> recordPid >> tid >> level >> tag)) continue;
        if (pid != 0 && recordPid != pid) continue;
        std::string message;
        std::getline(fields, message);
        if (!message.empty() && message[0] == ' ') message.erase(0, 1);
        records.push_back(LogRecord{level, tag, message});
    }
    return records;
}

LogCursor::LogCursor() : m_start(RecordCount()) {}

std::vector<LogRecord> LogCursor::Since() const {
    FlushQebLogFile();
    std::vector<LogRecord> all = ParseLogFile(LogFilePath(), ::GetCurrentProcessId());
    if (all.size() <= m_start) return {};
    return std::vector<LogRecord>(all.begin() + static_cast<std::ptrdiff_t>(m_start), all.end());
}

bool LogCursor::WaitFor(const std::string& message, unsigned long timeoutMs) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        for (const LogRecord& record : Since()) {
            if (record.message == message) return true;
        }
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(5);
    }
}

std::vector<std::string> Messages(const std::vector<LogRecord>& records, const std::string& func) {
    std::vector<std::string> messages;
    const std::string suffix = "(" + func + ")";
    for (const LogRecord& record : records) {
        if (!func.empty() && (record.message.size() < suffix.size() ||
                              record.message.compare(record.message.size() - suffix.size(), suffix.size(), suffix) != 0))
            continue;
        messages.push_back(record.message);
    }
    return messages;
}

}  // namespace qebtest
