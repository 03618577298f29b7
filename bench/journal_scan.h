#pragma once
// Reads the reference container's journal
// ("<yyyy-mm-ddThh:mm:ss.mmmZ> <pid> <key> [<text>]" per line).

#include <windows.h>

#include <string>
#include <vector>

namespace qebbench {

struct JournalRecord {
    double utcMs = 0.0;  // whole milliseconds (GetSystemTime)
    DWORD processId = 0;
    std::string key;
    std::string text;
};

std::vector<JournalRecord> ReadJournal(const std::wstring& path);
// The first record with this key (and process, when processId is not 0);
// null when there is none.
const JournalRecord* FindRecord(const std::vector<JournalRecord>& records, const std::string& key, DWORD processId = 0);

}  // namespace qebbench
