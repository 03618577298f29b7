#pragma once
// The one shape of every log line: message text, at most one value, then the
// writing function's name in parentheses, all joined without separators.
// Every component of the service writes through LogLine so that the shape
// cannot drift between call sites.

#include <sstream>
#include <string>

namespace qeb {

enum class LogLevel { Info, Warning, Error };

inline constexpr const char kTagService[] = "service";
inline constexpr const char kTagContainer[] = "container";

// Hands a composed line to the log component at the given level.
void EmitLogLine(LogLevel level, const char* tag, std::string line) noexcept;

inline std::string ComposeLogLine(const char* text, const char* funcName) {
    std::ostringstream stream;
    stream << text << "(" << funcName << ")";
    return stream.str();
}

template <typename Value>
std::string ComposeLogLine(const char* text, const Value& value, const char* funcName) {
    std::ostringstream stream;
    stream << text << value << "(" << funcName << ")";
    return stream.str();
}

// Composition can only fail by running out of memory; the line is then lost,
// as any line the log cannot store, and the caller is not disturbed.
inline void LogLine(LogLevel level, const char* tag, const char* funcName, const char* text) noexcept {
    try {
        EmitLogLine(level, tag, ComposeLogLine(text, funcName));
    } catch (...) {
    }
}

template <typename Value>
void LogLine(LogLevel level, const char* tag, const char* funcName, const char* text, const Value& value) noexcept {
    try {
        EmitLogLine(level, tag, ComposeLogLine(text, value, funcName));
    } catch (...) {
    }
}

}  // namespace qeb
