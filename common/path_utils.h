#pragma once
// Narrow (ANSI code page) paths and text, widened only at the platform
// boundary and on the pipe to the container.

#include <optional>
#include <string>

namespace qeb {

// Drive and directory of the running executable, ending in a backslash.
// Empty when the path cannot be read or does not fit the fixed buffers
// (path of 2048 bytes or more, directory part of more than 255 bytes), so
// that a caller appending a file name can tell.
std::string GetExeDirectory();

// The drive-and-directory part of a full narrow path, by the same rules and
// fixed buffers as GetExeDirectory.
std::string DirectoryOfPath(const char* fullPath);

// Same text as UTF-16, converted with the given code page; nothing when there
// is no text, it is too long (over 0x3FFFFFFF units with its terminator) or
// the conversion fails. An empty text gives an empty wide text.
std::optional<std::wstring> NarrowToWide(const char* text, unsigned int codePage);

}  // namespace qeb
