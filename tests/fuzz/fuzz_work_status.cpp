// Work-status parser on any bytes a container could write: the bytes become
// UTF-16LE units as the listener frames them (an odd last byte pairs with the
// cleared buffer's zero), the text ends at the first null unit, and the
// result is checked against a plain model of the key search and of the
// ASCII digits after it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_expect.h"
#include "work_status_parse.h"

namespace {

std::u16string FrameUnits(const uint8_t* data, size_t size) {
    std::u16string units;
    for (size_t i = 0; i < size; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | (i + 1 < size ? data[i + 1] << 8 : 0));
        if (unit == 0) break;
        units.push_back(unit);
    }
    return units;
}

bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// What the number after the key must give when the text there starts with
// ASCII digits and the digit run ends in ASCII (no locale question left).
void CheckDigits(const std::u16string& rest, const WorkStatusParse& parsed) {
    size_t end = 0;
    while (end < rest.size() && IsAsciiDigit(rest[end])) ++end;
    if (end < rest.size() && rest[end] >= 0x80) return;
    int64_t value = 0;  // stops growing once past the 32-bit range
    for (size_t i = 0; i < end && value <= INT32_MAX; ++i) value = value * 10 + (rest[i] - u'0');
    if (value > INT32_MAX) {
        Expect(parsed.conversion == WorkStatusConversion::OutOfRange && parsed.workStatus == 0);
    } else {
        Expect(parsed.conversion == WorkStatusConversion::Ok && parsed.workStatus == value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string units = FrameUnits(data, size);
    std::vector<wchar_t> message(units.begin(), units.end());
    message.push_back(L'\0');

    const WorkStatusParse parsed = ParseWorkStatus(message.data());

    const std::u16string key(u"NotifyWorkStatus");
    const size_t at = units.find(key);
    if (at == std::u16string::npos) {
        Expect(parsed.conversion == WorkStatusConversion::NoKey && parsed.workStatus == -1);
        return 0;
    }
    Expect(parsed.conversion != WorkStatusConversion::NoKey);
    if (parsed.conversion != WorkStatusConversion::Ok) Expect(parsed.workStatus == 0);

    const std::u16string rest = units.substr(at + key.size());
    if (rest.empty()) {
        Expect(parsed.conversion == WorkStatusConversion::NoDigits);
    } else if (IsAsciiDigit(rest[0])) {
        CheckDigits(rest, parsed);
    } else if (rest[0] < 0x80 && rest[0] != u'+' && rest[0] != u'-' && rest[0] > u' ') {
        // Printable ASCII that is neither a sign nor a digit: no number.
        Expect(parsed.conversion == WorkStatusConversion::NoDigits);
    }
    return 0;
}
