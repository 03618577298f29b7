#include "test_log.h"

#include "qebcore_log.h"
#include "qebcore_log_sink.h"

namespace qebtest {

namespace {

std::wstring s_currentFile;

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Pattern of the timestamp with 'd' for a digit.
bool MatchesTimestamp(const std::string& text) {
    static const char shape[] = "dddd-dd-dd dd:dd:dd.dddZ";
    if (text.size() != sizeof shape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
    }
    return true;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

// Taken apart by hand: std::regex recurses per character and overflows the
// stack on long messages.
bool ParseLogRecord(const std::string& line, LogRecord& record) {
    constexpr size_t TIMESTAMP_CHARS = 24;
    if (line.size() < TIMESTAMP_CHARS + 1 || line[TIMESTAMP_CHARS] != ' ') return false;
    record.timestamp = line.substr(0, TIMESTAMP_CHARS);
    if (!MatchesTimestamp(record.timestamp)) return false;
    size_t at = TIMESTAMP_CHARS + 1;
    auto nextField = [&](std::string& field) {
        const size_t blank = line.find(' ', at);
        if (blank == std::string::npos) return false;
        field = line.substr(at, blank - at);
        at = blank + 1;
        return true;
    };
    std::string processId, threadId, level;
    if (!nextField(processId) || !nextField(threadId) || !nextField(level) || !nextField(record.tag)) return false;
    if (!AllDigits(processId) || !AllDigits(threadId) || record.tag.empty()) return false;
    if (level.size() != 1 || std::string("IWE").find(level[0]) == std::string::npos) return false;
    record.processId = std::stoul(processId);
    record.threadId = std::stoul(threadId);
    record.level = level[0];
    record.message = line.substr(at);
    return true;
}

std::vector<std::string> SplitStoredLines(const std::string& content) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < content.size();) {
        const size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start) + "<torn>");
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> StoredLines(const std::wstring& path) { return SplitStoredLines(ReadFileShared(path)); }

std::vector<LogRecord> ReadLogRecords(const std::wstring& path, bool bOwnOnly) {
    std::vector<LogRecord> records;
    for (const std::string& line : StoredLines(path)) {
        LogRecord record;
        if (ParseLogRecord(line, record) && (!bOwnOnly || record.processId == ::GetCurrentProcessId()))
            records.push_back(record);
    }
    return records;
}

std::vector<std::string> Messages(const std::vector<LogRecord>& records, const std::string& func) {
    std::vector<std::string> messages;
    for (const LogRecord& record : records) {
        if (func.empty() || EndsWith(record.message, "(" + func + ")")) messages.push_back(record.message);
    }
    return messages;
}

std::vector<std::string> Lines(const std::vector<LogRecord>& records, const std::string& func) {
    std::vector<std::string> lines;
    for (const LogRecord& r : records) {
        if (func.empty() || r.message.find("(" + func + ")") != std::string::npos)
            lines.push_back(std::string(1, r.level) + " " + r.tag + " " + r.message);
    }
    return lines;
}

LogCapture::LogCapture(unsigned long long maxFileBytes, int maxBackupFiles) : m_dir(L"qeb_log"), m_bOpened(false) {
    ShutdownQebLog();  // whatever an earlier test left open
    m_bOpened = initQebLogAt(m_dir.path().c_str(), maxFileBytes, maxBackupFiles);
    s_currentFile = CurrentFile();
}

LogCapture::~LogCapture() { ShutdownQebLog(); }

std::vector<LogRecord> LogCapture::Find(char level, const std::string& text) const {
    std::vector<LogRecord> found;
    for (const LogRecord& record : Records())
        if (record.level == level && record.message.compare(0, text.size(), text) == 0) found.push_back(record);
    return found;
}

namespace {
std::vector<LogRecord> OwnRecords() {
    FlushQebLogFile();
    return ReadLogRecords(s_currentFile, true);
}
}  // namespace

LogCursor::LogCursor() : m_start(OwnRecords().size()) {}

std::vector<LogRecord> LogCursor::Since() const {
    std::vector<LogRecord> all = OwnRecords();
    if (all.size() <= m_start) return {};
    return std::vector<LogRecord>(all.begin() + static_cast<std::ptrdiff_t>(m_start), all.end());
}

bool LogCursor::WaitFor(const std::string& message, unsigned long timeoutMs) const {
    return qebtest::WaitFor(
        [&] {
            for (const LogRecord& record : Since()) {
                if (record.message == message) return true;
            }
            return false;
        },
        timeoutMs, 5);
}

}  // namespace qebtest
