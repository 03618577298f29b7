// QEBCoreStuckStop <service name>: ends the process of a service stuck where
// Windows refuses a stop (stuck_stop_core.h), by hand or from a script; the
// package runs the same code as its own custom action. A service that is
// stopped or accepts a stop is left alone. Exit code 0: nothing to do, or the
// process ended; 1: it could not be done.

#include <windows.h>

#include <cstdio>
#include <string>

#include "stuck_stop_core.h"

namespace {

void Print(void* /*context*/, const char* text) { std::printf("QEBCoreStuckStop: %s\n", text); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: QEBCoreStuckStop <service name>\n");
        return 1;
    }
    wchar_t name[257] = {};
    if (::MultiByteToWideChar(CP_ACP, 0, argv[1], -1, name, 257) == 0) {
        std::printf("usage: QEBCoreStuckStop <service name>\n");
        return 1;
    }
    return qeb::installer::EndStuckService(name, &Print, nullptr) == qeb::installer::StuckStopResult::Failed ? 1 : 0;
}
