#include "journal_reader.h"

#include <cstdio>
#include <cstdlib>

#include "file_text.h"

namespace qebtest {

namespace {

bool ParseTime(const std::string& text, uint64_t* utcMs) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (std::sscanf(text.c_str(), "%u-%u-%uT%u:%u:%u.%uZ", &year, &month, &day, &hour, &minute, &second, &ms) != 7)
        return false;
    return UtcMsFromCalendar(year, month, day, hour, minute, second, ms, utcMs);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::vector<JournalEntry> ReadJournal(const std::wstring& path) {
    std::vector<JournalEntry> entries;
    for (const std::string& line : SplitLines(ReadFileShared(path))) {
        const size_t first = line.find(' ');
        const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos) continue;
        JournalEntry entry;
        if (!ParseTime(line.substr(0, first), &entry.utcMs)) continue;
        entry.processId = static_cast<DWORD>(std::strtoul(line.c_str() + first + 1, nullptr, 10));
        const size_t third = line.find(' ', second + 1);
        entry.key = line.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
        if (third != std::string::npos) entry.text = line.substr(third + 1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<JournalEntry> JournalOf(const std::vector<JournalEntry>& entries, DWORD processId) {
    std::vector<JournalEntry> own;
    for (const JournalEntry& entry : entries) {
        if (entry.processId == processId) own.push_back(entry);
    }
    return own;
}

std::vector<DWORD> JournalProcesses(const std::vector<JournalEntry>& entries) {
    std::vector<DWORD> ids;
    for (const JournalEntry& entry : entries) {
        if (entry.key == "start") ids.push_back(entry.processId);
    }
    return ids;
}

std::string ReceivedBytes(const std::vector<JournalEntry>& entries, DWORD processId) {
    std::string bytes;
    for (const JournalEntry& entry : entries) {
        if (entry.processId != processId || entry.key != "recv") continue;
        for (size_t i = 0; i + 1 < entry.text.size(); i += 2) {
            const int high = HexValue(entry.text[i]);
            const int low = HexValue(entry.text[i + 1]);
            if (high < 0 || low < 0) break;
            bytes.push_back(static_cast<char>(high * 16 + low));
        }
    }
    return bytes;
}

size_t FindJournalKey(const std::vector<JournalEntry>& entries, const std::string& key, size_t from) {
    for (size_t i = from; i < entries.size(); ++i) {
        if (entries[i].key == key) return i;
    }
    return std::string::npos;
}

}  // namespace qebtest
