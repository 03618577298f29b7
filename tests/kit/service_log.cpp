#include "service_log.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "test_kit.h"

namespace kit {

namespace {

uint64_t UtcMs(const FILETIME& time) {
    return ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000 - 11644473600000ULL;
}

}  // namespace

std::vector<Record> LogFile::Records(size_t from) const {
    std::vector<Record> records;
    std::ifstream file(m_path);  // shared with the writer
    file.seekg(static_cast<std::streamoff>(from));
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
        if (m_bJournal ? std::sscanf(rest, "%31s %n", key, &text) != 1
                       : std::sscanf(rest, "%lu %3s %31s %n", &tid, level, key, &text) != 3)
            continue;
        records.push_back({UtcMs(time), pid, level, key, rest + text, line});
    }
    return records;
}

std::vector<std::string> LogFile::Lines(size_t from) const {
    std::vector<std::string> lines;
    for (const Record& r : Records(from)) lines.push_back((m_bJournal ? "" : r.level + " ") + r.key + " " + r.text);
    return lines;
}

size_t LogFile::Count(const std::string& prefix, size_t from) const {
    const std::vector<std::string> lines = Lines(from);
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

bool LogFile::Has(const std::string& prefix, size_t from, DWORD timeoutMs) const {
    return WaitFor([&] { return Count(prefix, from) > 0; }, timeoutMs);
}

std::string LogFile::Tail(size_t count) const { return "\n" + kit::Tail(Records(), count); }

std::vector<size_t> Find(const std::vector<Record>& records, const std::string& text) {
    std::vector<size_t> found;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].text.compare(0, text.size(), text) == 0) found.push_back(i);
    }
    return found;
}

std::string Tail(const std::vector<Record>& records, size_t count) {
    std::string text;
    for (size_t i = records.size() > count ? records.size() - count : 0; i < records.size(); ++i)
        text += records[i].line + "\n";
    return text;
}

uint64_t UtcNow() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    return UtcMs(now);
}

long long Gap(uint64_t fromMs, uint64_t toMs) { return static_cast<long long>(toMs - fromMs); }

}  // namespace kit
