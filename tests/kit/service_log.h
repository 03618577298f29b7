#pragma once
// The service log and the reference container's journal, read back while
// their writers may still be writing: the one reader every test uses.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kit {

// One line of the service log, "<date> <time>Z pid tid L tag message", or of
// the reference container's journal, "<date>T<time>Z pid key text".
struct Record {
    uint64_t utcMs = 0;
    DWORD processId = 0;
    std::string level;  // the log's I, W or E
    std::string key;    // the log's tag, the journal's key
    std::string text;   // the log's message (text, value, "(function)")
    std::string line;   // as stored
};

class LogFile {
public:
    explicit LogFile(std::filesystem::path path, bool bJournal = false)
        : m_path(std::move(path)), m_bJournal(bJournal) {}

    // The well-formed lines from byte `from` on.
    std::vector<Record> Records(size_t from = 0) const;
    // The same as "<level> <tag> <message>" (a journal's: "<key> <text>").
    std::vector<std::string> Lines(size_t from = 0) const;
    // How many lines start with `prefix`, from byte `from` on.
    size_t Count(const std::string& prefix, size_t from = 0) const;
    // Whether a line starts with `prefix`, waiting for it up to timeoutMs.
    bool Has(const std::string& prefix, size_t from = 0, DWORD timeoutMs = 0) const;
    // The last `count` stored lines, for a failure message.
    std::string Tail(size_t count = 80) const;

private:
    std::filesystem::path m_path;
    bool m_bJournal;
};

// Indexes of the records whose message starts with `text`.
std::vector<size_t> Find(const std::vector<Record>& records, const std::string& text);
// The last `count` stored lines of `records`.
std::string Tail(const std::vector<Record>& records, size_t count);

// Milliseconds since 1970-01-01 UTC, as the log and the journal stamp them.
uint64_t UtcNow();
long long Gap(uint64_t fromMs, uint64_t toMs);

}  // namespace kit
