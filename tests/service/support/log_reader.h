#pragma once
// Reads the service's log file back for the tests: one entry per stored line,
// split into its prefix fields and the composed message.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qebtest {

struct LogEntry {
    uint64_t utcMs = 0;  // milliseconds since 1970-01-01 UTC
    DWORD processId = 0;
    DWORD threadId = 0;
    char level = '?';  // I, W or E
    std::string tag;
    std::string message;
};

// Every well-formed line of the file (shared read, so the writer may still
// have it open); empty when the file cannot be read.
std::vector<LogEntry> ReadLogFile(const std::wstring& path);

// Index of the first entry at or after `from` whose message equals `message`
// (or starts with it, when prefix is true); npos when there is none.
size_t FindLogEntry(const std::vector<LogEntry>& entries, const std::string& message, size_t from = 0,
                    bool prefix = false);
size_t CountLogEntries(const std::vector<LogEntry>& entries, const std::string& message, bool prefix = false);

// Entries written at warning or error level.
std::vector<LogEntry> Problems(const std::vector<LogEntry>& entries);

// The whole file as "L tag message" lines, for failure messages.
std::string DumpLog(const std::vector<LogEntry>& entries);

}  // namespace qebtest
