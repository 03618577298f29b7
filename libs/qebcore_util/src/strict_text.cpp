#include "strict_text.h"

#include <climits>

namespace qeb {

std::optional<std::wstring> StrictWide(UINT codePage, const char* text, std::size_t size) noexcept {
    if (text == nullptr || size > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    if (size == 0) return std::wstring();
    const int length = static_cast<int>(size);
    const int units = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (units <= 0) return std::nullopt;
    try {
        std::wstring wide(static_cast<std::size_t>(units), L'\0');
        if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, wide.data(), units) != units) {
            return std::nullopt;
        }
        return wide;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> StrictNarrow(UINT codePage, const wchar_t* text, std::size_t size) noexcept {
    if (text == nullptr || size > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    if (size == 0) return std::string();
    const int length = static_cast<int>(size);
    // UTF-8 refuses unpaired surrogates itself; any other code page tells of
    // a character it had to replace through the default-character flag.
    const bool bUtf8 = codePage == CP_UTF8;
    const DWORD flags = bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL replaced = FALSE;
    BOOL* const pReplaced = bUtf8 ? nullptr : &replaced;
    const int bytes = ::WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, nullptr, pReplaced);
    if (bytes <= 0 || replaced) return std::nullopt;
    try {
        std::string narrow(static_cast<std::size_t>(bytes), '\0');
        // The same text converts the same way: the first call has told of any replacement.
        if (::WideCharToMultiByte(codePage, flags, text, length, narrow.data(), bytes, nullptr, nullptr) != bytes) {
            return std::nullopt;
        }
        return narrow;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace qeb
