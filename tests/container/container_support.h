#pragma once
// Container journals and scenarios, pipe bytes and the handle table for the
// container tests.

#include <windows.h>

#include <string>
#include <vector>

#include "journal_reader.h"
#include "test_files.h"
#include "test_log.h"

namespace qebtest {

// Counts the handle values that are open in this process. Wine reports 0 for
// GetProcessHandleCount, so the table is probed value by value.
unsigned long CountOpenHandles();

// The journal records in `dir` of the latest container with this pid:
// process ids come round again.
std::vector<JournalEntry> LatestJournal(const std::wstring& dir, DWORD pid);
// Waits until that container has journalled a record with this key.
bool WaitForJournal(const std::wstring& dir, DWORD pid, const std::string& key, DWORD timeoutMs);
// The text of the first record with this key, or "<no KEY record>".
std::string JournalText(const std::vector<JournalEntry>& entries, const std::string& key);

// Writes QEBCoreContainer.scenario into a folder and removes it again.
class ScenarioFile {
public:
    ScenarioFile(const std::wstring& dir, const std::string& text) : m_path(dir + L"\\QEBCoreContainer.scenario") {
        WriteTextFile(m_path, text);
    }
    ~ScenarioFile() { ::DeleteFileW(m_path.c_str()); }
    ScenarioFile(const ScenarioFile&) = delete;
    ScenarioFile& operator=(const ScenarioFile&) = delete;

private:
    std::wstring m_path;
};

// UTF-16LE bytes of an ASCII text, as the pipe carries it.
inline std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// The manual-reset event handed in through SetContainerReadyEvent by the
// test programs that link container_test_env.cpp.
HANDLE ReadyEvent();
inline bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace qebtest
