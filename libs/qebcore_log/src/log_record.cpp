#include "log_record.h"

#include <cstdio>

namespace qeblog {

namespace {

void AppendOneLine(std::string& out, const std::string& text) {
    for (const char c : text) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
}

}  // namespace

std::string FormatLogRecord(const LogStamp& utc, uint32_t processId, uint32_t threadId, char level,
                            const std::string& tag, const std::string& message) {
    char prefix[96] = {};
    const int length = std::snprintf(
        prefix, sizeof prefix, "%04u-%02u-%02u %02u:%02u:%02u.%03uZ %lu %lu %c ", static_cast<unsigned>(utc.year),
        static_cast<unsigned>(utc.month), static_cast<unsigned>(utc.day), static_cast<unsigned>(utc.hour),
        static_cast<unsigned>(utc.minute), static_cast<unsigned>(utc.second), static_cast<unsigned>(utc.milliseconds),
        static_cast<unsigned long>(processId), static_cast<unsigned long>(threadId), level);
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
