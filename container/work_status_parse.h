#pragma once
// The pure part of reading a container message: finding the work-status key
// and converting the number after it. No platform call and no log line here,
// so that the same code also builds natively (the fuzz targets run it under
// the sanitizers); GetNotifyStatus adds the log lines.

#include <cstddef>
#include <cstdint>

// The work-status key the container puts before its status number.
inline constexpr wchar_t NOTIFY_WORK_STATUS_KEY[] = L"NotifyWorkStatus";
inline constexpr size_t NOTIFY_WORK_STATUS_KEY_LENGTH = 16;

enum class WorkStatusConversion {
    NoKey,       // no key in the message: status -1
    Ok,          // the number after the key: status is that number
    NoDigits,    // key without a number after it: status 0
    OutOfRange,  // key with a number beyond 32 bits: status 0
};

struct WorkStatusParse {
    int32_t workStatus = -1;
    WorkStatusConversion conversion = WorkStatusConversion::NoKey;
};

// message: null-terminated wide text (may be null). Only the first key
// counts; the number follows the standard rules for a long integer (leading
// white space, an optional sign, digits up to the first non-digit).
WorkStatusParse ParseWorkStatus(const wchar_t* message) noexcept;
