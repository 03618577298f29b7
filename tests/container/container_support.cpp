#include "container_support.h"

#include <algorithm>
#include <iterator>

namespace qebtest {

unsigned long CountOpenHandles() {
    unsigned long count = 0;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

std::vector<JournalEntry> LatestJournal(const std::wstring& dir, DWORD pid) {
    std::vector<JournalEntry> own = JournalOf(ReadJournal(dir + L"\\QEBCoreContainer.journal"), pid);
    const auto start = std::find_if(own.rbegin(), own.rend(), [](const JournalEntry& e) { return e.key == "start"; });
    if (start != own.rend()) own.erase(own.begin(), std::prev(start.base()));
    return own;
}

bool WaitForJournal(const std::wstring& dir, DWORD pid, const std::string& key, DWORD timeoutMs) {
    return WaitFor([&] { return FindJournalKey(LatestJournal(dir, pid), key) != std::string::npos; }, timeoutMs);
}

std::string JournalText(const std::vector<JournalEntry>& entries, const std::string& key) {
    const size_t at = FindJournalKey(entries, key);
    return at != std::string::npos ? entries[at].text : "<no " + key + " record>";
}

}  // namespace qebtest
