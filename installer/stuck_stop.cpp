// QEBCoreStuckStop <service name>: ends the process of a service stuck where
// Windows refuses a stop (stuck_stop_core.h), by hand or from a script; the
// package runs the same code as its own custom action. A service that is
// stopped or accepts a stop is left alone. Exit code 0: nothing to do, or the
// process ended; 1: it could not be done.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "strict_text.h"
#include "stuck_stop_core.h"

namespace {

void Print(void* /*context*/, const char* text) { std::printf("QEBCoreStuckStop: %s\n", text); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: QEBCoreStuckStop <service name>\n");
        return 1;
    }
    // A name with a byte the code page does not know would name another service.
    const std::optional<std::wstring> name = qeb::StrictWide(CP_ACP, argv[1], std::strlen(argv[1]));
    if (!name || name->empty() || name->size() > 256) {
        std::printf("usage: QEBCoreStuckStop <service name>\n");
        return 1;
    }
    return qeb::installer::EndStuckService(name->c_str(), &Print, nullptr) == qeb::installer::StuckStopResult::Failed
               ? 1
               : 0;
}
