#include "wide_text.h"

#include <climits>

namespace qeb::security {

bool ToWide(UINT codePage, const char* text, std::size_t size, std::wstring& wide) noexcept {
    if (text == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return false;
    const int length = static_cast<int>(size);
    // Bytes that are not valid in the code page must not be replaced by some
    // other character: a path would then name a different file.
    const int units = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (units <= 0) return false;
    try {
        wide.assign(static_cast<std::size_t>(units), L'\0');
    } catch (...) {
        return false;
    }
    return ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, wide.data(), units) == units;
}

}  // namespace qeb::security
