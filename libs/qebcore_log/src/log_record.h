#pragma once
// The stored form of one log line.

#include <cstdint>
#include <string>

namespace qeblog {

// Calendar time of a line, UTC. Kept free of platform types so that the
// formatting can be exercised on any host.
struct LogStamp {
    uint16_t year, month, day, hour, minute, second, milliseconds;
};

// "2026-12-05 20:01:19.123Z 1234 5678 I service message\r\n". Carriage
// returns and line feeds inside tag or message become blanks, so that one
// call always stores exactly one line.
std::string FormatLogRecord(const LogStamp& utc, uint32_t processId, uint32_t threadId, char level,
                            const std::string& tag, const std::string& message);

}  // namespace qeblog
