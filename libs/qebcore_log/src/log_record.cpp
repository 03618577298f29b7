#include "log_record.h"

#include <cstdio>

namespace qeblog {

namespace {

void AppendOneLine(std::string& out, const std::string& text) {
    for (const char c : text) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
}

}  // namespace

std::string FormatLogRecord(const SYSTEMTIME& utc, DWORD processId, DWORD threadId, char level,
                            const std::string& tag, const std::string& message) {
    char prefix[96] = {};
    const int length = std::snprintf(prefix, sizeof prefix, "%04u-%02u-%02u %02u:%02u:%02u.%03uZ %lu %lu %c ",
                                     static_cast<unsigned>(utc.wYear), static_cast<unsigned>(utc.wMonth),
                                     static_cast<unsigned>(utc.wDay), static_cast<unsigned>(utc.wHour),
                                     static_cast<unsigned>(utc.wMinute), static_cast<unsigned>(utc.wSecond),
                                     static_cast<unsigned>(utc.wMilliseconds), static_cast<unsigned long>(processId),
                                     static_cast<unsigned long>(threadId), level);
    std::string record;
    record.reserve(static_cast<size_t>(length > 0 ? length : 0) + tag.size() + message.size() + 3);
    if (length > 0) record.append(prefix, static_cast<size_t>(length));
    AppendOneLine(record, tag);
    record.push_back(' ');
    AppendOneLine(record, message);
    record.append("\r\n");
    return record;
}

}  // namespace qeblog
