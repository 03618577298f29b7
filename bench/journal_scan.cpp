#include "journal_scan.h"

#include <cstdio>
#include <sstream>

#include "bench_report.h"

namespace qebbench {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(int year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<long long>(era) * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

bool ParseLine(const std::string& line, JournalRecord* record) {
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    unsigned long processId = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%d-%u-%uT%u:%u:%u.%uZ %lu %n", &year, &month, &day, &hour, &minute, &second, &milli,
                    &processId, &consumed) < 8) {
        return false;
    }
    const long long seconds = DaysFromCivil(year, month, day) * 86400LL + hour * 3600LL + minute * 60LL + second;
    record->utcMs = static_cast<double>(seconds) * 1000.0 + milli;
    record->processId = processId;
    const std::string rest = line.substr(static_cast<size_t>(consumed));
    const size_t space = rest.find(' ');
    record->key = rest.substr(0, space);
    record->text = space == std::string::npos ? std::string() : rest.substr(space + 1);
    return true;
}

}  // namespace

std::vector<JournalRecord> ReadJournal(const std::wstring& path) {
    std::vector<JournalRecord> records;
    std::istringstream lines(ReadTextFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        JournalRecord record;
        if (ParseLine(line, &record)) records.push_back(record);
    }
    return records;
}

const JournalRecord* FindRecord(const std::vector<JournalRecord>& records, const std::string& key, DWORD processId) {
    for (const JournalRecord& record : records) {
        if (record.key == key && (processId == 0 || record.processId == processId)) return &record;
    }
    return nullptr;
}

}  // namespace qebbench
