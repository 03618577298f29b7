#pragma once
// The full path of a loaded module's file, of any length Windows allows.

#include <windows.h>

#include <string>

namespace qeb {

// The path of `module`'s file; the running program's with null. Empty when
// it cannot be read in full: a truncated path would name another file.
// `firstChars` sizes the first try; the buffer doubles until the path fits.
std::wstring ModulePath(HMODULE module = nullptr, DWORD firstChars = MAX_PATH) noexcept;

}  // namespace qeb
