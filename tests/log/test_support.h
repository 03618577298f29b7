#pragma once
// Helpers shared by the log, thread and debug test programs: a private
// temporary folder, files read back whole, the log pointed at a folder of
// the test's own, and child processes run to their end.

#include <windows.h>

#include <string>
#include <vector>

namespace qebtest {

// A fresh folder under %TEMP%, removed with its files at the end.
class TempDir {
public:
    explicit TempDir(const wchar_t* prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const noexcept { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

bool FileExists(const std::wstring& path);
// Whole content, or empty when the file cannot be opened; readers share
// everything so that an open log does not stand in the way.
std::string ReadWholeFile(const std::wstring& path);
// Lines without their CRLF; a final fragment without CRLF is returned as a
// line of its own that ends in "<torn>".
std::vector<std::string> SplitLines(const std::string& content);
std::vector<std::wstring> ListFiles(const std::wstring& directory, const wchar_t* pattern);
std::wstring ExeDirectory();
std::string Narrow(const std::wstring& text);

// One stored line taken apart.
struct LogRecord {
    std::string timestamp;
    unsigned long processId = 0;
    unsigned long threadId = 0;
    char level = '?';
    std::string tag;
    std::string message;
};
bool ParseLogRecord(const std::string& line, LogRecord& record);

// The log of this process written into a temporary folder for one test.
class LogCapture {
public:
    explicit LogCapture(unsigned long long maxFileBytes = 64ULL * 1024 * 1024, int maxBackupFiles = 2);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const noexcept { return m_bOpened; }
    const std::wstring& directory() const noexcept { return m_dir.path(); }
    std::wstring CurrentFile() const { return m_dir.File(L"QEBCoreService.log"); }
    // Every record of the current file, in file order.
    std::vector<LogRecord> Records() const;
    // Records of the given level whose message starts with `text`.
    std::vector<LogRecord> Find(char level, const std::string& text) const;

private:
    TempDir m_dir;
    bool m_bOpened;
};

struct ChildResult {
    bool bStarted = false;
    bool bEnded = false;
    DWORD exitCode = 0;
    DWORD processId = 0;
};
// Runs `commandLine` with no console window and waits up to timeoutMs.
ChildResult RunChild(const std::wstring& commandLine, DWORD timeoutMs);

}  // namespace qebtest
