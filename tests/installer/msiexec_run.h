#pragma once
// Running the system's msiexec.exe the way an administrator would.

#include <windows.h>

#include <optional>
#include <string>

namespace qebtest {

// A path as the build wrote it, as Windows sees it: under Wine a Unix path
// lies on drive Z:.
std::wstring BuildPathToWindows(const char* path);

// Runs "msiexec.exe <arguments> /l*v <logPath>" from the system folder and
// waits for it; its exit code, or nothing if it did not start or end in time.
std::optional<DWORD> RunMsiexec(const std::wstring& arguments, const std::wstring& logPath, DWORD timeoutMs);

// The last part of a text file (msiexec writes its log as UTF-16 or ANSI),
// for failure messages.
std::string FileTail(const std::wstring& path, size_t maxChars);

}  // namespace qebtest
