#include "service_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

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

std::string DescribeEvent(DWORD eventId, unsigned type, unsigned category, const std::vector<std::string>& inserts) {
    char head[48] = {};
    std::snprintf(head, sizeof head, "0x%08lx %u %u:", static_cast<unsigned long>(eventId), type, category);
    std::string text = head;
    for (size_t i = 0; i < inserts.size(); ++i) text += (i == 0 ? " " : " | ") + inserts[i];
    return text;
}

std::vector<std::string> ReadWineEvents(const std::wstring& path, size_t from) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    struct Call {
        unsigned long id = 0;
        unsigned type = 0, category = 0;
        std::vector<std::string> inserts;
    };
    std::vector<Call> calls;
    std::map<std::string, size_t> last;  // thread -> its latest call
    size_t begin = from, end = 0;
    for (; begin < all.size(); begin = end + 1) {
        end = all.find('\n', begin);
        if (end == std::string::npos) break;  // a line still being written
        const std::string line = all.substr(begin, end - begin), thread = line.substr(0, line.find(':'));
        const size_t call = line.find(":fixme:advapi:ReportEventW ("), text = line.find(":eventlog:ReportEventW L\"");
        unsigned long long handle = 0;
        Call c;
        if (call != std::string::npos &&
            std::sscanf(line.c_str() + call + 28, "%llx,0x%x,0x%x,0x%lx", &handle, &c.type, &c.category, &c.id) == 4) {
            last[thread] = calls.size();
            calls.push_back(c);
        } else if (text != std::string::npos && last.count(thread) == 1) {
            std::string insert;  // debugstr_w's escapes; paths only need the backslash's
            for (size_t i = text + 25; i < line.size() && line[i] != '"'; ++i)
                insert += line[i] == '\\' ? line[++i] : line[i];
            calls[last[thread]].inserts.push_back(insert);
        }
    }
    std::vector<std::string> events;
    for (const Call& c : calls) events.push_back(DescribeEvent(c.id, c.type, c.category, c.inserts));
    return events;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(10);
    }
    return true;
}

uint64_t UtcNow() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    return UtcMs(now);
}

long long Gap(uint64_t fromMs, uint64_t toMs) { return static_cast<long long>(toMs - fromMs); }

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

}  // namespace qebtest
