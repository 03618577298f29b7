#pragma once
// Small file helpers for the tests: shared reads of files another process may
// be writing, unique folders, and their removal.

#include <string>
#include <vector>

#include <cstdint>

namespace qebtest {

// The file's bytes, opened with full sharing; empty when it cannot be read.
std::string ReadFileShared(const std::wstring& path);
// Lines without their CR/LF endings.
std::vector<std::string> SplitLines(const std::string& text);
bool WriteTextFile(const std::wstring& path, const std::string& text);

// A new, empty folder "<parent><prefix>-<pid>-<n>\" (ending in a backslash).
std::wstring MakeUniqueDirectory(const std::wstring& parent, const std::wstring& prefix);
// Deletes a folder and everything below it; best effort. Does nothing unless
// the path is fully qualified and more than a drive's root.
void RemoveDirectoryTree(const std::wstring& directory);
std::wstring TempDirectory();
// The folder of the running executable, ending in a backslash.
std::wstring ExeDirectory();

std::string Narrow(const std::wstring& wide);
// Milliseconds since 1970-01-01 UTC of a calendar time; false when invalid.
bool UtcMsFromCalendar(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                       unsigned second, unsigned ms, uint64_t* utcMs);

}  // namespace qebtest
