#pragma once
// The test program's own log, in a fresh temporary folder, read back record
// by record. Only this process's records are returned, so nothing another
// program writes can leak into a test's view.

#include <string>
#include <vector>

namespace qebtest {

struct LogRecord {
    char level = '?';  // I, W, E
    std::string tag;
    std::string message;  // "text" + value + "(" + function + ")"
};

// Opens the log in a new temporary folder; call once per process.
void OpenTestLog();
// Closes the log and removes its folder.
void CloseTestLog();

// Parses a log file written by the log component (any process's records
// when pid is 0).
std::vector<LogRecord> ParseLogFile(const std::wstring& path, unsigned long pid);

// Marks where a test starts looking; Since() gives the records written after
// the mark by this process (flushing first).
class LogCursor {
public:
    LogCursor();
    std::vector<LogRecord> Since() const;
    // Waits up to timeoutMs until a record with exactly this message exists
    // after the mark.
    bool WaitFor(const std::string& message, unsigned long timeoutMs) const;

private:
    size_t m_start;
};

// Messages of the records, optionally only those ending in "(" + func + ")".
std::vector<std::string> Messages(const std::vector<LogRecord>& records, const std::string& func = {});

}  // namespace qebtest
