#pragma once
// Multi-byte to UTF-16 conversion for the checks' inputs.

#include <windows.h>

#include <string>

namespace qeb::security {

// Converts `size` bytes of `text` (not terminated) with the code page; false
// for text that is empty, too long for the API or invalid in that code page.
bool ToWide(UINT codePage, const char* text, std::size_t size, std::wstring& wide) noexcept;

}  // namespace qeb::security
