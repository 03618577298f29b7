#pragma once
// The stored form of one log line.

#include <windows.h>

#include <string>

namespace qeblog {

// "2026-12-05 20:01:19.123Z 1234 5678 I service message\r\n". Carriage
// returns and line feeds inside tag or message become blanks, so that one
// call always stores exactly one line.
std::string FormatLogRecord(const SYSTEMTIME& utc, DWORD processId, DWORD threadId, char level,
                            const std::string& tag, const std::string& message);

}  // namespace qeblog
