#include "service_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace qebtest {

namespace {

uint64_t UtcMs(const FILETIME& time) {
    return ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000 - 11644473600000ULL;
}

}  // namespace

std::vector<Record> ReadRecords(const std::wstring& path, bool bLog) {
    std::vector<Record> records;
    std::ifstream file{std::filesystem::path(path)};  // shared with the writer
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Record r;
        SYSTEMTIME t = {};
        FILETIME time = {};
        unsigned long pid = 0, tid = 0;
        int head = 0, text = 0;
        char level[4] = {}, key[32] = {};
        // "YYYY-MM-DD?HH:MM:SS.mmmZ pid ", the ? a blank in the log, a T in the journal
        if (std::sscanf(line.c_str(), "%hu-%hu-%hu%*c%hu:%hu:%hu.%huZ %lu %n", &t.wYear, &t.wMonth, &t.wDay, &t.wHour,
                        &t.wMinute, &t.wSecond, &t.wMilliseconds, &pid, &head) != 8 ||
            !::SystemTimeToFileTime(&t, &time))
            continue;
        const char* rest = line.c_str() + head;
        if (bLog ? std::sscanf(rest, "%lu %3s %31s %n", &tid, level, key, &text) != 3
                 : std::sscanf(rest, "%31s %n", key, &text) != 1)
            continue;
        records.push_back({UtcMs(time), pid, level, key, rest + text, line});
    }
    return records;
}

std::vector<size_t> Find(const std::vector<Record>& records, const std::string& text) {
    std::vector<size_t> found;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].text.compare(0, text.size(), text) == 0) found.push_back(i);
    }
    return found;
}

std::string Tail(const std::vector<Record>& records, size_t count) {
    std::string text;
    for (size_t i = records.size() > count ? records.size() - count : 0; i < records.size(); ++i) {
        text += records[i].line + "\n";
    }
    return text;
}

uint64_t UtcNow() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    return UtcMs(now);
}

long long Gap(uint64_t fromMs, uint64_t toMs) { return static_cast<long long>(toMs - fromMs); }

}  // namespace qebtest
