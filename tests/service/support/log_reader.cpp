#include "log_reader.h"

#include <cstdio>
#include <sstream>

#include "file_text.h"

namespace qebtest {

namespace {

bool ParseTimestamp(const std::string& date, const std::string& time, uint64_t* utcMs) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (std::sscanf(date.c_str(), "%u-%u-%u", &year, &month, &day) != 3) return false;
    if (std::sscanf(time.c_str(), "%u:%u:%u.%uZ", &hour, &minute, &second, &ms) != 4) return false;
    return UtcMsFromCalendar(year, month, day, hour, minute, second, ms, utcMs);
}

// "YYYY-MM-DD HH:MM:SS.mmmZ pid tid L tag message"
bool ParseLine(const std::string& line, LogEntry* entry) {
    std::istringstream fields(line);
    std::string date, time, level;
    if (!(fields >> date >> time >> entry->processId >> entry->threadId >> level >> entry->tag)) return false;
    if (level.size() != 1 || !ParseTimestamp(date, time, &entry->utcMs)) return false;
    entry->level = level[0];
    std::string rest;
    std::getline(fields, rest);
    entry->message = rest.empty() ? rest : rest.substr(1);  // the one blank after the tag
    return true;
}

}  // namespace

std::vector<LogEntry> ReadLogFile(const std::wstring& path) {
    std::vector<LogEntry> entries;
    for (const std::string& line : SplitLines(ReadFileShared(path))) {
        LogEntry entry;
        if (ParseLine(line, &entry)) entries.push_back(std::move(entry));
    }
    return entries;
}

size_t FindLogEntry(const std::vector<LogEntry>& entries, const std::string& message, size_t from, bool prefix) {
    for (size_t i = from; i < entries.size(); ++i) {
        const std::string& m = entries[i].message;
        if (prefix ? m.compare(0, message.size(), message) == 0 : m == message) return i;
    }
    return std::string::npos;
}

size_t CountLogEntries(const std::vector<LogEntry>& entries, const std::string& message, bool prefix) {
    size_t count = 0;
    for (size_t i = FindLogEntry(entries, message, 0, prefix); i != std::string::npos;
         i = FindLogEntry(entries, message, i + 1, prefix)) {
        ++count;
    }
    return count;
}

std::vector<LogEntry> Problems(const std::vector<LogEntry>& entries) {
    std::vector<LogEntry> problems;
    for (const LogEntry& entry : entries) {
        if (entry.level != 'I') problems.push_back(entry);
    }
    return problems;
}

std::string DumpLog(const std::vector<LogEntry>& entries) {
    std::string text;
    for (const LogEntry& entry : entries) {
        text += entry.level;
        text += ' ' + entry.tag + ' ' + entry.message + '\n';
    }
    return text;
}

}  // namespace qebtest
