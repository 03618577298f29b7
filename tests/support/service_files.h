#pragma once
// What the installed service and the reference container leave on disk, read
// back while they may still be writing: the service log and the journal.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qebtest {

// One line of the service log, "<date> <time>Z pid tid L tag message", or of
// the reference container's journal, "<date>T<time>Z pid key text".
struct Record {
    uint64_t utcMs = 0;
    DWORD processId = 0;
    std::string level;  // the log's I, W or E
    std::string key;    // the log's tag, the journal's key
    std::string text;   // the log's message (text, value, "(function)")
    std::string line;   // as stored
};

// The well-formed lines of the log (bLog) or of a journal.
std::vector<Record> ReadRecords(const std::wstring& path, bool bLog);
// Indexes of the log records whose message starts with `text`.
std::vector<size_t> Find(const std::vector<Record>& records, const std::string& text);
// The last `count` stored lines, for failure messages.
std::string Tail(const std::vector<Record>& records, size_t count);

// Milliseconds since 1970-01-01 UTC, as the log and the journal stamp them.
uint64_t UtcNow();
long long Gap(uint64_t fromMs, uint64_t toMs);

}  // namespace qebtest
