#pragma once
// Private temporary folders, whole files and child processes for the tests.

#include <windows.h>

#include <string>
#include <vector>

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

    bool created() const noexcept { return m_bCreated; }
    const std::wstring& path() const noexcept { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
    bool m_bCreated = false;
};

void RemoveTree(const std::wstring& dir);
bool FileExists(const std::wstring& path);
// Whole content, or empty when the file cannot be opened; the reader shares
// everything so that an open log does not stand in the way.
std::string ReadWholeFile(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::string& text);
std::vector<std::wstring> ListFiles(const std::wstring& directory, const wchar_t* pattern);
// Folder of the running test program, ending in a backslash.
std::wstring ExeDir();
std::string Narrow(const std::wstring& text);

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
