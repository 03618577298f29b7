#pragma once
// Files, folders, journals and processes for the container tests.

#include <windows.h>

#include <string>
#include <vector>

namespace qebtest {

// Folder of the running test program, ending in a backslash.
std::wstring ExeDirW();

// A new, empty folder under %TEMP% whose name carries this process's id.
std::wstring MakeTempDir(const std::wstring& purpose);
void RemoveTree(const std::wstring& dir);

std::string ReadFileText(const std::wstring& path);
bool WriteFileText(const std::wstring& path, const std::string& text);

// Counts the handle values that are open in this process. Wine reports 0 for
// GetProcessHandleCount, so the table is probed value by value.
unsigned long CountOpenHandles();

// One record of a container journal: "<time> <pid> <key> [<text>]".
struct JournalEntry {
    unsigned long pid = 0;
    std::string key;
    std::string text;
};
// The records of the latest container with this pid (all records for pid 0).
std::vector<JournalEntry> ReadJournal(const std::wstring& dir, unsigned long pid);
// Waits until the journal holds a record with this key for this pid.
bool WaitForJournal(const std::wstring& dir, unsigned long pid, const std::string& key, unsigned long timeoutMs);
std::string JournalText(const std::vector<JournalEntry>& entries, const std::string& key);

// Writes QEBCoreContainer.scenario into a folder and removes it again.
class ScenarioFile {
public:
    ScenarioFile(const std::wstring& dir, const std::string& text);
    ~ScenarioFile();
    ScenarioFile(const ScenarioFile&) = delete;
    ScenarioFile& operator=(const ScenarioFile&) = delete;

private:
    std::wstring m_path;
};

// UTF-16LE bytes of an ASCII text, as the pipe carries it.
std::string Utf16Bytes(const std::wstring& text);
std::string Hex(const std::string& bytes);

// Starts a program with the given command line (no handles inherited).
HANDLE StartProgram(const std::wstring& exe, const std::wstring& commandLine, DWORD* pid = nullptr);

}  // namespace qebtest
