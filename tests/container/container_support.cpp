#include "container_support.h"

#include <sstream>

namespace qebtest {

unsigned long CountOpenHandles() {
    unsigned long count = 0;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

std::vector<JournalEntry> ReadJournal(const std::wstring& dir, unsigned long pid) {
    std::vector<JournalEntry> entries;
    std::istringstream lines(ReadWholeFile(dir + L"\\QEBCoreContainer.journal"));
    std::string line, time;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream fields(line);
        JournalEntry entry;
        if (!(fields >> time >> entry.pid >> entry.key) || (pid != 0 && entry.pid != pid)) continue;
        // Process ids come round again: only the latest container of this id.
        if (pid != 0 && entry.key == "start") entries.clear();
        std::getline(fields >> std::ws, entry.text);
        entries.push_back(entry);
    }
    return entries;
}

bool WaitForJournal(const std::wstring& dir, unsigned long pid, const std::string& key, unsigned long timeoutMs) {
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;; ::Sleep(10)) {
        if (JournalText(ReadJournal(dir, pid), key) != "<no " + key + " record>") return true;
        if (::GetTickCount64() >= deadline) return false;
    }
}

std::string JournalText(const std::vector<JournalEntry>& entries, const std::string& key) {
    for (const JournalEntry& entry : entries) {
        if (entry.key == key) return entry.text;
    }
    return "<no " + key + " record>";
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[c & 0x0F];
    }
    return hex;
}

}  // namespace qebtest
