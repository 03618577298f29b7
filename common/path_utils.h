#pragma once
// Narrow (ANSI code page) paths and text, widened only at the platform
// boundary and on the pipe to the container.

#include <optional>
#include <string>

namespace qeb {

// Drive and directory of the running executable, ending in a backslash.
// Empty when the path cannot be read, has a character the thread's ANSI code
// page cannot express, or its directory part has more than 255 bytes, so
// that a caller appending a file name can tell.
std::string GetExeDirectory();

// The drive-and-directory part of a full narrow path, by the same rules and
// buffers as GetExeDirectory.
std::string DirectoryOfPath(const char* fullPath);

// Same text as UTF-16, converted with the given code page; nothing when there
// is no text, it is too long for the API or holds a byte sequence invalid in
// the code page. An empty text gives an empty wide text.
std::optional<std::wstring> NarrowToWide(const char* text, unsigned int codePage);

}  // namespace qeb
