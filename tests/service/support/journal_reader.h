#pragma once
// Reads the reference container's journal ("<utc time> <pid> <key> <text>"
// lines in QEBCoreContainer.journal beside it).

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qebtest {

struct JournalEntry {
    uint64_t utcMs = 0;
    DWORD processId = 0;
    std::string key;
    std::string text;
};

std::vector<JournalEntry> ReadJournal(const std::wstring& path);
// Entries of one container process only.
std::vector<JournalEntry> JournalOf(const std::vector<JournalEntry>& entries, DWORD processId);
// Process ids in the order their "start" records appear.
std::vector<DWORD> JournalProcesses(const std::vector<JournalEntry>& entries);
// Every byte the process journalled as read from its standard input.
std::string ReceivedBytes(const std::vector<JournalEntry>& entries, DWORD processId);
size_t FindJournalKey(const std::vector<JournalEntry>& entries, const std::string& key, size_t from = 0);

// Polls the journal until `done` is true for it or timeoutMs passed.
template <typename Predicate>
std::vector<JournalEntry> WaitForJournal(const std::wstring& path, DWORD timeoutMs, Predicate done) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<JournalEntry> entries = ReadJournal(path);
        if (done(entries) || ::GetTickCount64() >= deadline) return entries;
        ::Sleep(10);
    }
}

}  // namespace qebtest
