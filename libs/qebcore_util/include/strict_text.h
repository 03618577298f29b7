#pragma once
// Conversions between a code page's text and UTF-16 that refuse what the
// code page cannot express, instead of putting another character in its
// place: a path would then name a different file.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

namespace qeb {

// `size` bytes of `text` (no terminator needed) as UTF-16; nothing for a null
// text, a text too long for the API or a byte sequence invalid in the code
// page. An empty text gives an empty result.
std::optional<std::wstring> StrictWide(UINT codePage, const char* text, std::size_t size) noexcept;

// `size` units of `text` in the code page; nothing for a null text, a text too
// long for the API or a character the code page has no exact byte form for.
std::optional<std::string> StrictNarrow(UINT codePage, const wchar_t* text, std::size_t size) noexcept;

}  // namespace qeb
