#include "log_line.h"

#include "qebcore_log.h"

namespace qeb {

void EmitLogLine(LogLevel level, const char* tag, std::string line) noexcept {
    try {
        switch (level) {
        case LogLevel::Info: QEBLOGI(tag, std::move(line)); break;
        case LogLevel::Warning: QEBLOGW(tag, std::move(line)); break;
        case LogLevel::Error: QEBLOGE(tag, std::move(line)); break;
        }
    } catch (...) {
    }
}

}  // namespace qeb
