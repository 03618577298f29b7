#include "work_status_parse.h"

#include <cerrno>
#include <climits>
#include <cwchar>

namespace {

// Limited to 32 bits on every platform, whatever the width of long.
WorkStatusConversion ToInt32(const wchar_t* text, int32_t& value) noexcept {
    wchar_t* end = nullptr;
    errno = 0;
    const long number = std::wcstol(text, &end, 10);
    if (end == text) return WorkStatusConversion::NoDigits;
    if (errno == ERANGE) return WorkStatusConversion::OutOfRange;
    if constexpr (sizeof(long) > sizeof(int32_t)) {
        // Dead where long has 32 bits (Windows); live in the native fuzz build.
        // cppcheck-suppress compareValueOutOfTypeRangeError
        if (number > INT32_MAX || number < INT32_MIN) return WorkStatusConversion::OutOfRange;
    }
    value = static_cast<int32_t>(number);
    return WorkStatusConversion::Ok;
}

}  // namespace

WorkStatusParse ParseWorkStatus(const wchar_t* message) noexcept {
    WorkStatusParse result;
    if (message == nullptr) return result;
    const wchar_t* key = std::wcsstr(message, NOTIFY_WORK_STATUS_KEY);
    if (key == nullptr) return result;

    result.workStatus = 0;
    int32_t value = 0;
    result.conversion = ToInt32(key + NOTIFY_WORK_STATUS_KEY_LENGTH, value);
    if (result.conversion == WorkStatusConversion::Ok) result.workStatus = value;
    return result;
}
