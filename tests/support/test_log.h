#pragma once
// The log of the test program pointed at a private folder, and its stored
// lines taken apart again.

#include <string>
#include <vector>

#include "test_files.h"

namespace qebtest {

struct LogRecord {
    std::string timestamp;
    unsigned long processId = 0;
    unsigned long threadId = 0;
    char level = '?';  // I, W, E
    std::string tag;
    std::string message;  // "text" + value + "(" + function + ")"
};
bool ParseLogRecord(const std::string& line, LogRecord& record);
// Lines without their CRLF; a final fragment without CRLF is returned as a
// line of its own that ends in "<torn>".
std::vector<std::string> SplitStoredLines(const std::string& content);
// The lines of a log file, split that way.
std::vector<std::string> StoredLines(const std::wstring& path);
// The well-formed records of a log file (only this process's when bOwnOnly).
std::vector<LogRecord> ReadLogRecords(const std::wstring& path, bool bOwnOnly = false);
// Messages of the records, optionally only those ending in "(" + func + ")".
std::vector<std::string> Messages(const std::vector<LogRecord>& records, const std::string& func = {});
// Records as "<level> <tag> <message>", optionally only those naming func.
std::vector<std::string> Lines(const std::vector<LogRecord>& records, const std::string& func = {});

// This process's log in a new temporary folder, closed again at the end.
class LogCapture {
public:
    explicit LogCapture(unsigned long long maxFileBytes = 64ULL << 20, int maxBackupFiles = 2);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const noexcept { return m_bOpened; }
    const std::wstring& directory() const noexcept { return m_dir.path(); }
    // The current file (0) or a rotated one (1 the newest).
    std::wstring File(int index) const {
        return m_dir.File(index == 0 ? L"QEBCoreService.log" : L"QEBCoreService." + std::to_wstring(index) + L".log");
    }
    std::wstring CurrentFile() const { return File(0); }
    std::vector<LogRecord> Records() const { return ReadLogRecords(CurrentFile()); }
    // Records of the given level whose message starts with `text`.
    std::vector<LogRecord> Find(char level, const std::string& text) const;

private:
    TempDir m_dir;
    bool m_bOpened;
};

// Marks a place in the log of the latest LogCapture; Since() gives this
// process's records written after the mark (flushing first).
class LogCursor {
public:
    LogCursor();
    std::vector<LogRecord> Since() const;
    // Waits until a record with exactly this message exists after the mark.
    bool WaitFor(const std::string& message, unsigned long timeoutMs) const;

private:
    size_t m_start;
};

}  // namespace qebtest
