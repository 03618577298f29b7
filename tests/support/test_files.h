#pragma once
// Private temporary folders, files and child processes for the tests; reading
// and writing whole files is file_text.h's.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_text.h"
#include "unique_handle.h"

namespace qebtest {

// A fresh folder under %TEMP% (pid, tick and a counter keep the programs of
// several builds apart), removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::wstring& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool created() const noexcept { return !m_path.empty(); }
    // Without a trailing backslash.
    const std::wstring& path() const noexcept { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// A file or a folder.
bool FileExists(const std::wstring& path);
// A file, not a folder.
bool IsFile(const std::wstring& path);
std::vector<std::wstring> ListFiles(const std::wstring& directory, const wchar_t* pattern);
std::wstring FromUtf8(const char* text);
// The text in the ANSI code page, or nothing when some character has no exact
// form there (the narrow signature check takes its path that way).
std::optional<std::string> ToAnsi(const std::wstring& wide);

// Polls the condition until it holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs = 10);

// Starts `exe` with exactly `commandLine` (no window, nothing inherited).
qeb::UniqueHandle StartProgram(const std::wstring& exe, const std::wstring& commandLine, DWORD* pid = nullptr);

struct ChildResult {
    bool bStarted = false;
    bool bEnded = false;
    DWORD exitCode = 0;
    DWORD processId = 0;
};
// Runs a program to its end, or terminates it after timeoutMs.
ChildResult RunChild(const std::wstring& exe, const std::wstring& commandLine, DWORD timeoutMs);

}  // namespace qebtest
